// The segment cache of line strings and polygons: start points `_p1`, vectors
// `_v` and squared lengths `_v_dot_v`, and the two queries over it, every
// segment's offset and the nearest segment's offset per query point.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

#include "core/segment_index.hpp"

#include <utility>

namespace zelk {

// Where an instance keeps the three cache fields, and the slot (no Python
// attribute, never pickled or copied) where it keeps the index over them.
struct SegmentSlots {
    PyObject** p1;
    PyObject** v;
    PyObject** v_dot_v;
    PyObject** index = nullptr;
};

// The cache fields as they are now, held while they are in use: a field may
// be reassigned by code that runs meanwhile.
struct SegmentCache {
    Ref p1, v, v_dot_v;
    explicit SegmentCache(const SegmentSlots& s);

    // Views when the three are plain float64 arrays of shapes (S, 2), (S, 2)
    // and (S,) with one S.
    bool views(PairsView& p, PairsView& d, core::ValuesView& dd) const;
};

// _p1, _v and _v_dot_v from an (S, 2, 2) array of segment end points with
// NumPy, each stored as soon as it is computed:
//   _p1 = np.ascontiguousarray(pairs[:, 0], dtype=np.float64)
//   _v = np.ascontiguousarray(pairs[:, 1] - pairs[:, 0], dtype=np.float64)
//   _v_dot_v = np.where((_v * _v).sum(axis=1) <= 0, 1.0, (_v * _v).sum(axis=1))
// Returns the new _p1.
Ref store_segments_numpy(PyObject* pairs, const SegmentSlots& s);

// Every segment's offset for every query point, segment-major (S * n, 2), in
// one pass over views. An empty Ref without an exception leaves the work to
// segment_offsets_numpy.
Ref segment_offsets_fast(PyObject* x, const QueryBatch& q, const SegmentCache& cache);

// The same offsets with NumPy, the fields read where the formula names them:
//   t = np.clip((((x[None, :, :] - _p1[:, None, :]) * _v[:, None, :]).sum(axis=2)
//               / _v_dot_v[:, None]), 0.0, 1.0)
//   proj = _p1[:, None, :] + t[..., None] * _v[:, None, :]
//   (x[None, :, :] - proj).reshape(-1, 2)
PyObject* segment_offsets_numpy(PyObject* batch, const SegmentSlots& s);

// A metric array and its entries as a call read them at one moment.
struct MetricTaken {
    Ref array;
    double m[4];
    bool valid = false;
    // Reads `array` now; valid when it is a plain (2, 2) float64 array.
    explicit MetricTaken(Ref a) : array(std::move(a)) { valid = matrix2_view(array.get(), m); }
};

// What a fast path did: finished, failed with an exception set, or declined
// without having changed anything, leaving the work to the NumPy route.
enum class Fast { Done, Error, Declined };

// The selecting query, one road for every class with a segment cache and for
// the kernel itself: per query point the offset from the segment nearest
// under `metric`, as kernels.segment_repulsion_vectors(points, _p1, _v,
// _v_dot_v, metric) gives it. When that kernel is the package's own and the
// cache and metric are plain arrays, the core answers directly (large
// batches on worker threads, see threads.hpp); otherwise the kernel is
// called, so a replaced kernel or odd fields behave as the formulation says.
class NearestSegments {
  public:
    // Looks the kernel up now (failed() then says whether that raised) and
    // holds the cache fields and the metric as they are now.
    NearestSegments(const SegmentSlots& s, PyObject* metric);
    // The same with the metric read from a field, after the lookup.
    NearestSegments(const SegmentSlots& s, PyObject** metric_slot);
    bool failed() const { return !kernel_; }

    // Whether the core may answer: the native kernel, a plain cache with at
    // least one segment and a plain (2, 2) metric.
    bool native() const;
    // For a batch of `rows` rows large enough to repay an index: the index
    // the instance keeps, built and kept now when it is missing or stale.
    // Call it before the batch is viewed for the last time: it allocates, so
    // Python code may run. False with an exception set on failure.
    bool prepare(npy_intp rows);
    // The core's answer for `points`, written to `out` (C-contiguous
    // (points.n, 2), memory this call created); runs no Python code. The
    // inputs are viewed again here, since code may have run since native()
    // was asked: Declined when they no longer fit. `points_owned`: `points`
    // too is memory this call created.
    // `taken`: the metric's entries as the call read them before it first
    // released the interpreter lock; used while the metric is still that
    // array, so that a write into it meanwhile is not half seen.
    Fast answer(const PairsView& points, bool points_owned, double* out,
                const MetricTaken* taken = nullptr) const;
    // kernel(batch, _p1, _v, _v_dot_v, metric)
    Ref call_kernel(PyObject* batch) const;

  private:
    Ref kernel_;
    SegmentCache cache_;
    Ref metric_;
    PyObject** index_slot_;
    bool native_kernel_;  // the kernel is the package's own
    Ref kept_index_;
};

// The index kept in `slot` when it was built from exactly these arrays (the
// same objects, holding the same bytes), else a new one built from them and
// stored there: a capsule, held by the caller while the index is in use.
// Empty with an exception set when the capsule cannot be made.
// Throws std::bad_alloc.
Ref cached_segment_index(PyObject** slot, const SegmentCache& cache, const PairsView& p1,
                         const PairsView& v, const core::ValuesView& v_dot_v);
const core::SegmentIndex& segment_index_of(PyObject* capsule);

// The selecting query for a converted batch: the core on the batch's view
// when it can, else the kernel on `q.array(x)`.
Ref nearest_segment_offsets(PyObject* x, QueryBatch& q, const SegmentSlots& s, PyObject* metric);

// repulsion_vector(x, min_dist_select=True) of the classes whose query is the
// segment cache alone (line strings, multi polygons), once x is converted
// into q and the cache is known to hold a segment:
//   min_dist_select true:  the selecting query with self.get_dist_matrix(scaled=True,
//   inverted=True) min_dist_select false: every segment's offset, segment-major.
// `own` is the class whose get_dist_matrix runs no caller code; `select_flag`
// is nullptr when not given.
PyObject* segment_repulsion_vector(PyObject* self, PyTypeObject* own, PyObject* x, QueryBatch& q,
                                   PyObject* select_flag, const SegmentSlots& s);

}  // namespace zelk
