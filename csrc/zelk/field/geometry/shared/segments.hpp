// The segment cache of line strings and polygons: start points `_p1`, vectors
// `_v` and squared lengths `_v_dot_v`, and the two queries over it, every
// segment's offset and the nearest segment's offset per query point.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

namespace zelk {

// Where an instance keeps the three cache fields.
struct SegmentSlots {
    PyObject** p1;
    PyObject** v;
    PyObject** v_dot_v;
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

// The native segment kernel's computation on views, the nearest segment's
// offset per query point under `metric`. An empty Ref without an exception
// leaves the call to the kernel.
Ref nearest_offsets_fast(PyObject* x, const QueryBatch& q, const SegmentCache& cache,
                         PyObject* metric);

}  // namespace zelk
