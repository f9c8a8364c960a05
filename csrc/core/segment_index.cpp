#include "core/segment_index.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/curve.hpp"
#include "core/metric_bound.hpp"
#include "core/segment_scan.hpp"
#include "core/strip_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>

namespace zelk::core {

namespace {

using namespace segment_scan;

// Segments per leaf: enough for the leaf's forms to run as one vector loop,
// few enough that a leaf costs little more than its box.
constexpr std::uint32_t kLeaf = 8;

// From this many segments the nodes also get turned rectangles.
constexpr std::ptrdiff_t kStripMinSegments = 4096;

// A median split halves every range, so the depth stays below 32 for any
// segment count the index accepts, and a descent keeps at most one
// deferred sibling per level.
constexpr std::uint32_t kMaxSegments = std::uint32_t(1) << 31;
constexpr int kStack = 64;

// From this many rows a query visits them in an order that keeps the nodes
// it reads in cache.
constexpr std::ptrdiff_t kSortRows = 1024;

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

// numpy.argmin of every segment's form for one point, over the index's copy
// of the source: the selection of the scan over every segment.
ZELK_VECTOR_CLONES
std::ptrdiff_t scan_all(const Contiguous s, std::ptrdiff_t n, double x, double y,
                        const Metric2 metric, double* __restrict t, double* __restrict q) {
    const double px[1] = {x};
    const double py[1] = {y};
    forms(s, 0, n, px, py, metric, t, q, 0);
    return argmin_first(q, n);
}

bool same_bytes(const double* copy, const char* data, std::ptrdiff_t n, std::ptrdiff_t per,
                std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) noexcept {
    constexpr std::ptrdiff_t kD = sizeof(double);
    if (row_stride == per * kD && (per == 1 || col_stride == kD)) {
        return std::memcmp(copy, data, static_cast<std::size_t>(n * per * kD)) == 0;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        for (std::ptrdiff_t c = 0; c < per; ++c) {
            if (std::memcmp(copy + i * per + c, data + i * row_stride + c * col_stride, kD) != 0)
                return false;
        }
    }
    return true;
}

}  // namespace

SegmentIndex::SegmentIndex(const PairsView& p1, const PairsView& v, const ValuesView& v_dot_v)
    : n_(p1.n < 0 ? 0 : p1.n),
      p1_(scratch_size(n_, 2)),
      v_(scratch_size(n_, 2)),
      vdv_(scratch_size(n_, 1)) {
    bool finite = true;
    double scale = 0.0;
    std::vector<double> boxes(scratch_size(n_, 4));
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        const double x = p1.x(i), y = p1.y(i), vx = v.x(i), vy = v.y(i), vdv = v_dot_v[i];
        p1_[2 * i] = x;
        p1_[2 * i + 1] = y;
        v_[2 * i] = vx;
        v_[2 * i + 1] = vy;
        vdv_[i] = vdv;
        // The box holds p1 and the computed end point; the bound allows for
        // the rounding of both and of the candidate points between them.
        const double ex = x + vx, ey = y + vy;
        finite = finite && std::isfinite(ex) && std::isfinite(ey) && std::isfinite(vx) &&
                 std::isfinite(vy) && std::isfinite(vdv) && vdv > 0.0;
        scale = std::max({scale, std::fabs(x), std::fabs(y), std::fabs(vx), std::fabs(vy),
                          std::fabs(ex), std::fabs(ey)});
        double* b = boxes.data() + 4 * i;
        b[0] = std::min(x, ex);
        b[1] = std::min(y, ey);
        b[2] = std::max(x, ex);
        b[3] = std::max(y, ey);
    }
    if (!finite || n_ == 0 || static_cast<std::uint64_t>(n_) >= kMaxSegments) return;
    indexed_ = true;
    scale_ = scale;

    // Segments in the order of their box centres along a Hilbert curve, so
    // that halving a range of them halves a region of the plane.
    double clo[2] = {INFINITY, INFINITY}, chi[2] = {-INFINITY, -INFINITY};
    std::vector<double> centres(scratch_size(n_, 2));
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        for (int c = 0; c < 2; ++c) {
            const double m = 0.5 * boxes[4 * i + c] + 0.5 * boxes[4 * i + 2 + c];
            centres[2 * i + c] = m;
            clo[c] = std::min(clo[c], m);
            chi[c] = std::max(chi[c], m);
        }
    }
    double to_grid[2];
    for (int c = 0; c < 2; ++c) {
        const double span = chi[c] - clo[c];
        to_grid[c] = span > 0.0 && std::isfinite(65535.0 / span) ? 65535.0 / span : 0.0;
    }
    std::vector<std::uint64_t> keyed(static_cast<std::size_t>(n_));
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        std::uint32_t cell[2];
        for (int c = 0; c < 2; ++c) {
            const double f = (centres[2 * i + c] - clo[c]) * to_grid[c];
            cell[c] = static_cast<std::uint32_t>(std::clamp(f, 0.0, 65535.0));
        }
        keyed[i] = std::uint64_t(hilbert_index(cell[0], cell[1])) << 32 | std::uint64_t(i);
    }
    std::sort(keyed.begin(), keyed.end());
    original_.resize(static_cast<std::size_t>(n_));
    std::vector<double> sorted_boxes(scratch_size(n_, 4));
    for (std::ptrdiff_t k = 0; k < n_; ++k) {
        const std::uint32_t i = static_cast<std::uint32_t>(keyed[k]);
        original_[k] = i;
        std::copy_n(boxes.data() + 4 * std::size_t(i), 4, sorted_boxes.data() + 4 * k);
    }
    nodes_.reserve(static_cast<std::size_t>(n_ / 4 + 2));
    nodes_.emplace_back();
    std::vector<Span> spans;
    spans.reserve(nodes_.capacity());
    build(0, 0, static_cast<std::uint32_t>(n_), sorted_boxes, spans);

    cols_.resize(scratch_size(n_, 5));
    for (std::ptrdiff_t k = 0; k < n_; ++k) {
        const std::ptrdiff_t i = original_[k];
        cols_[k] = p1_[2 * i];
        cols_[n_ + k] = p1_[2 * i + 1];
        cols_[2 * n_ + k] = v_[2 * i];
        cols_[3 * n_ + k] = v_[2 * i + 1];
        cols_[4 * n_ + k] = vdv_[i];
    }
    // Each node's turned rectangle, over its segments' end points as the
    // boxes take them (p1 and the computed p1 + v). Only a long outline has
    // enough levels of pieces along it to repay working them out (nodes are
    // built with thin = false).
    if (n_ < kStripMinSegments) return;
    strips_.resize(nodes_.size());
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
        const std::uint32_t first = spans[id].first, count = spans[id].second;
        strips_[id] = Strip::around(2 * static_cast<std::ptrdiff_t>(count), [&](std::ptrdiff_t k) {
            const std::ptrdiff_t at = first + k / 2;
            const double x = cols_[at], y = cols_[n_ + at];
            return k % 2 == 0 ? std::pair(x, y)
                              : std::pair(x + cols_[2 * n_ + at], y + cols_[3 * n_ + at]);
        });
        // Tested only where it is much thinner than the box: elsewhere it
        // would cost more than it prunes.
        const Strip& st = strips_[id];
        Node& node = nodes_[id];
        const double box = (node.hi[0] - node.lo[0]) * (node.hi[1] - node.lo[1]);
        node.thin = (st.a_hi - st.a_lo) * (st.b_hi - st.b_lo) < 0.03125 * box;
    }
}

// Fills node `id` over the segments [first, first + count) of leaf order:
// a leaf when they fit, else two adjacent children splitting them in halves
// of whole leaves; a node's box is the union of its children's.
void SegmentIndex::build(std::uint32_t id, std::uint32_t first, std::uint32_t count,
                         const std::vector<double>& boxes, std::vector<Span>& spans) {
    Node node{};
    if (spans.size() <= id) spans.resize(id + 1);
    spans[id] = {first, count};
    if (count <= kLeaf) {
        node.lo[0] = node.lo[1] = INFINITY;
        node.hi[0] = node.hi[1] = -INFINITY;
        for (std::uint32_t k = first; k < first + count; ++k) {
            const double* b = boxes.data() + 4 * std::size_t(k);
            for (int c = 0; c < 2; ++c) {
                node.lo[c] = std::min(node.lo[c], b[c]);
                node.hi[c] = std::max(node.hi[c], b[2 + c]);
            }
        }
        node.first = first;
        node.count = count;
        nodes_[id] = node;
        return;
    }
    const std::uint32_t leaves = (count + kLeaf - 1) / kLeaf;
    const std::uint32_t half = leaves / 2 * kLeaf;
    const std::uint32_t children = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back();
    nodes_.emplace_back();
    build(children, first, half, boxes, spans);
    build(children + 1, first + half, count - half, boxes, spans);
    const Node& a = nodes_[children];
    const Node& b = nodes_[children + 1];
    for (int c = 0; c < 2; ++c) {
        node.lo[c] = std::min(a.lo[c], b.lo[c]);
        node.hi[c] = std::max(a.hi[c], b.hi[c]);
    }
    node.first = children;
    node.count = 0;
    nodes_[id] = node;
}

bool SegmentIndex::same_source(const PairsView& p1, const PairsView& v,
                               const ValuesView& v_dot_v) const noexcept {
    if (p1.n != n_ || v.n < n_ || v_dot_v.n < n_) return false;
    return same_bytes(p1_.data(), p1.data, n_, 2, p1.row_stride_bytes, p1.col_stride_bytes) &&
           same_bytes(v_.data(), v.data, n_, 2, v.row_stride_bytes, v.col_stride_bytes) &&
           same_bytes(vdv_.data(), v_dot_v.data, n_, 1, v_dot_v.stride_bytes, 0);
}

bool SegmentIndex::prunes(const Metric2& metric) const noexcept {
    if (!indexed_) return false;
    const MetricBound bound(metric);
    return bound.usable() && scale_ <= bound.coord_limit();
}

void SegmentIndex::nearest_offsets(const PairsView& points, const Metric2& metric,
                                   std::ptrdiff_t begin, std::ptrdiff_t end, double* out) const {
    query(points, metric, begin, end, nullptr, nullptr, out);
}

void SegmentIndex::nearest(const PairsView& points, const Metric2& metric, std::ptrdiff_t begin,
                           std::ptrdiff_t end, std::ptrdiff_t* chosen, double* form,
                           double* offsets) const {
    query(points, metric, begin, end, chosen, form, offsets);
}

namespace {

struct Found {
    std::ptrdiff_t at;  // position in leaf order
    double form;
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

// The descent for one point: nearest box first, a subtree skipped only when
// the bound of its box is strictly above keep.limit(). `seed` (a reordered slot, or
// -1) is tried first: the previous point's answer, whose form for a
// neighbouring point is small, prunes most of the tree from the start. It is
// one of the candidates, computed as any other, and every subtree that could
// still hold a form at or below the limit is visited, so the answer is the same without it.
template <class Node, class Keep>
ZELK_CLONE_INLINE void descend(const Node* nodes, const Strip* strips, double scale,
                               const Reordered& s, const MetricBound& bound, const Metric2& metric,
                               double x, double y, std::ptrdiff_t seed, Keep& keep) {
    const double query_scale = std::max({scale, std::fabs(x), std::fabs(y)});
    const double px[1] = {x};
    const double py[1] = {y};
    double t[kLeaf], q[kLeaf];
    if (seed >= 0) {
        forms(s, seed, 1, px, py, metric, t, q, 0);
        keep.offer(seed, q[0]);  // a NaN form seeds nothing
    }
    double reach_of = std::numeric_limits<double>::quiet_NaN(), reach = 0.0;
    std::uint32_t stack_node[kStack];
    double stack_bound[kStack];
    int depth = 0;
    std::uint32_t id = 0;
    for (;;) {
        const Node& node = nodes[id];
        if (node.count != 0) {
            forms(s, node.first, node.count, px, py, metric, t, q, 0);
            for (std::uint32_t k = 0; k < node.count; ++k) keep.offer(node.first + k, q[k]);
        } else {
            const double best = keep.limit();
            std::uint32_t near = node.first, far = node.first + 1;
            double g[4];
            box_gaps(x, y, nodes[near].lo, nodes[near].hi, g[0], g[1]);
            box_gaps(x, y, nodes[far].lo, nodes[far].hi, g[2], g[3]);
            // A box within the best may still lie wholly beyond it by its
            // turned rectangle. The bound is worked out only past a squared
            // distance below which it cannot exceed the best (a filter:
            // whatever it lets through is decided by the bound itself).
            const auto tighter = [&](std::uint32_t child, double& b) {
                if (b > best || !nodes[child].thin) return;
                if (best != reach_of) {
                    reach_of = best;
                    reach = bound.reach_sq(best, query_scale);
                }
                const double d2 = strips[child].distance_sq_below(x, y, query_scale);
                if (d2 > reach) b = std::max(b, bound.lower_bound(d2, query_scale));
            };
            double bn = bound.lower_bound_gaps(g[0], g[1]);
            double bf = bound.lower_bound_gaps(g[2], g[3]);
            tighter(near, bn);
            tighter(far, bf);
            if (bf < bn) {
                std::swap(near, far);
                std::swap(bn, bf);
            }
            if (!(bn > best)) {
                if (!(bf > best)) {
                    stack_node[depth] = far;
                    stack_bound[depth++] = bf;
                }
                id = near;
                continue;
            }
        }
        // The next deferred subtree that can still hold the answer.
        const double best = keep.limit();
        while (depth > 0 && stack_bound[depth - 1] > best) --depth;
        if (depth == 0) break;
        id = stack_node[--depth];
    }
}

template <class Node>
ZELK_CLONE_INLINE Found nearest_one(const Node* nodes, const Strip* strips, double scale,
                                    const Reordered& s, const std::uint32_t* original,
                                    const MetricBound& bound, const Metric2& metric, double x,
                                    double y, std::ptrdiff_t seed) {
    Nearest keep{original};
    descend(nodes, strips, scale, s, bound, metric, x, y, seed, keep);
    return {keep.at, keep.best};
}

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

}  // namespace

ZELK_VECTOR_CLONES void SegmentIndex::query(const PairsView& points, const Metric2& metric,
                                            std::ptrdiff_t begin, std::ptrdiff_t end,
                                            std::ptrdiff_t* chosen, double* form,
                                            double* offsets) const {
    if (begin >= end) return;
    if (n_ == 0) {
        for (std::ptrdiff_t j = begin; j < end; ++j) {
            if (chosen) chosen[j] = -1;
            if (form) form[j] = std::numeric_limits<double>::quiet_NaN();
        }
        if (offsets) no_candidate(offsets + 2 * begin, end - begin);
        return;
    }
    const MetricBound bound(metric);
    const bool prune = indexed_ && bound.usable() && scale_ <= bound.coord_limit();
    const double limit = prune ? bound.coord_limit() : 0.0;
    const Contiguous source{reinterpret_cast<const char*>(p1_.data()),
                            reinterpret_cast<const char*>(v_.data()),
                            reinterpret_cast<const char*>(vdv_.data())};
    const Reordered reordered{cols_.data(), n_};
    std::vector<double> scratch;  // for points that scan every segment
    const std::vector<std::ptrdiff_t> order = prune && end - begin >= kSortRows
                                                  ? cell_order(points, begin, end)
                                                  : std::vector<std::ptrdiff_t>();
    std::ptrdiff_t seed = -1;  // the previous descent's answer, a reordered slot
    for (std::ptrdiff_t r = begin; r < end; ++r) {
        const std::ptrdiff_t j = order.empty() ? r : order[r - begin];
        const double x = points.x(j), y = points.y(j);
        std::ptrdiff_t i;
        double f;
        // Not finite or too large: NaN rule and overflow stay with the scan.
        if (prune && std::fabs(x) <= limit && std::fabs(y) <= limit) {
            const Found found = nearest_one(nodes_.data(), strips_.data(), scale_, reordered,
                                            original_.data(), bound, metric, x, y, seed);
            seed = found.at;
            i = original_[found.at];
            f = found.form;
        } else {
            if (scratch.empty()) scratch.resize(scratch_size(n_, 2));
            double* q = scratch.data() + n_;
            i = scan_all(source, n_, x, y, metric, scratch.data(), q);
            f = q[i];
        }
        if (chosen) chosen[j] = i;
        if (form) form[j] = f;
        if (offsets) write_offset(source, i, x, y, offsets + 2 * j);
    }
}

void SegmentIndex::set_groups(const std::uint32_t* group_of) {
    groups_.resize(original_.size());
    for (std::size_t k = 0; k < original_.size(); ++k) groups_[k] = group_of[original_[k]];
}

ZELK_VECTOR_CLONES int SegmentIndex::nearest_groups(double x, double y, const Metric2& metric,
                                                    const MetricBound& bound, std::ptrdiff_t& seed,
                                                    GroupHit* hits, int max_hits) const {
    if (!indexed_ || groups_.empty() || !bound.usable() || !(scale_ <= bound.coord_limit()) ||
        !(std::fabs(x) <= bound.coord_limit() && std::fabs(y) <= bound.coord_limit())) {
        return -1;
    }
    const double query_scale = std::max({scale_, std::fabs(x), std::fabs(y)});
    Grouped keep{Nearest{original_.data()},      groups_.data(), bound.order_spread(),
                 (query_scale + 1.0) * 0x1p-960, hits,           max_hits};
    descend(nodes_.data(), strips_.data(), scale_, Reordered{cols_.data(), n_}, bound, metric, x, y,
            seed, keep);
    if (keep.overflow) return -1;
    if (keep.nearest.at < 0) return -1;
    seed = keep.nearest.at;
    int kept = 0;
    for (int h = 0; h < keep.count; ++h) {
        if (hits[h].form <= keep.lim) hits[kept++] = hits[h];
    }
    return kept;
}

namespace {

// Segments a tile's descent may gather before its points descend one by one.
constexpr std::size_t kTileSegments = 128;

}  // namespace

void SegmentIndex::nearest_groups_tile(const double* xs, const double* ys, int k,
                                       const Metric2& metric, const MetricBound& bound,
                                       std::ptrdiff_t& seed, GroupHit* hits, int max_hits,
                                       int* found) const {
    const auto one_by_one = [&](int from) {
        for (int j = from; j < k; ++j) {
            found[j] =
                nearest_groups(xs[j], ys[j], metric, bound, seed, hits + j * max_hits, max_hits);
        }
    };
    if (!indexed_ || groups_.empty() || !bound.usable() || !(scale_ <= bound.coord_limit()) ||
        k < 2) {
        return one_by_one(0);
    }
    const double limit = bound.coord_limit();
    double lo[2] = {xs[0], ys[0]}, hi[2] = {xs[0], ys[0]};
    for (int j = 0; j < k; ++j) {
        if (!(std::fabs(xs[j]) <= limit && std::fabs(ys[j]) <= limit)) return one_by_one(0);
        lo[0] = std::min(lo[0], xs[j]), hi[0] = std::max(hi[0], xs[j]);
        lo[1] = std::min(lo[1], ys[j]), hi[1] = std::max(hi[1], ys[j]);
    }
    if (seed < 0 || !share(xs, ys, 0, k, lo, hi, metric, bound, seed, hits, max_hits, found)) {
        // The previous answer is too far to bound the tile: the first point's
        // own answer bounds it better.
        found[0] = nearest_groups(xs[0], ys[0], metric, bound, seed, hits, max_hits);
        if (found[0] < 0 ||
            !share(xs, ys, 1, k, lo, hi, metric, bound, seed, hits, max_hits, found)) {
            one_by_one(1);
        }
    }
}

ZELK_VECTOR_CLONES bool SegmentIndex::share(const double* xs, const double* ys, int from, int k,
                                            const double lo[2], const double hi[2],
                                            const Metric2& metric, const MetricBound& bound,
                                            std::ptrdiff_t& seed, GroupHit* hits, int max_hits,
                                            int* found) const {
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
    // Every segment whose box may hold a form within that limit for some
    // point of the tile (the gaps between the boxes are at most each
    // point's), found through the leaves that may, and packed in increasing
    // order of that bound: each point computes the forms of the prefix its
    // own limit leaves, in one loop.
    std::pair<double, std::uint32_t> near[kTileSegments];
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
            if (b <= tile_limit) near[count++] = {b, i};
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
        const std::uint32_t at = near[i].second;
        packed.c[0][i] = s.p1x(at), packed.c[1][i] = s.p1y(at);
        packed.c[2][i] = s.vx(at), packed.c[3][i] = s.vy(at), packed.c[4][i] = s.vdv(at);
    }
    std::ptrdiff_t previous = first;
    double t[kTileSegments], q[kTileSegments];
    for (int j = from; j < k; ++j) {
        const double x = xs[j], y = ys[j];
        Grouped keep{Nearest{original_.data()}, groups_.data(), bound.order_spread(), tiny[j],
                     hits + j * max_hits,       max_hits};
        keep.offer(first, seed_form[j]);
        const double px[1] = {x}, py[1] = {y};
        if (previous != first) {
            forms(s, previous, 1, px, py, metric, t, q, 0);
            keep.offer(previous, q[0]);
        }
        std::size_t m = 0;
        while (m < count && !(near[m].first > keep.limit())) ++m;
        forms(packed, 0, static_cast<std::ptrdiff_t>(m), px, py, metric, t, q, 0);
        for (std::size_t i = 0; i < m; ++i) keep.offer(near[i].second, q[i]);
        if (keep.overflow || keep.nearest.at < 0) {
            found[j] = -1;
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

void SegmentIndex::offset(std::ptrdiff_t original, double x, double y, double* out) const {
    const Contiguous source{reinterpret_cast<const char*>(p1_.data()),
                            reinterpret_cast<const char*>(v_.data()),
                            reinterpret_cast<const char*>(vdv_.data())};
    write_offset(source, original, x, y, out);
}

}  // namespace zelk::core
