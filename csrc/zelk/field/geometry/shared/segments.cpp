#include "zelk/field/geometry/shared/segments.hpp"

#include "zelk/field/geometry/shared/layout.hpp"

#include "core/segments.hpp"

namespace zelk {

SegmentCache::SegmentCache(const SegmentSlots& s)
    : p1(borrow(get_field(*s.p1))),
      v(borrow(get_field(*s.v))),
      v_dot_v(borrow(get_field(*s.v_dot_v))) {}

bool SegmentCache::views(PairsView& p, PairsView& d, core::ValuesView& dd) const {
    return pairs_view(p1.get(), p) && pairs_view(v.get(), d) && d.n == p.n &&
           values_view(v_dot_v.get(), dd) && dd.n == p.n;
}

Ref store_segments_numpy(PyObject* pairs, const SegmentSlots& s) {
    Ref all = full_slice(), zero = py_int(0), one = py_int(1);
    Ref f64 = float64_type();
    if (!all || !zero || !one || !f64) return Ref();
    Ref start = getitem(pairs, {all.get(), zero.get()});
    Ref p1 = start ? np_call("ascontiguousarray", {start.get()}, {{"dtype", f64.get()}}) : Ref();
    if (!p1) return Ref();
    set_field(*s.p1, Ref(p1).release());

    Ref end = getitem(pairs, {all.get(), one.get()});
    Ref start_again = end ? getitem(pairs, {all.get(), zero.get()}) : Ref();
    Ref diff = start_again ? steal(PyNumber_Subtract(end.get(), start_again.get())) : Ref();
    Ref v = diff ? np_call("ascontiguousarray", {diff.get()}, {{"dtype", f64.get()}}) : Ref();
    if (!v) return Ref();
    set_field(*s.v, Ref(v).release());

    Ref squares = steal(PyNumber_Multiply(v.get(), v.get()));
    Ref vdv = squares ? call_method(squares.get(), "sum", {}, {{"axis", one.get()}}) : Ref();
    Ref degenerate = vdv ? steal(PyObject_RichCompare(vdv.get(), zero.get(), Py_LE)) : Ref();
    Ref replacement = py_float(1.0);
    Ref v_dot_v =
        degenerate ? np_call("where", {degenerate.get(), replacement.get(), vdv.get()}) : Ref();
    if (!v_dot_v) return Ref();
    set_field(*s.v_dot_v, v_dot_v.release());
    return p1;
}

Ref segment_offsets_fast(PyObject* x, const QueryBatch& q, const SegmentCache& cache) {
    PairsView p1, v, points;
    core::ValuesView vdv;
    if (!q.fast || !cache.views(p1, v, vdv)) return Ref();
    const npy_intp segments = p1.n, m = q.view.n;
    // A result too large to address is left to NumPy to report.
    if (m > 0 && segments > NPY_MAX_INTP / 16 / m) return Ref();
    Ref out = new_float64({segments * m, 2});
    if (!out || segments * m == 0) return out;  // nothing to walk, however many segments
    // The allocation may have run a finalizer: read everything again.
    if (!cache.views(p1, v, vdv) || p1.n != segments || !q.reread(x, points) || points.n != m) {
        return Ref();
    }
    core::segment_offsets(points, p1, v, vdv, f64_data(out.get()));
    return out;
}

PyObject* segment_offsets_numpy(PyObject* batch, const SegmentSlots& s) {
    Ref all = full_slice();
    Ref two = py_int(2), minus_one = py_int(-1);
    Ref lo = py_float(0.0), hi = py_float(1.0);
    if (!all || !two || !minus_one || !lo || !hi) return nullptr;
    Ref xa = getitem(batch, {Py_None, all.get(), all.get()});
    Ref p1 = borrow(get_field(*s.p1));
    Ref p1a = xa ? getitem(p1.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref diff = p1a ? steal(PyNumber_Subtract(xa.get(), p1a.get())) : Ref();
    Ref v = borrow(get_field(*s.v));
    Ref va = diff ? getitem(v.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref prod = va ? steal(PyNumber_Multiply(diff.get(), va.get())) : Ref();
    Ref dots = prod ? call_method(prod.get(), "sum", {}, {{"axis", two.get()}}) : Ref();
    Ref vdv = borrow(get_field(*s.v_dot_v));
    Ref vdva = dots ? getitem(vdv.get(), {all.get(), Py_None}) : Ref();
    Ref ratio = vdva ? steal(PyNumber_TrueDivide(dots.get(), vdva.get())) : Ref();
    Ref t = ratio ? np_call("clip", {ratio.get(), lo.get(), hi.get()}) : Ref();
    if (!t) return nullptr;

    p1 = borrow(get_field(*s.p1));
    Ref p1b = getitem(p1.get(), {all.get(), Py_None, all.get()});
    Ref tn = p1b ? getitem(t.get(), {Py_Ellipsis, Py_None}) : Ref();
    v = borrow(get_field(*s.v));
    Ref vb = tn ? getitem(v.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref step = vb ? steal(PyNumber_Multiply(tn.get(), vb.get())) : Ref();
    Ref proj = step ? steal(PyNumber_Add(p1b.get(), step.get())) : Ref();
    Ref xb = proj ? getitem(batch, {Py_None, all.get(), all.get()}) : Ref();
    Ref w = xb ? steal(PyNumber_Subtract(xb.get(), proj.get())) : Ref();
    return w ? call_method(w.get(), "reshape", {minus_one.get(), two.get()}).release() : nullptr;
}

Ref nearest_offsets_fast(PyObject* x, const QueryBatch& q, const SegmentCache& cache,
                         PyObject* metric) {
    PairsView p1, v, points;
    core::ValuesView vdv;
    double m[4];
    if (!q.fast || !cache.views(p1, v, vdv) || p1.n < 1 || !matrix2_view(metric, m)) return Ref();
    const npy_intp rows = q.view.n;
    Ref out = new_float64({rows, 2});
    if (!out) return out;
    if (!cache.views(p1, v, vdv) || p1.n < 1 || !matrix2_view(metric, m) || !q.reread(x, points) ||
        points.n != rows) {
        return Ref();
    }
    core::nearest_segment_offsets(points, p1, v, vdv, core::Metric2{m[0], m[1], m[2], m[3]},
                                  f64_data(out.get()));
    return out;
}

}  // namespace zelk
