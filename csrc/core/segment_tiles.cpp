// SegmentIndex::nearest_groups_tile(): neighbouring points share one walk of
// the tree, each then computing only the forms its own bound leaves.
#include "core/segment_index.hpp"

#include "core/clones.hpp"
#include "core/metric_bound.hpp"
#include "core/segment_keep.hpp"
#include "core/segment_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace zelk::core {

using namespace segment_scan;
using namespace segment_keep;

namespace {

// Segments a tile's descent may gather before its points descend one by one.
constexpr std::size_t kTileSegments = 128;

}  // namespace

void SegmentIndex::nearest_groups_tile(const double* xs, const double* ys, int k,
                                       const Metric2& metric, const MetricBound& bound,
                                       TileState& state, GroupHit* hits, int max_hits, int* found,
                                       double cap) const {
    std::ptrdiff_t& seed = state.seed;
    const auto one_by_one = [&](int from) {
        for (int j = from; j < k; ++j) {
            found[j] = nearest_groups(xs[j], ys[j], metric, bound, seed, hits + j * max_hits,
                                      max_hits, cap);
        }
    };
    if (!indexed_ || groups_.empty() || !bound.usable() || !(scale_ <= bound.coord_limit()) ||
        k < 2) {
        return one_by_one(0);
    }
    // Scattered points make tiles that seldom share: after a miss, the next
    // 1, 3, then 7 tiles go point by point before sharing is tried again.
    if (state.skip > 0) {
        --state.skip;
        return one_by_one(0);
    }
    const double limit = bound.coord_limit();
    double lo[2] = {xs[0], ys[0]}, hi[2] = {xs[0], ys[0]};
    for (int j = 0; j < k; ++j) {
        if (!(std::fabs(xs[j]) <= limit && std::fabs(ys[j]) <= limit)) return one_by_one(0);
        lo[0] = std::min(lo[0], xs[j]), hi[0] = std::max(hi[0], xs[j]);
        lo[1] = std::min(lo[1], ys[j]), hi[1] = std::max(hi[1], ys[j]);
    }
    if (seed >= 0 && share(xs, ys, 0, k, lo, hi, metric, bound, seed, hits, max_hits, found, cap)) {
        state.misses = 0;
        return;
    }
    // The previous answer is too far to bound the tile: the first point's
    // own answer bounds it better.
    found[0] = nearest_groups(xs[0], ys[0], metric, bound, seed, hits, max_hits, cap);
    if (found[0] >= 0 &&
        share(xs, ys, 1, k, lo, hi, metric, bound, seed, hits, max_hits, found, cap)) {
        state.misses = 0;
        return;
    }
    one_by_one(1);
    state.misses = std::min(state.misses + 1, 3);
    state.skip = (1 << state.misses) - 1;
}

ZELK_VECTOR_CLONES bool SegmentIndex::share(const double* xs, const double* ys, int from, int k,
                                            const double lo[2], const double hi[2],
                                            const Metric2& metric, const MetricBound& bound,
                                            std::ptrdiff_t& seed, GroupHit* hits, int max_hits,
                                            int* found, double cap) const {
    // The seed's form for each point bounds that point's best; widened as
    // the point's window would be, the largest bounds the tile.
    const Reordered s{cols_.data(), n_};
    const std::ptrdiff_t first = seed;
    double tile_limit = -INFINITY;
    double seed_form[kTile], tiny[kTile];
    for (int j = from; j < k; ++j) {
        const double px[1] = {xs[j]}, py[1] = {ys[j]};
        double t[1], q[1];
        forms(s, first, 1, px, py, metric, t, q, 0);
        seed_form[j] = q[0];
        tiny[j] = (std::max({scale_, std::fabs(xs[j]), std::fabs(ys[j])}) + 1.0) * 0x1p-960;
        tile_limit = std::max(tile_limit, widened(q[0], bound.order_spread(), tiny[j]));
    }
    tile_limit = std::min(tile_limit, cap);
    // Every segment whose box may hold a form within that limit for some
    // point of the tile (the gaps between the boxes are at most each
    // point's), found through the leaves that may, and packed in increasing
    // order of that bound: each point computes the forms of the prefix its
    // own limit leaves, in one loop.
    // Plain members, not std::pair: the array is filled as it goes, and a
    // pair's constructor would first zero all of it on every tile.
    struct Near {
        double bound;
        std::uint32_t slot;
        bool operator<(const Near& o) const {
            return bound < o.bound || (bound == o.bound && slot < o.slot);
        }
    };
    Near near[kTileSegments];
    std::size_t count = 0;
    std::uint32_t stack[kStack];
    int depth = 0;
    stack[depth++] = 0;
    const auto gap_bound = [&](const double* blo, const double* bhi) {
        const double g0 = std::max({blo[0] - hi[0], lo[0] - bhi[0], 0.0});
        const double g1 = std::max({blo[1] - hi[1], lo[1] - bhi[1], 0.0});
        return bound.lower_bound_gaps(g0, g1);
    };
    while (depth > 0) {
        const Node& node = nodes_[stack[--depth]];
        if (gap_bound(node.lo, node.hi) > tile_limit) continue;
        if (node.count == 0) {
            stack[depth++] = node.first + 1;
            stack[depth++] = node.first;
            continue;
        }
        // Too spread out to share.
        if (count + node.count > kTileSegments) return false;
        for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
            const double x0 = s.p1x(i), y0 = s.p1y(i), x1 = x0 + s.vx(i), y1 = y0 + s.vy(i);
            const double blo[2] = {std::min(x0, x1), std::min(y0, y1)};
            const double bhi[2] = {std::max(x0, x1), std::max(y0, y1)};
            const double b = gap_bound(blo, bhi);
            if (b <= tile_limit) near[count++] = Near{b, i};
        }
    }
    std::sort(near, near + count);
    struct Packed {
        double c[5][kTileSegments];
        double p1x(std::ptrdiff_t i) const { return c[0][i]; }
        double p1y(std::ptrdiff_t i) const { return c[1][i]; }
        double vx(std::ptrdiff_t i) const { return c[2][i]; }
        double vy(std::ptrdiff_t i) const { return c[3][i]; }
        double vdv(std::ptrdiff_t i) const { return c[4][i]; }
    } packed;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t at = near[i].slot;
        packed.c[0][i] = s.p1x(at), packed.c[1][i] = s.p1y(at);
        packed.c[2][i] = s.vx(at), packed.c[3][i] = s.vy(at), packed.c[4][i] = s.vdv(at);
    }
    std::ptrdiff_t previous = first;
    double t[kTileSegments], q[kTileSegments];
    for (int j = from; j < k; ++j) {
        const double x = xs[j], y = ys[j];
        Grouped keep{Nearest{original_.data()}, groups_.data(), bound.order_spread(), tiny[j],
                     hits + j * max_hits,       max_hits};
        keep.lim = cap;
        keep.offer(first, seed_form[j]);
        const double px[1] = {x}, py[1] = {y};
        if (previous != first) {
            forms(s, previous, 1, px, py, metric, t, q, 0);
            keep.offer(previous, q[0]);
        }
        // The prefix whose bounds are within the limit (NaN-free: finite
        // segments and points).
        const double within = keep.limit();
        const std::size_t m = static_cast<std::size_t>(
            std::upper_bound(near, near + count, within,
                             [](double b, const Near& e) { return b < e.bound; }) -
            near);
        forms(packed, 0, static_cast<std::ptrdiff_t>(m), px, py, metric, t, q, 0);
        for (std::size_t i = 0; i < m; ++i) keep.offer(near[i].slot, q[i]);
        if (keep.overflow || keep.nearest.at < 0) {
            found[j] = !keep.overflow && cap < INFINITY ? kBeyondCap : -1;
            continue;
        }
        int kept = 0;
        for (int h = 0; h < keep.count; ++h) {
            if (keep.hits[h].form <= keep.lim) keep.hits[kept++] = keep.hits[h];
        }
        found[j] = kept;
        previous = seed = keep.nearest.at;
    }
    return true;
}

}  // namespace zelk::core
