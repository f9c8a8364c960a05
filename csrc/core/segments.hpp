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

// For each query point j, writes to out[2j], out[2j+1] the offset w of the
// segment with the smallest w . (metric w), evaluated as
//   (w0 * (m00 w0 + m01 w1)) + (w1 * (m10 w0 + m11 w1)).
// Ties go to the lowest segment index; a NaN form is chosen as NumPy's argmin
// chooses it (the first NaN wins). The segment count is p1.n; v and v_dot_v
// must hold at least that many rows. With no segment every row is NaN.
// out: C-contiguous (points.n, 2). Throws std::bad_alloc only.
void nearest_segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                             const ValuesView& v_dot_v, const Metric2& metric, double* out);

// Every offset: row i * points.n + j of out (C-contiguous (p1.n * points.n, 2))
// is w of segment i and query point j. Throws std::bad_alloc only.
void segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                     const ValuesView& v_dot_v, double* out);

}  // namespace zelk::core
