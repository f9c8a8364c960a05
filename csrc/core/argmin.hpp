// The selection rule shared by the nearest-segment and nearest-point kernels.
#pragma once

#include <cstddef>

namespace zelk::core {

// The index numpy.argmin returns for q[0..n): the first of equal minima, and
// the first NaN as soon as there is one (a NaN compares false with
// everything, so it has to be looked for explicitly). n >= 1.
inline std::ptrdiff_t argmin_first(const double* q, std::ptrdiff_t n) noexcept {
    std::ptrdiff_t best = 0;
    double low = q[0];
    if (low != low) return 0;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        const double x = q[i];
        if (x < low) {
            low = x;
            best = i;
        } else if (x != x) {
            return i;
        }
    }
    return best;
}

}  // namespace zelk::core
