// The per-candidate arithmetic of the nearest-segment selection, shared by
// the scan over every segment and by the segment index, so that both compute
// every form bit for bit alike.
#pragma once

#include "core/clones.hpp"
#include "core/forms.hpp"
#include "core/views.hpp"

#include <cstddef>

namespace zelk::core::segment_scan {

// t = clip(((p - p1) . v) / v_dot_v, 0, 1) as NumPy evaluates it: the dot
// product is summed from 0.0 as NumPy's sum does (two -0.0 terms give +0.0),
// a NaN passes through the clip and -0.0 stays -0.0 (that sign reaches w).
inline double clipped_t(double px, double py, double p1x, double p1y, double vx, double vy,
                        double vdv) {
    double t = ((0.0 + (px - p1x) * vx) + (py - p1y) * vy) / vdv;
    t = t < 0.0 ? 0.0 : t;
    return t > 1.0 ? 1.0 : t;
}

// One coordinate of w = p - (p1 + t * v).
inline double offset(double p, double p1, double t, double v) {
    return p - (p1 + t * v);
}

// The segments read in place from C-contiguous (S, 2), (S, 2), (S,) arrays at
// any alignment: fixed strides, so the loops still vectorise.
struct Contiguous {
    const char* p1;
    const char* v;
    const char* v_dot_v;

    static constexpr std::ptrdiff_t kD = sizeof(double);
    double p1x(std::ptrdiff_t i) const { return load_double(p1 + 2 * kD * i); }
    double p1y(std::ptrdiff_t i) const { return load_double(p1 + 2 * kD * i + kD); }
    double vx(std::ptrdiff_t i) const { return load_double(v + 2 * kD * i); }
    double vy(std::ptrdiff_t i) const { return load_double(v + 2 * kD * i + kD); }
    double vdv(std::ptrdiff_t i) const { return load_double(v_dot_v + kD * i); }

    static bool fits(const PairsView& a, const PairsView& b, const ValuesView& c) {
        return a.row_stride_bytes == 2 * kD && a.col_stride_bytes == kD &&
               b.row_stride_bytes == 2 * kD && b.col_stride_bytes == kD && c.stride_bytes == kD;
    }
};

// For each of P points p and each segment i = first + k, k < count:
// q[p * ld + k] = w . (metric w), with t[p * ld + k] as scratch. Each
// segment's values are loaded once for all P points. t is computed in one
// loop and w in another: fused, GCC threads the constant bounds of the clip
// into separate paths and no longer vectorises.
template <int P, class Segments>
ZELK_CLONE_INLINE void forms(const Segments& s, std::ptrdiff_t first, std::ptrdiff_t count,
                             const double (&px)[P], const double (&py)[P], const Metric2& metric,
                             double* __restrict t, double* __restrict q, std::ptrdiff_t ld) {
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::ptrdiff_t i = first + k;
        const double p1x = s.p1x(i), p1y = s.p1y(i), vx = s.vx(i), vy = s.vy(i), vdv = s.vdv(i);
        for (int p = 0; p < P; ++p) t[p * ld + k] = clipped_t(px[p], py[p], p1x, p1y, vx, vy, vdv);
    }
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::ptrdiff_t i = first + k;
        const double p1x = s.p1x(i), p1y = s.p1y(i), vx = s.vx(i), vy = s.vy(i);
        for (int p = 0; p < P; ++p) {
            const double tk = t[p * ld + k];
            q[p * ld + k] =
                form_matrix_vector(metric, offset(px[p], p1x, tk, vx), offset(py[p], p1y, tk, vy));
        }
    }
}

// Writes w of point (px, py) and segment i to out[0], out[1].
template <class Segments>
ZELK_CLONE_INLINE void write_offset(const Segments& s, std::ptrdiff_t i, double px, double py,
                                    double* out) {
    const double t = clipped_t(px, py, s.p1x(i), s.p1y(i), s.vx(i), s.vy(i), s.vdv(i));
    out[0] = offset(px, s.p1x(i), t, s.vx(i));
    out[1] = offset(py, s.p1y(i), t, s.vy(i));
}

}  // namespace zelk::core::segment_scan
