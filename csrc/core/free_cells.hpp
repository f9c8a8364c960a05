// The cells of a grid that no box of a set reaches: a point in one lies more
// than a margin away from every box, known from one lookup.
//
// A box marks every cell of a CellGrid from that of its low corner less the
// margin to that of its high corner plus it. So a point whose cell is left
// unmarked lies, on one axis at least, beyond fl(lo - m) or fl(hi + m) of
// every box: more than m / 2 from it for m far above the rounding of those
// sums. No cell geometry is needed.
#pragma once

#include "core/cell_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk::core {

class FreeCells {
  public:
    FreeCells() = default;

    // Over n boxes (lo x, lo y, hi x, hi y each, finite, with magnitudes at
    // most 2^-4 / u times the margin). Empty, so that no point is free,
    // where the boxes would mark too much of any grid.
    FreeCells(const double* boxes, std::ptrdiff_t n, double margin) {
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            for (int c = 0; c < 2; ++c) {
                lo[c] = std::min(lo[c], boxes[4 * k + c]);
                hi[c] = std::max(hi[c], boxes[4 * k + 2 + c]);
            }
        }
        const auto each = [&](const CellGrid& g, auto&& f) {
            for (std::ptrdiff_t k = 0; k < n; ++k) {
                const double* b = boxes + 4 * k;
                f(g.cell_x(b[0] - margin), g.cell_x(b[2] + margin), g.cell_y(b[1] - margin),
                  g.cell_y(b[3] + margin));
            }
        };
        g_ = CellGrid::fit(lo, hi, static_cast<std::size_t>(n), [&](const CellGrid& g) {
            double marks = 0.0;
            each(g,
                 [&](std::ptrdiff_t i0, std::ptrdiff_t i1, std::ptrdiff_t j0, std::ptrdiff_t j1) {
                     marks += static_cast<double>(i1 - i0 + 1) * static_cast<double>(j1 - j0 + 1);
                 });
            return marks;
        });
        if (g_.cells() == 0) return;
        marked_.assign(static_cast<std::size_t>(g_.cells()), 0);
        each(g_, [&](std::ptrdiff_t i0, std::ptrdiff_t i1, std::ptrdiff_t j0, std::ptrdiff_t j1) {
            for (std::ptrdiff_t j = j0; j <= j1; ++j)
                std::fill(&marked_[j * g_.nx + i0], &marked_[j * g_.nx + i1] + 1, 1);
        });
    }

    // Whether the finite point (x, y) lies in a cell no box reaches.
    bool free(double x, double y) const {
        return g_.cells() > 0 && marked_[g_.cell_y(y) * g_.nx + g_.cell_x(x)] == 0;
    }

  private:
    CellGrid g_;
    std::vector<std::uint8_t> marked_;
};

}  // namespace zelk::core
