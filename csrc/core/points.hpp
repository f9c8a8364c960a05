// Offsets from query points to the points of a point set, and the nearest
// point under a 2x2 metric.
//
// For query x and point p: d = p - x, and the form is NumPy's
// ((d @ M) * d).sum(-1) in the order form_vector_matrix (core/forms.hpp)
// names; it only selects, so the sign of a zero form does not matter.
#pragma once

#include "core/views.hpp"

namespace zelk::core {

// Where the nearest-point routines write their answer for query row i; any
// pointer may be null. offsets[2i], offsets[2i+1]: p* - x_i; index[i]: the
// index of p* in the point set; form[i]: form_vector_matrix of p* - x_i.
struct NearestOut {
    double* offsets = nullptr;
    std::ptrdiff_t* index = nullptr;
    double* form = nullptr;
};

// For each query i, writes to out[2i], out[2i+1] the offset p* - x_i of the
// point p* with the smallest form; ties go to the lowest point index, a NaN
// form is chosen as NumPy's argmin chooses it (the first NaN wins). With no
// point every row is NaN. out: C-contiguous (queries.n, 2).
// Throws std::bad_alloc only.
void nearest_point_offsets(const PairsView& queries, const PairsView& pts, const Metric2& metric,
                           double* out);

// The loop behind nearest_point_offsets, for the query rows [begin, end):
// every point p_j = (px[j], py[j]), j < n, n >= 1, is tried, with the same
// choice rule. Results go to row i of `out` (absolute row numbers).
// Throws std::bad_alloc only.
void scan_nearest_points(const PairsView& queries, std::ptrdiff_t begin, std::ptrdiff_t end,
                         const double* px, const double* py, std::ptrdiff_t n,
                         const Metric2& metric, const NearestOut& out);

// Every offset: row j * queries.n + i of out (C-contiguous
// (pts.n * queries.n, 2)) is p_j - x_i. Throws std::bad_alloc only.
void point_offsets(const PairsView& queries, const PairsView& pts, double* out);

}  // namespace zelk::core
