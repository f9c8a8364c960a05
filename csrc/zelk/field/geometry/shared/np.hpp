// Calls into NumPy with Python semantics (the exact path), and views of
// canonical float64 arrays for the C++ loops (the fast path).
#pragma once

#include "zelk/field/geometry/shared/numpy.hpp"

#include "core/views.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace zelk {

// The module global `np` of the calling module, looked up on every use.
Ref np_module();

// getattr(np, name) / getattr(np.linalg, name).
Ref np_attr(const char* name);

// These helpers do nothing and return an empty Ref when an argument is null or
// an error is already pending, so a chain of steps can be checked once at its end.

// callable(*args, **{names[i]: kwvalues[i]}); arguments are borrowed.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         std::initializer_list<std::pair<const char*, PyObject*>> kwargs = {});
// np.<name>(*args, **kwargs)
Ref np_call(const char* name, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<const char*, PyObject*>> kwargs = {});
// obj.<name>(*args, **kwargs)
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<std::pair<const char*, PyObject*>> kwargs = {});

Ref py_int(Py_ssize_t v);
Ref py_float(double v);
Ref py_tuple(std::initializer_list<PyObject*> items);  // borrowed items
// `obj[key]` with a key built from the given items (a tuple when more than one).
Ref getitem(PyObject* obj, std::initializer_list<PyObject*> key);
Ref full_slice();  // `:`

// np.float64 (borrowed from np at call time, so returned as a new reference).
Ref float64_type();

// np.atleast_2d(x).astype(np.float64): the conversion of a query batch.
Ref as_query_batch(PyObject* x);

// A float64 array NumPy would hand to C without conversion: exact ndarray,
// native byte order, aligned, with the given number of dimensions.
bool is_plain_float64(PyObject* a, int ndim);

// Read-only view of a float64 (n, 2) array with arbitrary strides.
using PairsView = core::PairsView;

// A view when `a` is a plain float64 array of shape (n, 2); false otherwise.
bool pairs_view(PyObject* a, PairsView& out);

// x read in place as a query batch, as the members' own conversion would read
// it: a plain float64 (n, 2) array, or a (2,) array as one row.
bool batch_in_place(PyObject* x, PairsView& out);
// A view when `a` is a plain float64 array of shape (n,); false otherwise.
bool values_view(PyObject* a, core::ValuesView& out);
// The four entries of a plain float64 (2, 2) array, row-major; false otherwise.
bool matrix2_view(PyObject* a, double out[4]);

// The m matrices of a plain float64 (m, 2, 2) array, each row-major; false
// otherwise.
bool matrix_stack_view(PyObject* a, npy_intp m, std::vector<core::Metric2>& out);

// The rows of `v` copied into a new C-contiguous float64 (n, 2) array, with
// NumPy's allocator (MemoryError when it cannot be had).
Ref copy_pairs(const PairsView& v);

// RuntimeError for an input array that Python code resized in place while a
// call was reading it (NumPy's resize(refcheck=False)); returns nullptr.
PyObject* resized_during_call();

// A converted query batch, `np.atleast_2d(x).astype(np.float64)`. When x is
// already a plain float64 (n, 2) or (2,) array the copy is skipped and `view`
// reads x itself; `fast` says whether `view` is valid.
struct QueryBatch {
    Ref q;
    PairsView view;
    bool fast = false;
    // The converted array as NumPy would hold it (converting now if it was skipped).
    PyObject* array(PyObject* x);
    // The view taken again after code may have run (an allocation can run a
    // finalizer that reshapes x); false when it can no longer be read in place.
    bool reread(PyObject* x, PairsView& out) const;
    // Copies a batch read in place out of x, as the conversion would have: code
    // the caller runs later (an overridden method, a truth test) may change x.
    // False with MemoryError set when the copy cannot be made.
    bool detach(PyObject* x);
};
bool convert_query(PyObject* x, QueryBatch& out);

// A new C-contiguous float64 array of the given shape.
Ref new_float64(std::initializer_list<npy_intp> shape);
inline double* f64_data(PyObject* a) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
}

// Truth value as the interpreter tests it; -1 on error.
inline int truth(PyObject* o) {
    return o == Py_True ? 1 : o == Py_False || o == Py_None ? 0 : PyObject_IsTrue(o);
}

}  // namespace zelk
