// The descents bound four children at once in GCC's vector types; the
// functions that pass them are inlined, so no call crosses an ABI edge.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include "core/segment_index.hpp"

#include "core/segment_keep.hpp"

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
using namespace segment_keep;

// Segments per leaf: enough for the leaf's forms to run as one vector loop,
// few enough that a leaf costs little more than its box.
constexpr std::uint32_t kLeaf = 8;

// From this many segments the nodes also get turned rectangles.
constexpr std::ptrdiff_t kStripMinSegments = 4096;

// A median split halves every range of leaves, so the depth stays below 32
// for any segment count the index accepts: the wide nodes take two levels
// at a time, and a descent keeps at most three deferred children per wide
// level, besides the four of the last: kStack holds them.
constexpr std::uint32_t kMaxSegments = std::uint32_t(1) << 31;

// From this many rows a query visits them in an order that keeps the nodes
// it reads in cache.
constexpr std::ptrdiff_t kSortRows = 1024;

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

// Whether segment b starts where segment a ends (its p1 at a's p1 + v, up to
// that sum's rounding), from the interleaved p1 and v. Only groups segments,
// so a wrong guess costs speed, never an answer.
bool joins(const double* p1, const double* v, std::ptrdiff_t a, std::ptrdiff_t b) {
    for (int c = 0; c < 2; ++c) {
        const double end = p1[2 * a + c] + v[2 * a + c], start = p1[2 * b + c];
        if (!(std::fabs(end - start) <= 0x1p-40 * (std::fabs(end) + std::fabs(start))))
            return false;
    }
    return true;
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

    // Runs of consecutive segments that join end to start (each piece of
    // outline), in the order of their boxes' centres along a Hilbert curve,
    // each run in its own order: halving a range of them then halves a
    // stretch of outline or a group of nearby pieces. Along an outline the
    // nodes stay thin where an order of the segments' own centres would mix
    // neighbouring stretches (a comb of long spikes), and cut fewer corners
    // of a smooth one.
    std::vector<std::uint32_t> run_start;
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        if (i == 0 || !joins(p1_.data(), v_.data(), i - 1, i)) {
            run_start.push_back(static_cast<std::uint32_t>(i));
        }
    }
    const std::size_t runs = run_start.size();
    run_start.push_back(static_cast<std::uint32_t>(n_));
    double clo[2] = {INFINITY, INFINITY}, chi[2] = {-INFINITY, -INFINITY};
    std::vector<double> centres(scratch_size(static_cast<std::ptrdiff_t>(runs), 2));
    for (std::size_t r = 0; r < runs; ++r) {
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (std::uint32_t i = run_start[r]; i < run_start[r + 1]; ++i) {
            for (int c = 0; c < 2; ++c) {
                lo[c] = std::min(lo[c], boxes[4 * std::size_t(i) + c]);
                hi[c] = std::max(hi[c], boxes[4 * std::size_t(i) + 2 + c]);
            }
        }
        for (int c = 0; c < 2; ++c) {
            const double m = 0.5 * lo[c] + 0.5 * hi[c];
            centres[2 * r + c] = m;
            clo[c] = std::min(clo[c], m);
            chi[c] = std::max(chi[c], m);
        }
    }
    double to_grid[2];
    for (int c = 0; c < 2; ++c) {
        const double span = chi[c] - clo[c];
        to_grid[c] = span > 0.0 && std::isfinite(65535.0 / span) ? 65535.0 / span : 0.0;
    }
    std::vector<std::uint64_t> keyed(runs);
    for (std::size_t r = 0; r < runs; ++r) {
        std::uint32_t cell[2];
        for (int c = 0; c < 2; ++c) {
            const double f = (centres[2 * r + c] - clo[c]) * to_grid[c];
            cell[c] = static_cast<std::uint32_t>(std::clamp(f, 0.0, 65535.0));
        }
        keyed[r] = std::uint64_t(hilbert_index(cell[0], cell[1])) << 32 | std::uint64_t(r);
    }
    std::sort(keyed.begin(), keyed.end());
    // Leaves of up to kLeaf segments: a long run is cut in whole leaves, and
    // short runs share a leaf while they fit.
    original_.resize(static_cast<std::size_t>(n_));
    std::vector<double> sorted_boxes(scratch_size(n_, 4));
    std::vector<Span> leaves;
    std::uint32_t k = 0;
    for (const std::uint64_t key : keyed) {
        const std::uint32_t r = static_cast<std::uint32_t>(key);
        const std::uint32_t first = run_start[r], count = run_start[r + 1] - first;
        if (leaves.empty() || leaves.back().second + count > kLeaf) leaves.push_back({k, 0});
        for (std::uint32_t i = first; i < first + count; ++i, ++k) {
            if (leaves.back().second == kLeaf) leaves.push_back({k, 0});
            ++leaves.back().second;
            original_[k] = i;
            std::copy_n(boxes.data() + 4 * std::size_t(i), 4, sorted_boxes.data() + 4 * k);
        }
    }
    nodes_.reserve(2 * leaves.size());
    nodes_.emplace_back();
    std::vector<Span> spans;
    spans.reserve(nodes_.capacity());
    build(0, 0, static_cast<std::uint32_t>(leaves.size()), leaves, sorted_boxes, spans);

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
    // enough levels of pieces along it to repay working them out, and a
    // rectangle is tested only where it is much thinner than the box:
    // elsewhere it would cost more than it prunes.
    std::vector<Strip> strips;
    if (n_ >= kStripMinSegments) {
        strips.resize(nodes_.size(), Strip::none());
        for (std::size_t id = 0; id < nodes_.size(); ++id) {
            const std::uint32_t first = spans[id].first, count = spans[id].second;
            const Strip st =
                Strip::around(2 * static_cast<std::ptrdiff_t>(count), [&](std::ptrdiff_t k) {
                    const std::ptrdiff_t at = first + k / 2;
                    const double x = cols_[at], y = cols_[n_ + at];
                    return k % 2 == 0 ? std::pair(x, y)
                                      : std::pair(x + cols_[2 * n_ + at], y + cols_[3 * n_ + at]);
                });
            const Node& node = nodes_[id];
            const double box = (node.hi[0] - node.lo[0]) * (node.hi[1] - node.lo[1]);
            if ((st.a_hi - st.a_lo) * (st.b_hi - st.b_lo) < 0.03125 * box) strips[id] = st;
        }
    }
    wide_.reserve(nodes_.size() / 3 + 1);
    build_wide(0, strips);
}

// The wide node over binary node `id`: its grandchildren, or its children
// where those are leaves (a lone leaf for a root that is one). Returns its
// position in wide_.
std::uint32_t SegmentIndex::build_wide(std::uint32_t id, const std::vector<Strip>& strips) {
    std::uint32_t slots[kWide];
    std::uint32_t n = 0;
    const Node& node = nodes_[id];
    if (node.count != 0) {
        slots[n++] = id;
    } else {
        for (const std::uint32_t child : {node.first, node.first + 1}) {
            const Node& c = nodes_[child];
            if (c.count != 0) {
                slots[n++] = child;
            } else {
                slots[n++] = c.first;
                slots[n++] = c.first + 1;
            }
        }
    }
    const std::uint32_t at = static_cast<std::uint32_t>(wide_.size());
    wide_.emplace_back();
    Wide w{};
    w.n = n;
    for (std::uint32_t k = 0; k < kWide; ++k) {
        // Empty lanes have an empty box; they are never read.
        const Node* c = k < n ? &nodes_[slots[k]] : nullptr;
        w.lo0[k] = c ? c->lo[0] : INFINITY;
        w.lo1[k] = c ? c->lo[1] : INFINITY;
        w.hi0[k] = c ? c->hi[0] : -INFINITY;
        w.hi1[k] = c ? c->hi[1] : -INFINITY;
        const Strip st = c && !strips.empty() ? strips[slots[k]] : Strip::none();
        w.c[k] = st.c, w.s[k] = st.s;
        w.a_lo[k] = st.a_lo, w.a_hi[k] = st.a_hi, w.b_lo[k] = st.b_lo, w.b_hi[k] = st.b_hi;
        if (c == nullptr) continue;
        if (c->count != 0) {
            w.ref[k] = c->first;
            w.count[k] = c->count;
        } else {
            w.ref[k] = build_wide(slots[k], strips);
            w.count[k] = 0;
        }
    }
    wide_[at] = w;
    return at;
}

// Fills node `id` over the leaves [first, first + count): a leaf when there
// is one, else two adjacent children splitting them in halves; a node's box
// is the union of its children's.
void SegmentIndex::build(std::uint32_t id, std::uint32_t first, std::uint32_t count,
                         const std::vector<Span>& leaves, const std::vector<double>& boxes,
                         std::vector<Span>& spans) {
    Node node{};
    if (spans.size() <= id) spans.resize(id + 1);
    const Span& last = leaves[first + count - 1];
    spans[id] = {leaves[first].first, last.first + last.second - leaves[first].first};
    if (count == 1) {
        const auto [from, segments] = leaves[first];
        node.lo[0] = node.lo[1] = INFINITY;
        node.hi[0] = node.hi[1] = -INFINITY;
        for (std::uint32_t k = from; k < from + segments; ++k) {
            const double* b = boxes.data() + 4 * std::size_t(k);
            for (int c = 0; c < 2; ++c) {
                node.lo[c] = std::min(node.lo[c], b[c]);
                node.hi[c] = std::max(node.hi[c], b[2 + c]);
            }
        }
        node.first = from;
        node.count = segments;
        nodes_[id] = node;
        return;
    }
    const std::uint32_t half = count / 2;
    const std::uint32_t children = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back();
    nodes_.emplace_back();
    build(children, first, half, leaves, boxes, spans);
    build(children + 1, first + half, count - half, leaves, boxes, spans);
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

// Four doubles as one vector (two halves on a machine without AVX).
using Lanes = double __attribute__((vector_size(4 * sizeof(double))));

ZELK_CLONE_INLINE Lanes lanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Each child's lower bound from its box, and the squared distance below
// which its turned rectangle lies, for point (x, y): all four lanes at once.
template <class Wide>
ZELK_CLONE_INLINE void child_bounds(const Wide& w, const MetricBound& bound, double x, double y,
                                    double query_scale, double* box, double* strip) {
    const Lanes zero = Lanes{} + 0.0;
    const Lanes g0 = larger(larger(lanes(w.lo0) - x, x - lanes(w.hi0)), zero);
    const Lanes g1 = larger(larger(lanes(w.lo1) - y, y - lanes(w.hi1)), zero);
    const Lanes b = bound.lower_bound_gaps(g0, g1);
    const Lanes d2 = strip_distance_sq_below(lanes(w.c), lanes(w.s), lanes(w.a_lo), lanes(w.a_hi),
                                             lanes(w.b_lo), lanes(w.b_hi), x, y, query_scale);
    std::memcpy(box, &b, sizeof b);
    std::memcpy(strip, &d2, sizeof d2);
}

// The descent for one point: nearest child first, a subtree skipped only when
// its bound is strictly above keep.limit(). `seed` (a reordered slot, or -1)
// is tried first: the previous point's answer, whose form for a neighbouring
// point is small, prunes most of the tree from the start. It is one of the
// candidates, computed as any other, and every subtree that could still hold
// a form at or below the limit is visited, so the answer is the same without
// it.
template <class Wide, class Keep>
ZELK_CLONE_INLINE void descend(const Wide* wide, double scale, const Reordered& s,
                               const MetricBound& bound, const Metric2& metric, double x, double y,
                               std::ptrdiff_t seed, Keep& keep) {
    const double query_scale = std::max({scale, std::fabs(x), std::fabs(y)});
    const double px[1] = {x};
    const double py[1] = {y};
    double t[kLeaf], q[kLeaf];
    if (seed >= 0) {
        forms(s, seed, 1, px, py, metric, t, q, 0);
        keep.offer(seed, q[0]);  // a NaN form seeds nothing
    }
    struct Entry {
        double bound;
        std::uint32_t ref, count;  // as in Wide: a leaf's segments, or a wide node
    };
    Entry stack[kStack];
    int depth = 0;
    stack[depth++] = {-INFINITY, 0, 0};
    while (depth > 0) {
        const Entry e = stack[--depth];
        if (e.bound > keep.limit()) continue;
        if (e.count != 0) {
            forms(s, e.ref, e.count, px, py, metric, t, q, 0);
            for (std::uint32_t k = 0; k < e.count; ++k) keep.offer(e.ref + k, q[k]);
            continue;
        }
        const Wide& w = wide[e.ref];
        double b[4], d2[4];
        child_bounds(w, bound, x, y, query_scale, b, d2);
        // The children that may still hold the answer, pushed farthest
        // first so that the nearest is taken next. A box within the best
        // may still lie wholly beyond it by its turned rectangle, and where
        // boxes overlap, as along a comb of spikes, the rectangle's bound is
        // also what tells the nearest child: it orders them as well as
        // prunes.
        const double best = keep.limit();
        // Sorted in place on the stack, the nearest on top.
        const int base = depth;
        for (std::uint32_t k = 0; k < w.n; ++k) {
            double bk = b[k];
            if (bk > best) continue;
            if (d2[k] > 0.0) {
                bk = std::max(bk, bound.lower_bound(d2[k], query_scale));
                if (bk > best) continue;
            }
            int at = depth++;
            for (; at > base && stack[at - 1].bound < bk; --at) stack[at] = stack[at - 1];
            stack[at] = {bk, w.ref[k], w.count[k]};
        }
    }
}

template <class Wide>
ZELK_CLONE_INLINE Found nearest_one(const Wide* wide, double scale, const Reordered& s,
                                    const std::uint32_t* original, const MetricBound& bound,
                                    const Metric2& metric, double x, double y,
                                    std::ptrdiff_t seed) {
    Nearest keep{original};
    descend(wide, scale, s, bound, metric, x, y, seed, keep);
    return {keep.at, keep.best};
}

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
            const Found found = nearest_one(wide_.data(), scale_, reordered, original_.data(),
                                            bound, metric, x, y, seed);
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
                                                    GroupHit* hits, int max_hits,
                                                    double cap) const {
    if (!indexed_ || groups_.empty() || !bound.usable() || !(scale_ <= bound.coord_limit()) ||
        !(std::fabs(x) <= bound.coord_limit() && std::fabs(y) <= bound.coord_limit())) {
        return -1;
    }
    const double query_scale = std::max({scale_, std::fabs(x), std::fabs(y)});
    Grouped keep{Nearest{original_.data()},      groups_.data(), bound.order_spread(),
                 (query_scale + 1.0) * 0x1p-960, hits,           max_hits};
    keep.lim = cap;
    descend(wide_.data(), scale_, Reordered{cols_.data(), n_}, bound, metric, x, y, seed, keep);
    if (keep.overflow) return -1;
    if (keep.nearest.at < 0) return cap < INFINITY ? kBeyondCap : -1;
    seed = keep.nearest.at;
    int kept = 0;
    for (int h = 0; h < keep.count; ++h) {
        if (hits[h].form <= keep.lim) hits[kept++] = hits[h];
    }
    return kept;
}

void SegmentIndex::offset(std::ptrdiff_t original, double x, double y, double* out) const {
    const Contiguous source{reinterpret_cast<const char*>(p1_.data()),
                            reinterpret_cast<const char*>(v_.data()),
                            reinterpret_cast<const char*>(vdv_.data())};
    write_offset(source, original, x, y, out);
}

}  // namespace zelk::core
