// Space-filling curves over a 2^16 x 2^16 grid of cells: orders in which
// neighbouring cells stay close, so that consecutive queries read the same
// tree nodes. An order never changes an answer, only what the caches hold.
#pragma once

#include "core/views.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelk::core {

// The position of cell (x, y) along a Hilbert curve: every step moves to a
// neighbouring cell (for the segment index's leaves and row orders).
// On a 2^bits x 2^bits grid (bits <= 16), the same walk over its cells:
// hilbert_index(x << k, y << k) >> 2k for k = 16 - bits.
inline std::uint32_t hilbert_index(std::uint32_t x, std::uint32_t y, int bits = 16) {
    const std::uint32_t top = (1u << bits) - 1;
    std::uint32_t d = 0;
    for (std::uint32_t s = 1u << (bits - 1); s > 0; s >>= 1) {
        const std::uint32_t rx = (x & s) ? 1 : 0, ry = (y & s) ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = top - x;
                y = top - y;
            }
            std::swap(x, y);
        }
    }
    return d;
}

// The bits of v (16 of them) spread to the even bit positions.
inline std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0xffffffffu;
    v = (v | (v << 16)) & 0x0000ffff0000ffffu;
    v = (v | (v << 8)) & 0x00ff00ff00ff00ffu;
    v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fu;
    v = (v | (v << 2)) & 0x3333333333333333u;
    return (v | (v << 1)) & 0x5555555555555555u;
}

// The position of cell (x, y) along a Morton (Z-order) curve: cheaper to
// compute than the Hilbert curve, with longer jumps between quadrants.
inline std::uint64_t morton_index(std::uint32_t x, std::uint32_t y) {
    return spread_bits(x) | (spread_bits(y) << 1);
}

// Rows [begin, end) of points in the order of their cells (about four points
// each) along a Hilbert curve over the points' box, within a cell in row
// order. O(n).
std::vector<std::ptrdiff_t> cell_order(const PairsView& points, std::ptrdiff_t begin,
                                       std::ptrdiff_t end);

// Rows [begin, end) of points in square cells of about per_cell points each,
// taken row of cells by row, within a cell in row order: runs of per_cell
// consecutive rows then cover compact patches. O(n).
std::vector<std::ptrdiff_t> tile_order(const PairsView& points, std::ptrdiff_t begin,
                                       std::ptrdiff_t end, std::ptrdiff_t per_cell);

}  // namespace zelk::core
