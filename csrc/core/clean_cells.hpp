// The even-odd answer of whole cells that no edge comes near, so that most
// points far from an outline are answered by one lookup.
//
// The rings' box is cut into a CellGrid, whose monotone cell formulas make
// the points of one cell a rectangle, and two cells side by side in a row
// one too. A cell is dirty when, in its row's heights,
// it meets the part of an edge widened by a margin M above the rounding of
// x_at(), or the whole edge's box when that is in one row. In a clean cell
// every edge a point's ray straddles lies wholly left of it or wholly right of
// it by more than M (by monotonicity, no cell geometry needed), so crosses()
// gives the exact comparison for every edge. The exact crossing number is
// constant on a connected set the rings do not meet, so every point of a run
// of clean cells in a row gets the answer of any one of them: the run's first
// cell's centre is tested once, by the caller's full test.
#pragma once

#include "core/cell_grid.hpp"
#include "core/crossing_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk::core::ring_parts {

class CleanCells {
  public:
    enum : std::uint8_t { kOutside = 0, kInside = 1, kDirty = 2 };

    // Over the finite rings (every vertex finite, outer ring first), with
    // inside(x, y) the full test. Empty (every point dirty) when the box is
    // degenerate.
    template <class Inside>
    CleanCells(const std::vector<const PairsView*>& rings, Inside&& inside) {
        double x_lo = INFINITY, x_hi = -INFINITY, y_lo = INFINITY, y_hi = -INFINITY;
        std::size_t edges = 0;
        for (const PairsView* r : rings) {
            for (std::ptrdiff_t i = 0; i < r->n; ++i) {
                x_lo = std::min(x_lo, r->x(i)), x_hi = std::max(x_hi, r->x(i));
                y_lo = std::min(y_lo, r->y(i)), y_hi = std::max(y_hi, r->y(i));
            }
            edges += static_cast<std::size_t>(r->n);
        }
        // Beyond 2^500 the product in x_at() could overflow, and the exact
        // comparison would no longer be what crosses() computes.
        if (!(std::max({-x_lo, x_hi, -y_lo, y_hi}) <= 0x1p500)) return;
        // Edges so long that even the coarsest grid would be marked all over
        // leave no cells at all; so do grids where half a cell is not far
        // above the rounding of cell_x() and cell_y().
        const double lo[2] = {x_lo, y_lo}, hi[2] = {x_hi, y_hi};
        g_ = CellGrid::fit(lo, hi, edges, [&](const CellGrid& g) -> double {
            if ((std::fabs(x_lo) + std::fabs(x_hi)) * g.sx > 0x1p40 ||
                (std::fabs(y_lo) + std::fabs(y_hi)) * g.sy > 0x1p40) {
                return INFINITY;
            }
            g_ = g;  // the grid the edges are binned on while it is tried
            double marks = 0.0;
            for_each_edge_cells(rings, [&](std::ptrdiff_t, std::ptrdiff_t i0, std::ptrdiff_t i1) {
                marks += static_cast<double>(i1 - i0 + 1);
            });
            return marks;
        });
        if (g_.cells() == 0) return;
        const std::ptrdiff_t nx = g_.nx, ny = g_.ny;
        state_.assign(static_cast<std::size_t>(nx * ny), kOutside);
        for_each_edge_cells(rings, [&](std::ptrdiff_t j, std::ptrdiff_t i0, std::ptrdiff_t i1) {
            std::fill(&state_[j * nx + i0], &state_[j * nx + i1] + 1, kDirty);
        });
        for (std::ptrdiff_t j = 0; j < ny; ++j) {
            const double cy = g_.y0 + (static_cast<double>(j) + 0.5) / g_.sy;
            const bool row_ok = g_.cell_y(cy) == j;
            std::uint8_t run = kDirty;  // the answer of the run of clean cells under way
            for (std::ptrdiff_t i = 0; i < nx; ++i) {
                std::uint8_t& s = state_[j * nx + i];
                if (s == kDirty || !row_ok) {
                    s = kDirty;
                    run = kDirty;
                    continue;
                }
                if (run == kDirty) {
                    const double cx = g_.x0 + (static_cast<double>(i) + 0.5) / g_.sx;
                    // A centre that rounds into another cell would prove nothing.
                    if (g_.cell_x(cx) != i) {
                        s = kDirty;
                        continue;
                    }
                    run = inside(cx, cy) ? kInside : kOutside;
                }
                s = run;
            }
        }
    }

    // kInside or kOutside where the cell of (x, y) decides, else kDirty.
    std::uint8_t state(double x, double y) const {
        if (g_.cells() == 0 || !(std::fabs(x) <= kFinite) || !(std::fabs(y) <= kFinite))
            return kDirty;
        return state_[g_.cell_y(y) * g_.nx + g_.cell_x(x)];
    }

  private:
    static constexpr double kFinite = 1.7976931348623157e308;

    // f(j, i0, i1): the cells of row j that every edge's widened part in
    // that row's heights meets. Row j holds heights within half a row of its
    // nominal ones (the grid is tight: see the constructor), so an edge's
    // part there lies between its x_at() at the clipped heights. The margin
    // m is far above the few units in the last place that x_at() and the
    // widening round by, and allows for the underflow of the product over
    // the edge's height.
    template <class F>
    void for_each_edge_cells(const std::vector<const PairsView*>& rings, F&& f) const {
        for (const PairsView* r : rings) {
            for (std::ptrdiff_t i = 0; i < r->n; ++i) {
                const Edge e = edge_of(*r, i);
                const double dy = std::fabs(e.yb - e.ya);
                const double m = (std::fabs(e.xa) + std::fabs(e.xb)) * 0x1p-46 +
                                 (dy > 0.0 ? 0x1p-1070 / dy : 0.0);
                const double ym = (std::fabs(e.ya) + std::fabs(e.yb)) * 0x1p-46;
                const double y_lo = std::min(e.ya, e.yb), y_hi = std::max(e.ya, e.yb);
                const std::ptrdiff_t j0 = g_.cell_y(y_lo - ym), j1 = g_.cell_y(y_hi + ym);
                if (j0 == j1 || dy == 0.0) {
                    const std::ptrdiff_t i0 = g_.cell_x(std::min(e.xa, e.xb) - m);
                    const std::ptrdiff_t i1 = g_.cell_x(std::max(e.xa, e.xb) + m);
                    for (std::ptrdiff_t j = j0; j <= j1; ++j) f(j, i0, i1);
                    continue;
                }
                for (std::ptrdiff_t j = j0; j <= j1; ++j) {
                    const double lo = j == 0 ? y_lo : std::max(y_lo, row_edge(j - 0.5));
                    const double hi = j == g_.ny - 1 ? y_hi : std::min(y_hi, row_edge(j + 1.5));
                    if (!(lo <= hi)) continue;  // no height of the row is straddled
                    const double xl = x_at(e, lo), xh = x_at(e, hi);
                    f(j, g_.cell_x(std::min(xl, xh) - m), g_.cell_x(std::max(xl, xh) + m));
                }
            }
        }
    }

    double row_edge(double j) const { return g_.y0 + j / g_.sy; }

    CellGrid g_;
    std::vector<std::uint8_t> state_;
};

}  // namespace zelk::core::ring_parts
