// The cells of a grid that no box of a set reaches: a point in one lies more
// than a margin away from every box, known from one lookup.
//
// cell_x() and cell_y() are monotone in their coordinate (clamped at the
// edges), and a box marks every cell from that of its low corner less the
// margin to that of its high corner plus it. So a point whose cell is left
// unmarked lies, on one axis at least, beyond fl(lo - m) or fl(hi + m) of
// every box: more than m / 2 from it for m far above the rounding of those
// sums. No cell geometry is needed.
#pragma once

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
        const double w = hi[0] - lo[0], h = hi[1] - lo[1];
        if (!(w > 0.0) || !(h > 0.0) || !std::isfinite(w) || !std::isfinite(h)) return;
        // About four cells per box, fewer while the boxes would mark more
        // than a few dozen cells each.
        const double budget = 32.0 * static_cast<double>(n) + 65536.0;
        for (double cells = std::clamp(4.0 * static_cast<double>(n), 4096.0, 4194304.0);
             cells >= 4096.0; cells /= 4.0) {
            const double aspect = std::clamp(w / h, 1.0 / 64.0, 64.0);
            nx_ = static_cast<std::ptrdiff_t>(std::clamp(std::sqrt(cells * aspect), 1.0, 8192.0));
            ny_ = static_cast<std::ptrdiff_t>(std::clamp(std::sqrt(cells / aspect), 1.0, 8192.0));
            x0_ = lo[0], y0_ = lo[1];
            sx_ = static_cast<double>(nx_) / w, sy_ = static_cast<double>(ny_) / h;
            if (!std::isfinite(sx_) || !std::isfinite(sy_)) break;
            double marks = 0.0;
            for_each_box(
                boxes, n, margin,
                [&](std::ptrdiff_t i0, std::ptrdiff_t i1, std::ptrdiff_t j0, std::ptrdiff_t j1) {
                    marks += static_cast<double>(i1 - i0 + 1) * static_cast<double>(j1 - j0 + 1);
                });
            if (marks > budget) continue;
            marked_.assign(static_cast<std::size_t>(nx_ * ny_), 0);
            for_each_box(
                boxes, n, margin,
                [&](std::ptrdiff_t i0, std::ptrdiff_t i1, std::ptrdiff_t j0, std::ptrdiff_t j1) {
                    for (std::ptrdiff_t j = j0; j <= j1; ++j)
                        std::fill(&marked_[j * nx_ + i0], &marked_[j * nx_ + i1] + 1, 1);
                });
            return;
        }
        nx_ = ny_ = 0;
    }

    // Whether the finite point (x, y) lies in a cell no box reaches.
    bool free(double x, double y) const {
        return nx_ > 0 && marked_[cell(y, y0_, sy_, ny_) * nx_ + cell(x, x0_, sx_, nx_)] == 0;
    }

  private:
    static std::ptrdiff_t cell(double p, double origin, double scale, std::ptrdiff_t n) {
        const double f = (p - origin) * scale;
        if (!(f > 0.0)) return 0;
        if (!(f < static_cast<double>(n - 1))) return n - 1;
        return static_cast<std::ptrdiff_t>(f);
    }

    template <class F>
    void for_each_box(const double* boxes, std::ptrdiff_t n, double m, F&& f) const {
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            const double* b = boxes + 4 * k;
            f(cell(b[0] - m, x0_, sx_, nx_), cell(b[2] + m, x0_, sx_, nx_),
              cell(b[1] - m, y0_, sy_, ny_), cell(b[3] + m, y0_, sy_, ny_));
        }
    }

    double x0_ = 0.0, y0_ = 0.0, sx_ = 0.0, sy_ = 0.0;
    std::ptrdiff_t nx_ = 0, ny_ = 0;
    std::vector<std::uint8_t> marked_;
};

}  // namespace zelk::core
