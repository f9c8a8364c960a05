// Running column minimum and maximum of (x, y) rows, as NumPy's min(0) and
// max(0) reduce rows in order: a tie goes to the later row (which decides the
// sign of a zero), and a NaN, once met, stays.
#pragma once

#include "core/views.hpp"

namespace zelk::core {

struct Extremes {
    double lo[2] = {0.0, 0.0}, hi[2] = {0.0, 0.0};
    bool empty = true;

    void add(double x, double y) noexcept {
        const double v[2] = {x, y};
        for (int c = 0; c < 2; ++c) {
            if (empty) {
                lo[c] = hi[c] = v[c];
                continue;
            }
            if (lo[c] == lo[c]) lo[c] = lo[c] < v[c] ? lo[c] : v[c];
            if (hi[c] == hi[c]) hi[c] = hi[c] > v[c] ? hi[c] : v[c];
        }
        empty = false;
    }

    void add(const PairsView& rows) noexcept {
        for (std::ptrdiff_t i = 0; i < rows.n; ++i) add(rows.x(i), rows.y(i));
    }
};

}  // namespace zelk::core
