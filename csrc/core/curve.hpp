// Space-filling curves over a 2^16 x 2^16 grid of cells: orders in which
// neighbouring cells stay close, so that consecutive queries read the same
// tree nodes. An order never changes an answer, only what the caches hold.
#pragma once

#include <cstdint>
#include <utility>

namespace zelk::core {

// The position of cell (x, y) along a Hilbert curve: every step moves to a
// neighbouring cell (for the segment index's leaves and row orders).
inline std::uint32_t hilbert_index(std::uint32_t x, std::uint32_t y) {
    std::uint32_t d = 0;
    for (std::uint32_t s = 1u << 15; s > 0; s >>= 1) {
        const std::uint32_t rx = (x & s) ? 1 : 0, ry = (y & s) ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = 0xFFFF - x;
                y = 0xFFFF - y;
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

}  // namespace zelk::core
