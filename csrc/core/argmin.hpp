// The selection rule shared by the nearest-segment and nearest-point kernels:
// the index numpy.argmin returns, i.e. the first of equal minima, and the
// first NaN as soon as there is one (a NaN compares false with everything, so
// it has to be looked for explicitly).
#pragma once

#include <cstddef>
#include <limits>

namespace zelk::core {

// The smallest value of q[0..n), n >= 1, ignoring NaN, and whether a NaN is
// present. One pass without branching, with four running minima so that the
// comparisons do not wait on each other.
struct MinScan {
    double low;
    bool nan;
};

inline MinScan min_scan(const double* q, std::ptrdiff_t n) noexcept {
    double m[4] = {q[0], q[0], q[0], q[0]};
    bool nan = false;
    std::ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int l = 0; l < 4; ++l) {
            const double x = q[i + l];
            m[l] = x < m[l] ? x : m[l];
            nan |= x != x;
        }
    }
    for (; i < n; ++i) {
        m[0] = q[i] < m[0] ? q[i] : m[0];
        nan |= q[i] != q[i];
    }
    const double a = m[1] < m[0] ? m[1] : m[0];
    const double b = m[3] < m[2] ? m[3] : m[2];
    return {b < a ? b : a, nan};
}

// The index numpy.argmin returns, given s = min_scan(q, n). Without NaN it is
// the first index equal to the minimum (either zero matches the other): the
// one a scan by strict comparison keeps.
inline std::ptrdiff_t argmin_at(const double* q, const MinScan& s) noexcept {
    std::ptrdiff_t i = 0;
    if (s.nan) {
        while (q[i] == q[i]) ++i;
    } else {
        while (!(q[i] == s.low)) ++i;
    }
    return i;
}

// With no candidate there is nothing to choose: each of the `rows` result
// rows (two values each) is NaN.
inline void no_candidate(double* out, std::ptrdiff_t rows) noexcept {
    for (std::ptrdiff_t i = 0; i < 2 * rows; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
}

// numpy.argmin of q[0..n), n >= 1.
inline std::ptrdiff_t argmin_first(const double* q, std::ptrdiff_t n) noexcept {
    return argmin_at(q, min_scan(q, n));
}

}  // namespace zelk::core
