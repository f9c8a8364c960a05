// Offsets of query points from line segments, and the nearest segment under
// a 2x2 metric.
//
// For query point p and segment i (start p1[i], direction v[i], squared
// length v_dot_v[i]):
//   t = clip(((p - p1[i]) . v[i]) / v_dot_v[i], 0, 1)
//   w = p - (p1[i] + t * v[i])
// evaluated without fused multiply-add, in the order written, so the results
// equal the same formula evaluated element-wise by NumPy, bit for bit.
#pragma once

#include "core/views.hpp"

namespace zelk::core {

class SegmentIndex;

// The cache entries of the segment from (x0, y0) to (x1, y1): its start point,
// its vector and its squared length, where a zero-length segment gets 1 so
// that it acts as its start point (t then stays 0).
inline void segment_entry(double x0, double y0, double x1, double y1, double* p1, double* v,
                          double* v_dot_v) noexcept {
    const double vx = x1 - x0, vy = y1 - y0;
    p1[0] = x0;
    p1[1] = y0;
    v[0] = vx;
    v[1] = vy;
    const double vdv = vx * vx + vy * vy;
    *v_dot_v = vdv <= 0.0 ? 1.0 : vdv;
}

// For each query point j, writes to out[2j], out[2j+1] the offset w of the
// segment with the smallest w . (metric w), evaluated in the order
// form_matrix_vector (core/forms.hpp) names.
// Ties go to the lowest segment index; a NaN form is chosen as NumPy's argmin
// chooses it (the first NaN wins). The segment count is p1.n; v and v_dot_v
// must hold at least that many rows. With no segment every row is NaN.
// out: C-contiguous (points.n, 2). Throws std::bad_alloc only.
//
// Large batches go through a segment index (core/segment_index.hpp), built
// for the call, or `index` when given: one built from these very arrays
// (SegmentIndex::same_source), which is then all that is read (the arrays
// are not). Either way the result is the same bit for bit.
void nearest_segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                             const ValuesView& v_dot_v, const Metric2& metric, double* out,
                             const SegmentIndex* index = nullptr);

// Every offset: row i * points.n + j of out (C-contiguous (p1.n * points.n, 2))
// is w of segment i and query point j. Throws std::bad_alloc only.
void segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                     const ValuesView& v_dot_v, double* out);

}  // namespace zelk::core
