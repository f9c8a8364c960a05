// A lower bound, safe under rounding, of the computed quadratic form of a
// 2x2 metric for every candidate offset that lies at least a given distance
// away: what an index needs to skip a node without ever dropping the
// candidate a scan of every candidate would choose.
//
// The forms it bounds. The core evaluates w . (M w) in two association
// orders, both without fused multiply-add:
//   row order (segments):    (w0 * (m00 w0 + m01 w1)) + (w1 * (m10 w0 + m11 w1))
//   column order (points):   ((w0 m00 + w1 m10) * w0) + ((w0 m01 + w1 m11) * w1)
// In either, each of the four terms m_ij w_i w_j passes through at most four
// roundings (two products, two sums), so with u = 2^-53, gamma4 = 4u/(1-4u)
// and eta = 2^-1075 (the absolute error of a product that underflows):
//   fl(q) >= w^T S w - gamma4 |w|^T |M| |w| - (4 |w|_inf + 2) eta,
// S = (M + M^T) / 2, and w^T S w >= lambda_min(S) |w|^2. With N the sum of
// |m_ij| (>= the spectral norm of |M|):
//   fl(q) >= (lambda_min(S) - gamma4 N) |w|^2 - (4 |w|_inf + 2) eta.
// The metric is `usable` when all entries are finite and a computed lower
// bound of lambda_min(S) - gamma4 N, less the error of computing lambda_min
// (under 16 u N), still exceeds 2^-40 N: positive definite with room to spare.
// A worse-conditioned metric is better served by scanning every candidate.
//
// The offsets it bounds. The candidate for query point p is w = fl(p - c),
// where c is a computed point of a segment, c = fl(p1 + fl(t v)), t in [0, 1]
// (for a point set, c is the point itself). The box a caller measures is
// built from p1 and fl(p1 + v). With C a bound of the magnitude of every
// coordinate involved (p, p1, v), c lies within 5.1 u C + eta of that box per
// coordinate (the error of fl(t v), of the sum, and of the computed end
// point), so |p - c| >= dist(p, box) - 8 u C - 2 eta, and a subtraction
// rounds |p - c| down by at most a factor (1 - u). The distance a caller
// passes is box_distance_sq() below, which overestimates dist(p, box)^2 by at
// most a factor (1 + gamma4) plus 2 eta. lower_bound() takes all of this
// off, with margin (16 u instead of the 8 u and the few u above).
//
// Overflow. If p, p1, v stay within coord_limit() in magnitude, no
// intermediate of t, w or the form overflows, so no candidate's form is NaN
// or infinite: with finite data, no NaN can then be chosen that a pruned
// node would have hidden. Callers must check this (and finiteness) first.
//
// Per-axis gaps (lower_bound_gaps). Rounding is monotone, so a computed
// segment point c = fl(p1 + fl(t v)) lies, coordinate by coordinate, between
// p1 and fl(p1 + v), i.e. inside the box built from them, and the computed
// offset satisfies |fl(p_k - c_k)| >= gap_k, the gap computed by box_gaps().
// For any w with |w0| >= g0 and |w1| >= g1:
//   w^T S w >= lambda_min (g0^2 + g1^2),
//   w^T S w = s11 (w1 + (s01/s11) w0)^2 + (det/s11) w0^2 >= (det/s11) g0^2,
//   and likewise >= (det/s00) g1^2,
// and with |w|^2 <= w^T S w / lambda_min the form's rounding costs at most a
// factor (1 - gamma4 N / lambda_min). The largest of the three, so reduced,
// is exact for a diagonal metric and needs no square root.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/views.hpp"

namespace zelk::core {

// The squared Euclidean distance from (px, py) to the box [lo, hi], as
// dx = max(lo0 - px, 0, px - hi0) and likewise dy, then dx * dx + dy * dy.
inline double box_distance_sq(double px, double py, const double lo[2],
                              const double hi[2]) noexcept {
    const double dx = std::max(std::max(lo[0] - px, px - hi[0]), 0.0);
    const double dy = std::max(std::max(lo[1] - py, py - hi[1]), 0.0);
    return dx * dx + dy * dy;
}

// The gaps from (px, py) to the box [lo, hi] along each axis:
// max(lo_k - p_k, p_k - hi_k, 0).
inline void box_gaps(double px, double py, const double lo[2], const double hi[2], double& g0,
                     double& g1) noexcept {
    g0 = std::max(std::max(lo[0] - px, px - hi[0]), 0.0);
    g1 = std::max(std::max(lo[1] - py, py - hi[1]), 0.0);
}

// std::max(a, b), also lane by lane for vectors.
template <class T>
inline T larger(T a, T b) noexcept {
    return a < b ? b : a;
}

class MetricBound {
  public:
    explicit MetricBound(const Metric2& m) noexcept {
        const double n = std::fabs(m.m00) + std::fabs(m.m01) + std::fabs(m.m10) + std::fabs(m.m11);
        // Every entry finite (a NaN or an infinity makes n so) and the scale
        // far from overflow, so that the bounds below stay finite.
        if (!(n <= 0x1p900) || !(n >= 0x1p-900)) return;
        // lambda_min is computed on M scaled by a power of two to N in
        // [1/2, 1), so that no square in it underflows, then scaled back.
        int e = 0;
        std::frexp(n, &e);
        const double a = std::ldexp(m.m00, -e), c = std::ldexp(m.m11, -e);
        const double b = 0.5 * (std::ldexp(m.m01, -e) + std::ldexp(m.m10, -e));
        const double h = 0.5 * (a + c), g = 0.5 * (a - c);
        const double lambda_min = h - std::sqrt(g * g + b * b);
        const double safe = lambda_min - 24.0 * kU;
        if (!(safe > 0x1p-40)) return;
        usable_ = true;
        lambda_ = std::ldexp(safe, e);
        spread_ = 16.0 * kU * (n / lambda_);
        // The per-axis coefficients, each reduced for the rounding of the
        // form (gamma4 N / lambda_min, N < 1 here) and of its own
        // computation (det to within 3u, as s00 s11 and b^2 are at most 1).
        const double keep = (1.0 - 0x1p-50 / safe) * (1.0 - 0x1p-47);
        const double det = a * c - b * b - 0x1p-49;
        const double by_gap0 = std::max(det / c, safe), by_gap1 = std::max(det / a, safe);
        gap_lambda_ = std::ldexp(safe * keep, e);
        gap0_ = std::ldexp(by_gap0 * keep, e);
        gap1_ = std::ldexp(by_gap1 * keep, e);
        // Underflow in the form (a few 2^-1075) and in the bound's own
        // squares (2^-1075 each, times a coefficient).
        gap_slack_ = 0x1p-1066 * (1.0 + std::max(gap0_, gap1_));
        // Keeps 2 C^2 (the dot product of t) and 36 N C^2 (the form) far below
        // the largest double.
        coord_limit_ = std::min(0x1p500, std::sqrt(0x1p1000 / n));
    }

    // Whether lower_bound() may be used at all.
    bool usable() const noexcept { return usable_; }

    // The largest coordinate magnitude (query point, p1, v) for which the
    // bound holds and no form can overflow.
    double coord_limit() const noexcept { return coord_limit_; }

    // A value at or below the computed form of every candidate whose box lies
    // box_dist_sq (from box_distance_sq()) away from the query point, with
    // coord_scale >= the magnitude of every coordinate involved (and at most
    // coord_limit()). -infinity when nothing can be said. Only for a usable
    // metric. A node may be skipped when this is strictly greater than the
    // best computed form so far: none of its candidates can then equal it.
    double lower_bound(double box_dist_sq, double coord_scale) const noexcept {
        constexpr double kShrink = 1.0 - 16.0 * kU;
        const double s = box_dist_sq - 0x1p-1070;
        if (!(s > 0.0)) return -std::numeric_limits<double>::infinity();
        const double d = std::sqrt(s) * kShrink - 16.0 * kU * coord_scale - 0x1p-1060;
        if (!(d > 0.0)) return -std::numeric_limits<double>::infinity();
        return lambda_ * (d * d) * kShrink - (coord_scale + 1.0) * 0x1p-1068;
    }

    // A value at or below the computed form of every candidate whose
    // offsets' magnitudes are at least g0 and g1 (from box_gaps()), for
    // coordinates within coord_limit(). Only for a usable metric; tighter
    // than lower_bound() for an anisotropic metric.
    // For a double, or lane by lane for a vector of them (GCC's vector
    // extensions).
    template <class T>
    T lower_bound_gaps(T g0, T g1) const noexcept {
        const T s0 = g0 * g0, s1 = g1 * g1;
        const T low = larger(larger(gap_lambda_ * (s0 + s1), gap0_ * s0), gap1_ * s1);
        return low * (1.0 - 0x1p-49) - gap_slack_;
    }

    // r such that the computed forms of one offset w in any two of the
    // evaluation orders (core/forms.hpp) differ by at most r (q + delta) + 2 delta,
    // q either of them and delta = (4 |w|_inf + 2) 2^-1075: each is within
    // gamma4 N |w|^2 + delta of w^T M w, and |w|^2 <= (q + delta) / lambda.
    // Only for a usable metric.
    double order_spread() const noexcept { return spread_; }

  private:
    static constexpr double kU = 0x1p-53;
    double spread_ = 0.0;
    double gap_lambda_ = 0.0, gap0_ = 0.0, gap1_ = 0.0, gap_slack_ = 0.0;
    bool usable_ = false;
    double lambda_ = 0.0;
    double coord_limit_ = 0.0;
};

}  // namespace zelk::core
