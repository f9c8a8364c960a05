// A tighter distance bound than a box for a run of segments that follows a
// smooth curve: the rectangle, turned to the run's main direction, that holds
// every end point. Where a curve passes a query point at a tangent, boxes of
// the pieces on either side stay within the nearest distance for a long way
// (their corners reach towards the point) while the turned rectangles, being
// thin, do not: a descent then reads a few pieces instead of dozens.
//
// Rounding. Let C bound the magnitude of every coordinate involved (query
// point, p1, v, p1 + v, and so every candidate point), u = 2^-53, and treat
// the computed (c, s) as exact, so that T(P) = (c Px + s Py, c Py - s Px) is
// a linear map of norm sqrt(c^2 + s^2) <= 1 + 2u: |P - Q| >= |T(P) - T(Q)| /
// (1 + 2u).
// - A computed projection of a point is within 4.1 u C of its exact value
//   (two products and a sum, |c|, |s| <= 1).
// - A candidate point c = fl(p1 + fl(t v)) is within 3 u C of p1 + t v, which
//   is within 1.5 u C of a point of the segment from p1 to the computed end
//   point e = fl(p1 + v). That point's exact projections lie between those of
//   p1 and e, so within 4.1 u C of the rectangle's computed extents.
// - So along each axis the exact gap between the query's and a candidate's
//   projections is at least the computed gap less 4.1 + 9.1 u C and its own
//   rounding (u times a gap below 3 C): less 17 u C in all. 32 u C is taken,
//   and 2^-1060 for products that underflow.
// The squared distance below is then at or below |q - c|^2 for every
// candidate c, and MetricBound::lower_bound() turns it into a bound of the
// computed forms (it allows for the rest: the offset's rounding, the form's,
// and more slack than a box needs).
#pragma once

#include "core/metric_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zelk::core {

// Strip::distance_sq_below() of the strip (c, s, a_lo, a_hi, b_lo, b_hi), for
// doubles or lane by lane for vectors of them (GCC's vector extensions).
template <class T>
inline T strip_distance_sq_below(T c, T s, T a_lo, T a_hi, T b_lo, T b_hi, double x, double y,
                                 double scale) noexcept {
    const double slack = 0x1p-48 * scale + 0x1p-1060;  // 32 u C
    const T a = c * x + s * y, b = c * y - s * x;
    const T ga = larger(larger(a_lo - a, a - a_hi), T{} + 0.0) - slack;
    const T gb = larger(larger(b_lo - b, b - b_hi), T{} + 0.0) - slack;
    const T pa = ga > 0.0 ? ga : T{} + 0.0, pb = gb > 0.0 ? gb : T{} + 0.0;
    // The sum's and squares' rounding, and the map's norm.
    return (pa * pa + pb * pb) * (1.0 - 0x1p-49);
}

struct Strip {
    double c = 1.0, s = 0.0;  // the main direction (cos, sin)
    double a_lo = 0.0, a_hi = 0.0, b_lo = 0.0, b_hi = 0.0;

    double along(double x, double y) const noexcept { return c * x + s * y; }
    double across(double x, double y) const noexcept { return c * y - s * x; }

    // The strip of the points at(k) = (x, y), k < n, n >= 1, turned to their
    // principal axis.
    template <class At>
    static Strip around(std::ptrdiff_t n, At&& at) noexcept {
        double mx = 0.0, my = 0.0;
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            const auto [x, y] = at(k);
            mx += x, my += y;
        }
        mx /= static_cast<double>(n), my /= static_cast<double>(n);
        double sxx = 0.0, syy = 0.0, sxy = 0.0;
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            const auto [x, y] = at(k);
            const double dx = x - mx, dy = y - my;
            sxx += dx * dx, syy += dy * dy, sxy += dx * dy;
        }
        Strip st;
        const double angle = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
        if (std::isfinite(angle)) st.c = std::cos(angle), st.s = std::sin(angle);
        st.a_lo = st.b_lo = INFINITY;
        st.a_hi = st.b_hi = -INFINITY;
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            const auto [x, y] = at(k);
            const double a = st.along(x, y), b = st.across(x, y);
            st.a_lo = std::min(st.a_lo, a), st.a_hi = std::max(st.a_hi, a);
            st.b_lo = std::min(st.b_lo, b), st.b_hi = std::max(st.b_hi, b);
        }
        return st;
    }

    // At or below the squared distance from (x, y) to every candidate point
    // of the segments, with `scale` >= every coordinate magnitude involved.
    double distance_sq_below(double x, double y, double scale) const noexcept {
        return strip_distance_sq_below(c, s, a_lo, a_hi, b_lo, b_hi, x, y, scale);
    }

    // The strip of the whole plane: its distance is 0 from every point.
    static Strip none() noexcept { return {1.0, 0.0, -INFINITY, INFINITY, -INFINITY, INFINITY}; }
};

}  // namespace zelk::core
