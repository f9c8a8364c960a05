// Point-in-polygon by the even-odd (crossing-number) rule.
//
// A ring is its vertices in order plus the edge from the last vertex back to
// the first (a zero-length edge when the ring is given closed). A ring with
// fewer than three distinct vertices contains nothing. A point counts as
// inside a ring when a ray from it towards +x crosses an odd number of the
// ring's edges, edge (a, b) being crossed when
//   (a.y > y) != (b.y > y)  and  x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x
// evaluated in that order without fused multiply-add. Points on an edge fall
// either way, but always the same way for the same point and ring.
#pragma once

#include "core/views.hpp"

#include <cstddef>

namespace zelk::core {

// inside[j] = point j is inside `outer` and inside none of `holes`.
// Each point is tested only against the edges of a horizontal strip that
// covers it, which gives exactly the answer of testing every edge.
// Throws std::bad_alloc only.
void points_in_rings(const PairsView& points, const PairsView& outer, const PairsView* holes,
                     std::size_t n_holes, bool* inside);

// Whether the ring has at least three distinct vertices (NaN counts as
// distinct from everything; rows broadcast with a zero row stride are one
// vertex).
bool ring_has_area(const PairsView& ring) noexcept;

}  // namespace zelk::core
