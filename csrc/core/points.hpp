// Offsets from query points to the points of a point set, and the nearest
// point under a 2x2 metric.
//
// For query x and point p: d = p - x, and the form is NumPy's
// ((d @ M) * d).sum(-1) in the order form_vector_matrix (core/forms.hpp)
// names; it only selects, so the sign of a zero form does not matter.
#pragma once

#include "core/views.hpp"

namespace zelk::core {

// For each query i, writes to out[2i], out[2i+1] the offset p* - x_i of the
// point p* with the smallest form; ties go to the lowest point index, a NaN
// form is chosen as NumPy's argmin chooses it (the first NaN wins). With no
// point every row is NaN. out: C-contiguous (queries.n, 2).
// Throws std::bad_alloc only.
void nearest_point_offsets(const PairsView& queries, const PairsView& pts, const Metric2& metric,
                           double* out);

// Every offset: row j * queries.n + i of out (C-contiguous
// (pts.n * queries.n, 2)) is p_j - x_i. Throws std::bad_alloc only.
void point_offsets(const PairsView& queries, const PairsView& pts, double* out);

}  // namespace zelk::core
