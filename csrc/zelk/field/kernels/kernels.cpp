// zelk.field.kernels: the nearest-segment and point-in-polygon kernels that
// the line-string and polygon geometries call on every query. This file only
// checks and unpacks arguments; the arithmetic lives in core/.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/numpy.hpp"
#include "zelk/field/geometry/shared/ref.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include <string>
#include <vector>

namespace {

using zelk::Ref;
using zelk::core::Metric2;
using zelk::core::PairsView;
using zelk::core::ValuesView;

std::string shape_text(PyArrayObject* a) {
    const int nd = PyArray_NDIM(a);
    std::string s = "(";
    for (int i = 0; i < nd; ++i) {
        if (i) s += ", ";
        s += std::to_string(PyArray_DIM(a, i));
    }
    if (nd == 1) s += ",";
    return s + ")";
}

// `obj` as a native-endian float64 ndarray (borrowed), or NULL with TypeError.
// Other dtypes are refused rather than converted: a silent copy would hide a
// caller that builds its arrays wrongly, and cost a copy on the hot path.
PyArrayObject* float64_array(PyObject* obj, const char* name) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a float64 numpy.ndarray, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(a) != NPY_DOUBLE || PyArray_ISBYTESWAPPED(a)) {
        PyErr_Format(PyExc_TypeError, "%s must have dtype float64, not %S", name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return nullptr;
    }
    return a;
}

bool bad_shape(PyArrayObject* a, const char* name, const char* expected) {
    PyErr_Format(PyExc_ValueError, "%s must have shape %s, got %s", name, expected,
                 shape_text(a).c_str());
    return false;
}

// A float64 (n, 2) array, any strides.
bool pairs_arg(PyObject* obj, const char* name, const char* expected, PairsView& out) {
    PyArrayObject* a = float64_array(obj, name);
    if (!a) return false;
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 2) return bad_shape(a, name, expected);
    out = {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
    return true;
}

// A float64 (n,) array, any stride.
bool values_arg(PyObject* obj, const char* name, const char* expected, ValuesView& out) {
    PyArrayObject* a = float64_array(obj, name);
    if (!a) return false;
    if (PyArray_NDIM(a) != 1) return bad_shape(a, name, expected);
    out = {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    return true;
}

// A float64 (2, 2) array, any strides.
bool metric_arg(PyObject* obj, const char* name, Metric2& out) {
    PyArrayObject* a = float64_array(obj, name);
    if (!a) return false;
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != 2 || PyArray_DIM(a, 1) != 2)
        return bad_shape(a, name, "(2, 2)");
    const char* base = PyArray_BYTES(a);
    const npy_intp r = PyArray_STRIDE(a, 0), c = PyArray_STRIDE(a, 1);
    using zelk::core::load_double;
    out = {load_double(base), load_double(base + c), load_double(base + r),
           load_double(base + r + c)};
    return true;
}

// The arguments are read only after the result is allocated: an allocation
// may run a finalizer, and nothing the views point into may change after
// they are taken.
PyObject* segment_repulsion_vectors(PyObject*, const zelk::BoundArgs& args) {
    PairsView points;
    if (!pairs_arg(args[0], "points", "(m, 2)", points)) return nullptr;
    npy_intp dims[2] = {points.n, 2};
    Ref result = zelk::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!result) return nullptr;

    PairsView p1, v;
    ValuesView v_dot_v;
    Metric2 metric;
    if (!pairs_arg(args[0], "points", "(m, 2)", points) ||
        !pairs_arg(args[1], "p1", "(S, 2)", p1) || !pairs_arg(args[2], "v", "(S, 2)", v) ||
        !values_arg(args[3], "v_dot_v", "(S,)", v_dot_v) || !metric_arg(args[4], "metric", metric))
        return nullptr;
    if (p1.n < 1) {
        PyErr_SetString(PyExc_ValueError, "p1 must hold at least one segment, got shape (0, 2)");
        return nullptr;
    }
    if (v.n != p1.n) {
        PyErr_Format(PyExc_ValueError, "v must have the shape of p1, (%zd, 2), got (%zd, 2)",
                     Py_ssize_t(p1.n), Py_ssize_t(v.n));
        return nullptr;
    }
    if (v_dot_v.n != p1.n) {
        PyErr_Format(PyExc_ValueError, "v_dot_v must have shape (%zd,) to match p1, got (%zd,)",
                     Py_ssize_t(p1.n), Py_ssize_t(v_dot_v.n));
        return nullptr;
    }
    if (points.n != dims[0]) {
        PyErr_SetString(PyExc_RuntimeError, "points changed size during the call");
        return nullptr;
    }
    double* out =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    zelk::NativeView view;
    view.kind = zelk::NativeKind::Segments;
    view.p1 = p1;
    view.v = v;
    view.vdv = v_dot_v;
    view.select = metric;
    zelk::native_offsets_split(view, points, false, out);
    return result.release();
}

PyObject* point_in_rings(PyObject*, const zelk::BoundArgs& args) {
    static_assert(sizeof(bool) == sizeof(npy_bool), "the result is written as C++ bool");
    PairsView points;
    if (!pairs_arg(args[0], "points", "(n, 2)", points)) return nullptr;
    npy_intp n = points.n;
    Ref result = zelk::steal(PyArray_SimpleNew(1, &n, NPY_BOOL));
    if (!result) return nullptr;

    PairsView outer;
    if (!pairs_arg(args[0], "points", "(n, 2)", points) ||
        !pairs_arg(args[1], "outer", "(k, 2)", outer))
        return nullptr;
    PyObject* hole_list = args[2];
    if (!PyList_Check(hole_list)) {
        PyErr_Format(PyExc_TypeError, "holes must be a list of float64 (k, 2) arrays, not %.200s",
                     Py_TYPE(hole_list)->tp_name);
        return nullptr;
    }
    std::vector<PairsView> holes(static_cast<std::size_t>(PyList_GET_SIZE(hole_list)));
    for (std::size_t h = 0; h < holes.size(); ++h) {
        const std::string name = "holes[" + std::to_string(h) + "]";
        PyObject* ring = PyList_GET_ITEM(hole_list, static_cast<Py_ssize_t>(h));
        if (!pairs_arg(ring, name.c_str(), "(k, 2)", holes[h])) return nullptr;
    }
    if (points.n != n) {
        PyErr_SetString(PyExc_RuntimeError, "points changed size during the call");
        return nullptr;
    }
    bool* out = static_cast<bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    zelk::points_in_rings_threaded(points, outer, holes.data(), holes.size(), out);
    return result.release();
}

constexpr const char* kModule = "zelk.field.kernels";

const zelk::MethodDef kSegmentRepulsionVectors{"segment_repulsion_vectors",
                                               {"segment_repulsion_vectors",
                                                kModule,
                                                false,
                                                {{"points", nullptr},
                                                 {"p1", nullptr},
                                                 {"v", nullptr},
                                                 {"v_dot_v", nullptr},
                                                 {"metric", nullptr}},
                                                false},
                                               &segment_repulsion_vectors};

const zelk::MethodDef kPointInRings{"point_in_rings",
                                    {"point_in_rings",
                                     kModule,
                                     false,
                                     {{"points", nullptr}, {"outer", nullptr}, {"holes", nullptr}},
                                     false},
                                    &point_in_rings};

int exec_module(PyObject*) {
    return zelk::import_numpy() ? 0 : -1;
}

PyMethodDef methods[3];

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zelk.field.kernels",
    "Nearest-segment offsets under a metric, and point-in-polygon by the even-odd rule.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_kernels() {
    methods[0] = zelk::method_entry<kSegmentRepulsionVectors>();
    methods[1] = zelk::method_entry<kPointInRings>();
    methods[2] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return PyModuleDef_Init(&module_def);
}
