// Every translation unit of a module shares one NumPy API table; exactly one
// (numpy_import.cpp) defines it, and each module's exec step fills it.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ZELK_ARRAY_API
#ifndef ZELK_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace zelk {

// Loads the NumPy C API table; false with an exception set on failure.
bool import_numpy();

}  // namespace zelk
