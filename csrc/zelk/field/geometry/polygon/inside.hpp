// The even-odd inside test of kernels.point_in_rings, for a batch too small
// to pay for the strip index that core::points_in_rings builds on every call.
// Every edge is tested with the core's crossing formula, in the same ring
// order and orientation; the index only leaves out edges that no ray at the
// point's height can cross, so both give the same answer for every point.
#pragma once

#include "core/clones.hpp"
#include "core/rings.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk {
namespace polygon_inside {

// Batches up to this size are tested edge by edge: building the index costs
// about as much as testing every edge for a couple of hundred points.
constexpr std::ptrdiff_t kEdgeByEdgeMax = 128;

namespace {

// Whether the ray from (x, y) towards +x crosses edge (a, b), as the core
// decides it; evaluated without branching (the quotient of an edge that is
// not crossed is never looked at).
inline bool crosses(double xa, double ya, double xb, double yb, double x, double y) {
    return ((ya > y) != (yb > y)) & (x < (xb - xa) * (y - ya) / (yb - ya) + xa);
}

// Parity of the crossings with the edges between consecutive vertices of a
// C-contiguous ring. Counted in an integer, the loop vectorises.
ZELK_VECTOR_CLONES
bool odd_crossings_contiguous(const double* __restrict r, std::ptrdiff_t n, double x, double y) {
    std::int64_t count = 0;
    for (std::ptrdiff_t i = 0; i + 1 < n; ++i) {
        count += static_cast<std::int64_t>(
            crosses(r[2 * i], r[2 * i + 1], r[2 * i + 2], r[2 * i + 3], x, y));
    }
    return count & 1;
}

// Parity of the crossings with the ring's edges, the closing edge from the
// last vertex back to the first included.
bool odd_crossings(const core::PairsView& r, double x, double y) {
    if (r.n <= 0) return false;
    bool odd = false;
    // Rings are C-contiguous as the constructor builds them (and aligned, as
    // every view taken here is).
    if (r.row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
        r.col_stride_bytes == std::ptrdiff_t(sizeof(double))) {
        odd = odd_crossings_contiguous(reinterpret_cast<const double*>(r.data), r.n, x, y);
    } else {
        for (std::ptrdiff_t i = 0; i + 1 < r.n; ++i) {
            odd ^= crosses(r.x(i), r.y(i), r.x(i + 1), r.y(i + 1), x, y);
        }
    }
    return odd ^ crosses(r.x(r.n - 1), r.y(r.n - 1), r.x(0), r.y(0), x, y);
}

}  // namespace

// inside[j] exactly as core::points_in_rings gives it.
inline void points_in_rings(const core::PairsView& points, const core::PairsView& outer,
                            const core::PairsView* holes, std::size_t n_holes, bool* inside) {
    if (points.n > kEdgeByEdgeMax) {
        core::points_in_rings(points, outer, holes, n_holes, inside);
        return;
    }
    const bool outer_area = core::ring_has_area(outer);
    // Holes without area contain nothing and are left out, as the core does.
    std::vector<const core::PairsView*> with_area;
    for (std::size_t h = 0; outer_area && h < n_holes; ++h) {
        if (core::ring_has_area(holes[h])) with_area.push_back(&holes[h]);
    }
    for (std::ptrdiff_t j = 0; j < points.n; ++j) {
        const double x = points.x(j), y = points.y(j);
        bool in = outer_area && y == y && odd_crossings(outer, x, y);
        for (std::size_t h = 0; in && h < with_area.size(); ++h) {
            in = !odd_crossings(*with_area[h], x, y);
        }
        inside[j] = in;
    }
}

}  // namespace polygon_inside
}  // namespace zelk
