// Array helpers of the polygon module: views of the shapes it reads, the
// allclose test for closing rings, and boxes computed as NumPy computes them.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

#include "core/extremes.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zelk {
namespace polygon_arrays {

// A plain float64 (S, 2, 2) array, any strides: segment i runs from [i, 0] to [i, 1].
struct SegmentsView {
    const char* data;
    npy_intp n;
    npy_intp stride[3];
    double at(npy_intp i, int end, int axis) const noexcept {
        return core::load_double(data + i * stride[0] + end * stride[1] + axis * stride[2]);
    }
};

inline bool segments_view(PyObject* a, SegmentsView& out) {
    if (!is_plain_float64(a, 3)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 1) != 2 || PyArray_DIM(arr, 2) != 2) return false;
    out.data = PyArray_BYTES(arr);
    out.n = PyArray_DIM(arr, 0);
    for (int d = 0; d < 3; ++d) out.stride[d] = PyArray_STRIDE(arr, d);
    return true;
}

// A plain float64 (2,) array seen as one row.
inline bool pair_view(PyObject* a, PairsView& out) {
    if (!is_plain_float64(a, 1)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 0) != 2) return false;
    out = {PyArray_BYTES(arr), 1, 0, PyArray_STRIDE(arr, 0)};
    return true;
}

// np.isclose(a, b) with the default tolerances, term for term:
// (|a - b| <= atol + rtol * |b|) & isfinite(b) | (a == b). NaN is never close.
inline bool isclose(double a, double b) noexcept {
    return (std::fabs(a - b) <= 1e-08 + 1e-05 * std::fabs(b) && std::isfinite(b)) || a == b;
}

// np.allclose(r[0], r[-1]) for a non-empty ring.
inline bool ends_close(const PairsView& r) noexcept {
    const npy_intp last = r.n - 1;
    return isclose(r.x(0), r.x(last)) && isclose(r.y(0), r.y(last));
}

inline Ref zeros(std::initializer_list<npy_intp> shape) {
    std::vector<npy_intp> dims(shape);
    return steal(PyArray_ZEROS(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE, 0));
}

// [[min x, min y], [max x, max y]] of the rows added, or zeros when none was.
inline Ref box_array(const core::Extremes& e) {
    Ref out = zeros({2, 2});
    if (!out || e.empty) return out;
    double* o = f64_data(out.get());
    o[0] = e.lo[0];
    o[1] = e.lo[1];
    o[2] = e.hi[0];
    o[3] = e.hi[1];
    return out;
}

// np.array([rows.min(0), rows.max(0)]); with `empty_is_zero`, np.zeros((2, 2))
// when rows has no values.
inline Ref numpy_box(PyObject* rows, bool empty_is_zero) {
    if (empty_is_zero) {
        Ref size = steal(PyObject_GetAttrString(rows, "size"));
        const int nonzero = size ? truth(size.get()) : -1;
        if (nonzero < 0) return Ref();
        if (!nonzero) return zeros({2, 2});
    }
    Ref zero = py_int(0);
    Ref lo = zero ? call_method(rows, "min", {zero.get()}) : Ref();
    Ref hi = lo ? call_method(rows, "max", {zero.get()}) : Ref();
    Ref pair = hi ? steal(Py_BuildValue("[OO]", lo.get(), hi.get())) : Ref();
    return pair ? np_call("array", {pair.get()}) : Ref();
}

// x.shape[0] of a converted query batch.
inline bool first_dim(PyObject* a, npy_intp& n) {
    if (PyArray_Check(a) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a)) > 0) {
        n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0);
        return true;
    }
    Ref shape = steal(PyObject_GetAttrString(a, "shape"));
    Ref zero = py_int(0);
    Ref first = shape && zero ? getitem(shape.get(), {zero.get()}) : Ref();
    Ref index = first ? steal(PyNumber_Index(first.get())) : Ref();
    if (!index) return false;
    n = PyLong_AsSsize_t(index.get());
    return !(n == -1 && PyErr_Occurred());
}

// An integer value as the int64 field stores it.
inline bool as_int64(PyObject* o, std::int64_t& out) {
    Ref index = steal(PyNumber_Index(o));
    if (!index) return false;
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// bool(np.all(x <op> bound)); -1 on error.
inline int all_compare(PyObject* x, PyObject* bound, int op) {
    Ref cmp = steal(PyObject_RichCompare(x, bound, op));
    Ref all = cmp ? np_call("all", {cmp.get()}) : Ref();
    return all ? truth(all.get()) : -1;
}

// Every point within the closed box [corners[0], corners[1]].
inline bool batch_in_box(const PairsView& pts, const PairsView& corners) noexcept {
    const double x0 = corners.x(0), y0 = corners.y(0), x1 = corners.x(1), y1 = corners.y(1);
    for (npy_intp i = 0; i < pts.n; ++i) {
        const double x = pts.x(i), y = pts.y(i);
        if (!(x >= x0 && y >= y0 && x <= x1 && y <= y1)) return false;
    }
    return true;
}

}  // namespace polygon_arrays
}  // namespace zelk
