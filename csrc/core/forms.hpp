// The 2x2 quadratic form d . (M d), in each evaluation order the package
// needs. The orders agree as real numbers but not always in the last bit or
// in the sign of a zero, and each one reproduces one NumPy formulation bit for
// bit (no fused multiply-add), so every caller names the order its
// formulation fixes:
//
//   form_matrix_vector(m, w):         (M w) first, then the dot product:
//       w0 * (m00 w0 + m01 w1) + w1 * (m10 w0 + m11 w1)
//     as einsum("ij,j") followed by (w * Mw).sum(-1) over two terms; the
//     nearest-segment selection and the collection's pick per member.
//   form_vector_matrix(m, d):         (d M) first, then the dot product:
//       (d0 m00 + d1 m10) d0 + (d0 m01 + d1 m11) d1
//     as ((d @ M) * d) with the two terms added; the nearest point of a set.
//   form_vector_matrix_from_zero(m, d): the same, summed from +0.0 as NumPy's
//       sum(-1) accumulates: (0.0 + a0 d0) + a1 d1, so that -0.0 + -0.0
//     gives +0.0; the base class's squared distance, whose values are returned.
#pragma once

#include "core/clones.hpp"
#include "core/views.hpp"

#include <cstddef>

namespace zelk::core {

ZELK_CLONE_INLINE double form_matrix_vector(const Metric2& m, double w0, double w1) noexcept {
    const double a0 = m.m00 * w0 + m.m01 * w1;
    const double a1 = m.m10 * w0 + m.m11 * w1;
    return w0 * a0 + w1 * a1;
}

ZELK_CLONE_INLINE double form_vector_matrix(const Metric2& m, double d0, double d1) noexcept {
    const double a0 = d0 * m.m00 + d1 * m.m10;
    const double a1 = d0 * m.m01 + d1 * m.m11;
    return a0 * d0 + a1 * d1;
}

ZELK_CLONE_INLINE double form_vector_matrix_from_zero(const Metric2& m, double d0,
                                                      double d1) noexcept {
    const double a0 = d0 * m.m00 + d1 * m.m10;
    const double a1 = d0 * m.m01 + d1 * m.m11;
    return (0.0 + a0 * d0) + a1 * d1;
}

// out[i] = form_vector_matrix_from_zero(m, d[i]): ((d @ M) * d).sum(-1).
void forms_vector_matrix_from_zero(const PairsView& d, const Metric2& m, double* out) noexcept;

// M r summed from +0.0 per row, as einsum("ij,j->i") accumulates:
// out = ((0.0 + m00 r0) + m01 r1, (0.0 + m10 r0) + m11 r1).
inline void matrix_vector_from_zero(const Metric2& m, double r0, double r1, double* out) noexcept {
    out[0] = (0.0 + m.m00 * r0) + m.m01 * r1;
    out[1] = (0.0 + m.m10 * r0) + m.m11 * r1;
}

// Per row l of `count` candidate arrays of n rows each: the candidate row of
// the array i whose form_matrix_vector under metrics[i] is smallest, ties to
// the lowest i and a NaN form as NumPy's argmin takes it (the first NaN wins),
// written to out[2l], out[2l+1]. count >= 1. Throws std::bad_alloc only.
void pick_smallest_form(const PairsView* candidates, std::ptrdiff_t count, std::ptrdiff_t n,
                        const Metric2* metrics, double* out);

}  // namespace zelk::core
