// What the segment index's searches keep of the forms they meet, shared by
// the descents (segment_index.cpp) and the tiles (segment_tiles.cpp).
#pragma once

#include "core/segment_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace zelk::core::segment_keep {

// Nodes a walk of the tree may defer (the depth stays below 32: see
// kMaxSegments in segment_index.cpp).
constexpr int kStack = 64;

// The reordered segments as the scan's accessor.
struct Reordered {
    const double* c;
    std::ptrdiff_t n;
    double p1x(std::ptrdiff_t i) const { return c[i]; }
    double p1y(std::ptrdiff_t i) const { return c[n + i]; }
    double vx(std::ptrdiff_t i) const { return c[2 * n + i]; }
    double vy(std::ptrdiff_t i) const { return c[3 * n + i]; }
    double vdv(std::ptrdiff_t i) const { return c[4 * n + i]; }
};

// What a descent keeps of the forms it meets, and the threshold it prunes
// by: a subtree is skipped only when its bound is strictly above limit().
// Nearest keeps the smallest form, the lowest original index among equal ones.
struct Nearest {
    const std::uint32_t* original;
    double best = std::numeric_limits<double>::infinity();
    std::uint32_t best_original = std::numeric_limits<std::uint32_t>::max();
    std::ptrdiff_t at = -1;

    double limit() const { return best; }
    // Returns whether the form became the best.
    bool offer(std::ptrdiff_t slot, double q) {
        const std::uint32_t o = original[slot];
        if (q < best || (q == best && o < best_original)) {
            best = q;
            best_original = o;
            at = slot;
            return true;
        }
        return false;
    }
};

// The window around a smallest form b: b + 4 r b + tiny.
inline double widened(double b, double spread, double tiny) {
    return b + b * (4.0 * spread) + tiny;
}

// Keeps, besides the nearest segment, each group's own nearest segment among
// those within widen(best): a group none of whose forms is that small
// cannot hold the smallest form in another evaluation order either.
struct Grouped {
    using Hit = SegmentIndex::GroupHit;
    Nearest nearest;
    const std::uint32_t* group;  // per slot
    double spread, tiny;
    Hit* hits;
    int max_hits;
    int count = 0;
    bool overflow = false;
    double lim = std::numeric_limits<double>::infinity();

    double widen(double b) const { return widened(b, spread, tiny); }
    double limit() const { return lim; }
    void offer(std::ptrdiff_t slot, double q) {
        if (!(q <= lim)) return;
        if (nearest.offer(slot, q)) lim = std::min(lim, widen(q));
        const std::uint32_t g = group[slot], o = nearest.original[slot];
        for (int h = 0; h < count; ++h) {
            Hit& hit = hits[h];
            if (hit.group != g) continue;
            if (q < hit.form || (q == hit.form && o < hit.original)) hit = {g, o, slot, q};
            return;
        }
        if (count == max_hits) {
            int kept = 0;
            for (int h = 0; h < count; ++h) {
                if (hits[h].form <= lim) hits[kept++] = hits[h];
            }
            count = kept;
            if (count == max_hits) {
                // Too many groups near the point: the caller takes another road.
                overflow = true;
                lim = -INFINITY;
                return;
            }
        }
        hits[count++] = {g, o, slot, q};
    }
};

}  // namespace zelk::core::segment_keep
