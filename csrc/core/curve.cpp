#include "core/curve.hpp"

#include <algorithm>
#include <cmath>

namespace zelk::core {

namespace {

// The box of the finite coordinates of rows [begin, end), axis by axis
// (+infinity to -infinity on an axis with none).
void finite_box(const PairsView& points, std::ptrdiff_t begin, std::ptrdiff_t end, double lo[2],
                double hi[2]) {
    lo[0] = lo[1] = INFINITY;
    hi[0] = hi[1] = -INFINITY;
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        const double p[2] = {points.x(j), points.y(j)};
        for (int c = 0; c < 2; ++c) {
            if (!std::isfinite(p[c])) continue;
            lo[c] = std::min(lo[c], p[c]);
            hi[c] = std::max(hi[c], p[c]);
        }
    }
}

}  // namespace

// Rows [begin, end) in the order of their cells along a Hilbert curve over
// the points' box, so that consecutive descents share the nodes they read
// (each row's answer does not depend on the order). Rows that are not
// finite land in a corner cell. O(n).
std::vector<std::ptrdiff_t> cell_order(const PairsView& points, std::ptrdiff_t begin,
                                       std::ptrdiff_t end) {
    std::vector<std::ptrdiff_t> order;
    const std::ptrdiff_t n = end - begin;
    if (n <= 0) return order;
    double lo[2], hi[2];
    finite_box(points, begin, end, lo, hi);
    // About four points per cell, at most 2^10 cells a side.
    int bits = 1;
    while (bits < 10 && (std::ptrdiff_t(1) << (2 * bits + 2)) < n) ++bits;
    const double side = static_cast<double>(1 << bits);
    double to_cell[2];
    for (int c = 0; c < 2; ++c) {
        const double span = hi[c] - lo[c];
        to_cell[c] = span > 0.0 && std::isfinite(side / span) ? side / span : 0.0;
    }
    const std::size_t cells = std::size_t(1) << (2 * bits);
    std::vector<std::uint32_t> cell(static_cast<std::size_t>(n));
    std::vector<std::ptrdiff_t> start(cells + 1, 0);
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        std::uint32_t xy[2];
        const double p[2] = {points.x(j), points.y(j)};
        for (int c = 0; c < 2; ++c) {
            const double f = (p[c] - lo[c]) * to_cell[c];
            // NaN and infinities land in a corner cell: any cell will do.
            xy[c] = f >= 0.0 && f < side ? static_cast<std::uint32_t>(f) : 0;
        }
        const std::uint32_t h = hilbert_index(xy[0], xy[1], bits);
        cell[j - begin] = h;
        ++start[h + 1];
    }
    for (std::size_t c = 0; c < cells; ++c) start[c + 1] += start[c];
    order.resize(static_cast<std::size_t>(n));
    for (std::ptrdiff_t k = 0; k < n; ++k) order[start[cell[k]]++] = begin + k;
    return order;
}

std::vector<std::ptrdiff_t> tile_order(const PairsView& points, std::ptrdiff_t begin,
                                       std::ptrdiff_t end, std::ptrdiff_t per_cell) {
    std::vector<std::ptrdiff_t> order;
    const std::ptrdiff_t n = end - begin;
    if (n <= 0) return order;
    double lo[2], hi[2];
    finite_box(points, begin, end, lo, hi);
    // Square cells where the box has an area, a row of them where it is a
    // line (or its sides' ratio overflows).
    const double cells = std::max<double>(1.0, double(n / std::max<std::ptrdiff_t>(per_cell, 1)));
    const double ax = hi[0] - lo[0], ay = hi[1] - lo[1];
    const bool wide = ax > 0.0 && std::isfinite(ax), tall = ay > 0.0 && std::isfinite(ay);
    double nx = 1.0, ny = 1.0;
    if (wide && tall && std::isfinite(ax / ay) && ax / ay > 0.0) {
        nx = std::clamp(std::round(std::sqrt(cells * (ax / ay))), 1.0, cells);
        ny = std::clamp(std::round(cells / nx), 1.0, cells);
    } else if (wide) {
        nx = cells;
    } else if (tall) {
        ny = cells;
    }
    const auto ix = static_cast<std::ptrdiff_t>(nx), iy = static_cast<std::ptrdiff_t>(ny);
    const double to_x = wide ? nx / ax : 0.0, to_y = tall ? ny / ay : 0.0;
    std::vector<std::uint32_t> cell(static_cast<std::size_t>(n));
    std::vector<std::ptrdiff_t> start(static_cast<std::size_t>(ix * iy + 1), 0);
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        // NaN and infinities land in cell 0: any cell will do.
        const double fx = (points.x(j) - lo[0]) * to_x, fy = (points.y(j) - lo[1]) * to_y;
        const std::ptrdiff_t cx = fx >= 0.0 && fx < nx ? std::ptrdiff_t(fx) : 0;
        const std::ptrdiff_t cy = fy >= 0.0 && fy < ny ? std::ptrdiff_t(fy) : 0;
        // Rows of cells run back and forth, so that consecutive cells touch.
        const std::ptrdiff_t c = cy * ix + (cy % 2 == 0 ? cx : ix - 1 - cx);
        cell[j - begin] = static_cast<std::uint32_t>(c);
        ++start[c + 1];
    }
    for (std::ptrdiff_t c = 0; c < ix * iy; ++c) start[c + 1] += start[c];
    order.resize(static_cast<std::size_t>(n));
    for (std::ptrdiff_t k = 0; k < n; ++k) order[start[cell[k]]++] = begin + k;
    return order;
}

}  // namespace zelk::core
