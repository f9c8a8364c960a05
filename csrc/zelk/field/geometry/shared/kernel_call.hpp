// Calls into zelk.field.kernels through the module global `kernels`, looked up
// at every call so that a replaced kernel is seen.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

namespace zelk {

// getattr(kernels, name), with `kernels` read from the module namespace now.
Ref kernel_function(const char* name);

// True when the module global `kernels` is a plain module object, so that
// looking a kernel up on it runs none of the caller's code.
bool kernels_lookup_is_plain();

// True when f is the package's own compiled kernel of that name, so a caller
// may run the same core routine directly on validated views instead.
bool is_native_kernel(PyObject* f, const char* name);

}  // namespace zelk
