#include "zelk/field/geometry/shared/segments.hpp"

#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/kernel_call.hpp"
#include "zelk/field/geometry/shared/kept_index.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/segments.hpp"

#include <algorithm>

#include <memory>

namespace zelk {

namespace {
constexpr const char kSegmentKernel[] = "segment_repulsion_vectors";
}  // namespace

SegmentCache::SegmentCache(const SegmentSlots& s)
    : p1(field_value(*s.p1)), v(field_value(*s.v)), v_dot_v(field_value(*s.v_dot_v)) {}

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
    Ref p1 = field_value(*s.p1);
    Ref p1a = xa ? getitem(p1.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref diff = p1a ? steal(PyNumber_Subtract(xa.get(), p1a.get())) : Ref();
    Ref v = field_value(*s.v);
    Ref va = diff ? getitem(v.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref prod = va ? steal(PyNumber_Multiply(diff.get(), va.get())) : Ref();
    Ref dots = prod ? call_method(prod.get(), "sum", {}, {{"axis", two.get()}}) : Ref();
    Ref vdv = field_value(*s.v_dot_v);
    Ref vdva = dots ? getitem(vdv.get(), {all.get(), Py_None}) : Ref();
    Ref ratio = vdva ? steal(PyNumber_TrueDivide(dots.get(), vdva.get())) : Ref();
    Ref t = ratio ? np_call("clip", {ratio.get(), lo.get(), hi.get()}) : Ref();
    if (!t) return nullptr;

    p1 = field_value(*s.p1);
    Ref p1b = getitem(p1.get(), {all.get(), Py_None, all.get()});
    Ref tn = p1b ? getitem(t.get(), {Py_Ellipsis, Py_None}) : Ref();
    v = field_value(*s.v);
    Ref vb = tn ? getitem(v.get(), {all.get(), Py_None, all.get()}) : Ref();
    Ref step = vb ? steal(PyNumber_Multiply(tn.get(), vb.get())) : Ref();
    Ref proj = step ? steal(PyNumber_Add(p1b.get(), step.get())) : Ref();
    Ref xb = proj ? getitem(batch, {Py_None, all.get(), all.get()}) : Ref();
    Ref w = xb ? steal(PyNumber_Subtract(xb.get(), proj.get())) : Ref();
    return w ? call_method(w.get(), "reshape", {minus_one.get(), two.get()}).release() : nullptr;
}

namespace {

// A batch this large reuses (or builds) the instance's index: below it the
// plain scan costs less than checking the index against the cache fields.
constexpr npy_intp kIndexMinPoints = 64;
constexpr npy_intp kIndexMinSegments = 64;

constexpr const char kIndexCapsule[] = "zelk.field.segment_index";

}  // namespace

Ref cached_segment_index(PyObject** slot, const SegmentCache& cache, const PairsView& p1,
                         const PairsView& v, const core::ValuesView& v_dot_v) {
    return kept_index<core::SegmentIndex>(
        slot, kIndexCapsule, {cache.p1, cache.v, cache.v_dot_v},
        [&](const core::SegmentIndex& index) { return index.same_source(p1, v, v_dot_v); },
        [&] { return core::SegmentIndex(p1, v, v_dot_v); });
}

const core::SegmentIndex& segment_index_of(PyObject* capsule) {
    return kept_index_of<core::SegmentIndex>(capsule);
}

NearestSegments::NearestSegments(const SegmentSlots& s, PyObject* metric)
    : kernel_(kernel_function(kSegmentKernel)),
      cache_(s),
      metric_(borrow(metric)),
      index_slot_(s.index),
      native_kernel_(kernel_ && is_native_kernel(kernel_.get(), kSegmentKernel)) {}

NearestSegments::NearestSegments(const SegmentSlots& s, PyObject** metric_slot)
    : kernel_(kernel_function(kSegmentKernel)),
      cache_(s),
      metric_(field_value(*metric_slot)),
      index_slot_(s.index),
      native_kernel_(kernel_ && is_native_kernel(kernel_.get(), kSegmentKernel)) {}

bool NearestSegments::native() const {
    PairsView p1, v;
    core::ValuesView vdv;
    double m[4];
    return native_kernel_ && cache_.views(p1, v, vdv) && p1.n >= 1 &&
           matrix2_view(metric_.get(), m);
}

bool NearestSegments::prepare(npy_intp rows) {
    PairsView p1, v;
    core::ValuesView vdv;
    if (rows < kIndexMinPoints || index_slot_ == nullptr || !native_kernel_ ||
        !cache_.views(p1, v, vdv) || p1.n < kIndexMinSegments) {
        return true;
    }
    kept_index_ = cached_segment_index(index_slot_, cache_, p1, v, vdv);
    return static_cast<bool>(kept_index_);
}

Fast NearestSegments::answer(const PairsView& points, bool points_owned, double* out,
                             const MetricTaken* taken) const {
    PairsView p1, v;
    core::ValuesView vdv;
    double m[4];
    if (!native_kernel_ || !cache_.views(p1, v, vdv) || p1.n < 1 ||
        !matrix2_view(metric_.get(), m)) {
        return Fast::Declined;
    }
    if (taken != nullptr && taken->valid && taken->array.get() == metric_.get()) {
        std::copy(taken->m, taken->m + 4, m);
    }
    // The kept index stands in for the arrays only while they hold its bytes.
    const core::SegmentIndex* index = kept_index_ ? &segment_index_of(kept_index_.get()) : nullptr;
    if (index != nullptr && !index->same_source(p1, v, vdv)) index = nullptr;
    nearest_segments_threaded(points, points_owned, p1, v, vdv,
                              core::Metric2{m[0], m[1], m[2], m[3]}, out, index);
    return Fast::Done;
}

Ref NearestSegments::call_kernel(PyObject* batch) const {
    return call(kernel_.get(),
                {batch, cache_.p1.get(), cache_.v.get(), cache_.v_dot_v.get(), metric_.get()});
}

Ref nearest_segment_offsets(PyObject* x, QueryBatch& q, const SegmentSlots& s, PyObject* metric) {
    NearestSegments query(s, metric);
    if (query.failed()) return Ref();
    if (q.fast && query.native()) {
        const npy_intp rows = q.view.n;
        if (!query.prepare(rows)) return Ref();
        Ref out = new_float64({rows, 2});
        if (!out) return out;
        // The allocation may have run a finalizer: read x again.
        PairsView points;
        if (q.reread(x, points) && points.n == rows) {
            const Fast done = query.answer(points, false, f64_data(out.get()));
            if (done == Fast::Done) return out;
            if (done == Fast::Error) return Ref();
        }
    }
    PyObject* batch = q.array(x);
    return batch ? query.call_kernel(batch) : Ref();
}

PyObject* segment_repulsion_vector(PyObject* self, PyTypeObject* own, PyObject* x, QueryBatch& q,
                                   PyObject* select_flag, const SegmentSlots& s) {
    // x is converted before the flag, the metric and the kernel are asked for.
    if ((caller_code_may_run(self, own, select_flag) || !kernels_lookup_is_plain()) &&
        !q.detach(x)) {
        return nullptr;
    }
    const int select = truth(select_flag != nullptr ? select_flag : Py_True);
    if (select < 0) return nullptr;
    if (!select) {
        Ref out = segment_offsets_fast(x, q, SegmentCache(s));
        if (out || PyErr_Occurred()) return out.release();
        PyObject* batch = q.array(x);
        return batch ? segment_offsets_numpy(batch, s) : nullptr;
    }
    Ref metric = metric_of(self);
    return metric ? nearest_segment_offsets(x, q, s, metric.get()).release() : nullptr;
}

}  // namespace zelk
