#include "zelk/field/geometry/shared/np.hpp"

#include "zelk/field/geometry/shared/internal.hpp"

#include <vector>

namespace zelk {

Ref np_module() {
    PyObject* module = internal::current_module_object();
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError, "module is not initialised");
        return Ref();
    }
    Ref np = borrow(PyDict_GetItemString(PyModule_GetDict(module), "np"));
    if (!np) PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
    return np;
}

Ref np_attr(const char* name) {
    if (PyErr_Occurred()) return Ref();
    Ref np = np_module();
    return np ? steal(PyObject_GetAttrString(np.get(), name)) : Ref();
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    // A null argument is the failed result of an earlier step, and a pending
    // error means an earlier step of a chain failed: either way, do nothing.
    if (callable == nullptr || PyErr_Occurred()) return Ref();
    for (PyObject* a : args) {
        if (a == nullptr) return Ref();
    }
    for (const auto& kw : kwargs) {
        if (kw.second == nullptr) return Ref();
    }
    std::vector<PyObject*> stack(args);
    Ref kwnames;
    if (kwargs.size() > 0) {
        kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        if (!kwnames) return Ref();
        Py_ssize_t i = 0;
        for (const auto& kw : kwargs) {
            PyObject* name = PyUnicode_InternFromString(kw.first);
            if (name == nullptr) return Ref();
            PyTuple_SET_ITEM(kwnames.get(), i++, name);
            stack.push_back(kw.second);
        }
    }
    return steal(PyObject_Vectorcall(callable, stack.data(), args.size(), kwnames.get()));
}

Ref np_call(const char* name, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    Ref f = np_attr(name);
    return f ? call(f.get(), args, kwargs) : Ref();
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    if (obj == nullptr || PyErr_Occurred()) return Ref();
    Ref f = steal(PyObject_GetAttrString(obj, name));
    return f ? call(f.get(), args, kwargs) : Ref();
}

Ref py_int(Py_ssize_t v) {
    return steal(PyLong_FromSsize_t(v));
}
Ref py_float(double v) {
    return steal(PyFloat_FromDouble(v));
}

Ref py_tuple(std::initializer_list<PyObject*> items) {
    Ref t = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (item == nullptr) return Ref();
        Py_INCREF(item);
        PyTuple_SET_ITEM(t.get(), i++, item);
    }
    return t;
}

Ref getitem(PyObject* obj, std::initializer_list<PyObject*> key) {
    if (obj == nullptr || PyErr_Occurred()) return Ref();
    if (key.size() == 1) return steal(PyObject_GetItem(obj, *key.begin()));
    Ref k = py_tuple(key);
    return k ? steal(PyObject_GetItem(obj, k.get())) : Ref();
}

Ref full_slice() {
    return steal(PySlice_New(nullptr, nullptr, nullptr));
}

Ref float64_type() {
    return np_attr("float64");
}

Ref as_query_batch(PyObject* x) {
    Ref a = np_call("atleast_2d", {x});
    if (!a) return a;
    Ref f64 = float64_type();
    return f64 ? call_method(a.get(), "astype", {f64.get()}) : Ref();
}

bool is_plain_float64(PyObject* a, int ndim) {
    if (!PyArray_CheckExact(a)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    return PyArray_NDIM(arr) == ndim && PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISALIGNED(arr) &&
           PyArray_ISNOTSWAPPED(arr);
}

bool pairs_view(PyObject* a, PairsView& out) {
    if (!is_plain_float64(a, 2)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 1) != 2) return false;
    out.data = static_cast<const char*>(PyArray_DATA(arr));
    out.n = PyArray_DIM(arr, 0);
    out.row_stride_bytes = PyArray_STRIDE(arr, 0);
    out.col_stride_bytes = PyArray_STRIDE(arr, 1);
    return true;
}

bool values_view(PyObject* a, core::ValuesView& out) {
    if (!is_plain_float64(a, 1)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    out = {static_cast<const char*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0),
           PyArray_STRIDE(arr, 0)};
    return true;
}

bool matrix2_view(PyObject* a, double out[4]) {
    if (!is_plain_float64(a, 2)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 0) != 2 || PyArray_DIM(arr, 1) != 2) return false;
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            out[2 * i + j] = *reinterpret_cast<const double*>(base + i * PyArray_STRIDE(arr, 0) +
                                                              j * PyArray_STRIDE(arr, 1));
        }
    }
    return true;
}

bool matrix_stack_view(PyObject* a, npy_intp m, std::vector<core::Metric2>& out) {
    if (!is_plain_float64(a, 3)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 0) != m || PyArray_DIM(arr, 1) != 2 || PyArray_DIM(arr, 2) != 2)
        return false;
    out.resize(static_cast<size_t>(m));
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1),
                   s2 = PyArray_STRIDE(arr, 2);
    for (npy_intp i = 0; i < m; ++i) {
        const char* b = base + i * s0;
        out[i] = {core::load_double(b), core::load_double(b + s2), core::load_double(b + s1),
                  core::load_double(b + s1 + s2)};
    }
    return true;
}

bool batch_in_place(PyObject* x, PairsView& out) {
    if (pairs_view(x, out)) return true;
    if (!is_plain_float64(x, 1) || PyArray_DIM(reinterpret_cast<PyArrayObject*>(x), 0) != 2) {
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(x);
    out = {static_cast<const char*>(PyArray_DATA(arr)), 1, 0, PyArray_STRIDE(arr, 0)};
    return true;
}

namespace {

// Whether the module global `np` is NumPy itself, so that its atleast_2d and
// astype may be stood in for; a caller who rebinds it gets their object used.
bool np_is_numpy() {
    static PyObject* numpy = PyImport_ImportModule("numpy");  // kept for the process
    if (numpy == nullptr) {
        PyErr_Clear();
        return false;
    }
    static PyObject* key = PyUnicode_InternFromString("np");  // kept for the process
    PyObject* module = internal::current_module_object();
    if (module == nullptr || key == nullptr) return false;
    return PyDict_GetItem(PyModule_GetDict(module), key) == numpy;
}

}  // namespace

bool convert_query(PyObject* x, QueryBatch& out) {
    out.q = Ref();
    out.fast = np_is_numpy() && batch_in_place(x, out.view);
    if (out.fast) return true;
    out.q = as_query_batch(x);
    if (!out.q) return false;
    out.fast = pairs_view(out.q.get(), out.view);
    return true;
}

PyObject* QueryBatch::array(PyObject* x) {
    if (!q) q = as_query_batch(x);
    return q.get();
}

bool QueryBatch::reread(PyObject* x, PairsView& out) const {
    return q ? pairs_view(q.get(), out) : batch_in_place(x, out);
}

Ref new_float64(std::initializer_list<npy_intp> shape) {
    std::vector<npy_intp> dims(shape);
    return steal(PyArray_SimpleNew(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE));
}

Ref copy_pairs(const PairsView& v) {
    Ref out = new_float64({v.n, 2});
    if (!out) return out;
    double* o = f64_data(out.get());
    for (npy_intp i = 0; i < v.n; ++i) {
        o[2 * i] = v.x(i);
        o[2 * i + 1] = v.y(i);
    }
    return out;
}

PyObject* resized_during_call() {
    PyErr_SetString(PyExc_RuntimeError, "an input array was resized during the call");
    return nullptr;
}

bool QueryBatch::detach(PyObject* x) {
    if (!fast || q) return true;  // a converted batch is already our own
    q = as_query_batch(x);
    return q && pairs_view(q.get(), view);
}

}  // namespace zelk
