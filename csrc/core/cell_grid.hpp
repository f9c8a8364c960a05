// A grid of cells over a box, for rasters that mark where a set of items
// (edges, boxes) reaches. cell_x() and cell_y() are monotone in their
// coordinate and clamp at the edges, so the points of one cell form a
// rectangle, and a point whose cell lies outside an item's range of cells
// lies beyond what that range was taken from: arguments need no cell
// geometry.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zelk::core {

struct CellGrid {
    double x0 = 0.0, y0 = 0.0, sx = 0.0, sy = 0.0;
    std::ptrdiff_t nx = 0, ny = 0;  // 0: no grid

    std::ptrdiff_t cell_x(double x) const { return clamp_cell((x - x0) * sx, nx); }
    std::ptrdiff_t cell_y(double y) const { return clamp_cell((y - y0) * sy, ny); }
    std::ptrdiff_t cells() const { return nx * ny; }

    // About four cells per item over [lo, hi] (square-ish, at least 4096),
    // fewer while marks(grid) of the grid tried exceeds a few dozen writes
    // per item. A grid without cells when the box is degenerate, or when
    // even the coarsest grid would take too many marks.
    template <class Marks>
    static CellGrid fit(const double lo[2], const double hi[2], std::size_t items, Marks&& marks) {
        const double w = hi[0] - lo[0], h = hi[1] - lo[1];
        if (!(w > 0.0) || !(h > 0.0) || !std::isfinite(w) || !std::isfinite(h)) return {};
        const double n = static_cast<double>(items);
        const double budget = 32.0 * n + 65536.0;
        const double aspect = std::clamp(w / h, 1.0 / 64.0, 64.0);
        for (double cells = std::clamp(4.0 * n, 4096.0, 4194304.0); cells >= 4096.0; cells /= 4.0) {
            CellGrid g;
            g.nx = static_cast<std::ptrdiff_t>(std::clamp(std::sqrt(cells * aspect), 1.0, 8192.0));
            g.ny = static_cast<std::ptrdiff_t>(std::clamp(std::sqrt(cells / aspect), 1.0, 8192.0));
            g.x0 = lo[0], g.y0 = lo[1];
            g.sx = static_cast<double>(g.nx) / w, g.sy = static_cast<double>(g.ny) / h;
            if (!std::isfinite(g.sx) || !std::isfinite(g.sy)) return {};
            if (marks(g) <= budget) return g;
        }
        return {};
    }

  private:
    static std::ptrdiff_t clamp_cell(double f, std::ptrdiff_t n) {
        if (!(f > 0.0)) return 0;
        if (!(f < static_cast<double>(n - 1))) return n - 1;
        return static_cast<std::ptrdiff_t>(f);
    }
};

}  // namespace zelk::core
