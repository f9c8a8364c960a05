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
#include <memory>

namespace zelk::core {

// Up to this many points, testing every edge in place costs less than
// building the index. Where the two cost the same lies between 40 and 150
// points, lower where a horizontal line meets few edges.
constexpr std::ptrdiff_t kRingEdgeByEdgeMax = 48;

// inside[j] = point j is inside `outer` and inside none of `holes`.
// Each point is tested only against the edges of a horizontal strip that
// covers it, which gives exactly the answer of testing every edge.
// Throws std::bad_alloc only.
void points_in_rings(const PairsView& points, const PairsView& outer, const PairsView* holes,
                     std::size_t n_holes, bool* inside);

// The index points_in_rings() builds for one call, built once and kept:
// contains() gives points_in_rings()'s answer for rows [begin, end) of
// points (inside[j] for row j). It copies the rings, reads nothing of the
// caller's afterwards, and its queries are const, so threads may share it;
// same_source() tells whether arrays still hold, byte for byte, the rings it
// was built from. Throws std::bad_alloc only.
class RingIndex {
  public:
    // With `first_batch` >= 0 the crossing tree is built only when a batch of
    // that many points repays it, as points_in_rings() decides; else
    // whenever the strips are dense.
    RingIndex(const PairsView& outer, const PairsView* holes, std::size_t n_holes,
              std::ptrdiff_t first_batch = -1);
    ~RingIndex();
    RingIndex(const RingIndex&) = delete;
    RingIndex& operator=(const RingIndex&) = delete;

    bool same_source(const PairsView& outer, const PairsView* holes,
                     std::size_t n_holes) const noexcept;
    void contains(const PairsView& points, std::ptrdiff_t begin, std::ptrdiff_t end,
                  bool* inside) const;
    // Counts a batch of `batch` points about to be tested; true when the
    // tree left out so far would have repaid its build by now, so that an
    // index built without a bound (first_batch < 0) should replace this one.
    // Not for concurrent callers.
    bool tree_would_pay(std::ptrdiff_t batch) const noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whether the ring has at least three distinct vertices (NaN counts as
// distinct from everything; rows broadcast with a zero row stride are one
// vertex).
bool ring_has_area(const PairsView& ring) noexcept;

}  // namespace zelk::core
