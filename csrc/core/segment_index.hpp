// A static bounding-volume hierarchy over line segments that answers the
// nearest-segment selection of core/segments.hpp without testing every
// segment, with the same answer bit for bit:
// - each visited segment's form is computed by the same inline code as the
//   scan over every segment (core/segment_scan.hpp), in row order;
// - among equal forms the lowest original index wins;
// - a node is skipped only when a rounding-safe lower bound of every form in
//   it (core/metric_bound.hpp, from its box or, for a long index, from its
//   turned rectangle, core/strip_bound.hpp) is strictly greater than the best
//   form so far.
// Where that bound says nothing, the query scans every segment as the plain
// selection does: a metric that is not positive definite with room to spare,
// segment data that is not finite or has a v_dot_v of 0 or less (so NaN forms
// and numpy.argmin's NaN rule stay with the scan), and query points that are
// not finite or so large that a form could overflow.
//
// Layout: a flat array of binary nodes (box, then either two adjacent
// children or a leaf range), and the same tree two levels to a node for the
// descents (with turned rectangles), over an own copy of the segments
// reordered in runs of joined outline, the runs along a Hilbert curve
// through their boxes' centres, split in halves: O(S log S) to build.
//
// The index owns copies of everything it reads: a built index may be queried
// from several threads at once (every query is const and uses only its own
// scratch) while the arrays it was built from change or go away. It also
// keeps the source arrays as given, so that a cached index can be checked
// against the arrays it would stand for with same_source().
#pragma once

#include "core/metric_bound.hpp"
#include "core/strip_bound.hpp"
#include "core/views.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zelk::core {

class SegmentIndex {
  public:
    // The index of the S = p1.n segments (start p1[i], vector v[i], squared
    // length v_dot_v[i]; v and v_dot_v hold at least S rows).
    // Throws std::bad_alloc only.
    SegmentIndex(const PairsView& p1, const PairsView& v, const ValuesView& v_dot_v);

    std::ptrdiff_t size() const noexcept { return n_; }

    // Whether the three arrays hold S rows whose bytes equal, value by value,
    // those the index was built from (a NaN equals only the same NaN bits).
    bool same_source(const PairsView& p1, const PairsView& v,
                     const ValuesView& v_dot_v) const noexcept;

    // The index's copy of the source arrays, C-contiguous, original order.
    PairsView p1() const noexcept { return PairsView::contiguous(p1_.data(), n_); }
    PairsView v() const noexcept { return PairsView::contiguous(v_.data(), n_); }
    ValuesView v_dot_v() const noexcept { return ValuesView::contiguous(vdv_.data(), n_); }

    // Whether a query under this metric can skip segments at all; when not,
    // every query point scans all segments.
    bool prunes(const Metric2& metric) const noexcept;

    // For each row j in [begin, end) of points, out[2j], out[2j+1] = the
    // offset w that nearest_segment_offsets() writes for that row. out is the
    // caller's whole C-contiguous (points.n, 2) result, so that threads can
    // fill disjoint row ranges of one array. Throws std::bad_alloc only.
    void nearest_offsets(const PairsView& points, const Metric2& metric, std::ptrdiff_t begin,
                         std::ptrdiff_t end, double* out) const;

    // The same choice, with more detail for row j in [begin, end):
    // chosen[j] = the chosen segment's original index and form[j] = its
    // computed form (-1 and NaN with no segment); offsets, when not null, as
    // `out` above. Throws std::bad_alloc only.
    void nearest(const PairsView& points, const Metric2& metric, std::ptrdiff_t begin,
                 std::ptrdiff_t end, std::ptrdiff_t* chosen, double* form, double* offsets) const;

    // Tags segment i (original order) with group_of[i], for nearest_groups().
    // Throws std::bad_alloc only.
    void set_groups(const std::uint32_t* group_of);

    // A group's own nearest segment: its original index and leaf-order slot.
    struct GroupHit {
        std::uint32_t group, original;
        std::ptrdiff_t slot;
        double form;
    };

    // For one point, with `bound` the MetricBound of `metric`: let b be the
    // smallest form of any segment. Writes to hits, for every group that has a
    // segment whose form is at most b + 4 r b + tiny (r the bound's
    // order_spread(), tiny = (C + 1) 2^-960 with C the larger of the index's
    // and the point's coordinate magnitudes), that group's smallest form and
    // its segment of the lowest original index; returns their number. Any
    // group left out thus has every form above that window, in any
    // evaluation order of its offset. -1 when the index cannot prune for
    // this point (see the header) or more than max_hits groups fall in the
    // window. `seed` (a slot, or -1) is tried first and is set to the
    // nearest segment's slot. With a finite `cap` only forms at or below it
    // are looked for, and the window is cut at it: kBeyondCap when no
    // segment's form is that small.
    int nearest_groups(double x, double y, const Metric2& metric, const MetricBound& bound,
                       std::ptrdiff_t& seed, GroupHit* hits, int max_hits,
                       double cap = INFINITY) const;
    static constexpr int kBeyondCap = -2;

    // What nearest_groups_tile() carries from one tile to the next: the last
    // answer (a slot, or -1) and, after tiles too spread out to share, how
    // many more to take point by point before trying again.
    struct TileState {
        std::ptrdiff_t seed = -1;
        int misses = 0, skip = 0;
    };

    // nearest_groups() for the k points (xs[j], ys[j]), j < k, near one
    // another (up to kTile): found[j] is point j's count or -1, its hits at
    // hits + j * max_hits. The tree is descended once for the points' box,
    // and each point then computes only the forms of the segments found.
    static constexpr int kTile = 32;
    void nearest_groups_tile(const double* xs, const double* ys, int k, const Metric2& metric,
                             const MetricBound& bound, TileState& state, GroupHit* hits,
                             int max_hits, int* found, double cap = INFINITY) const;

    // The offset w of point (x, y) from segment `original`, as
    // nearest_offsets() writes it.
    void offset(std::ptrdiff_t original, double x, double y, double* out) const;

  private:
    struct Node {
        double lo[2], hi[2];
        std::uint32_t first;  // leaf: first reordered segment; else: first child
        std::uint32_t count;  // leaf: its segment count; 0 for an inner node
    };
    // The tree the descents take: each node holds up to kWide children (a
    // binary node's grandchildren, or its leaves), their boxes and turned
    // rectangles lane by lane so that one vector loop bounds them all. A
    // child without a rectangle worth testing has one that bounds nothing.
    static constexpr std::uint32_t kWide = 4;
    struct alignas(64) Wide {
        double lo0[kWide], lo1[kWide], hi0[kWide], hi1[kWide];
        double c[kWide], s[kWide], a_lo[kWide], a_hi[kWide], b_lo[kWide], b_hi[kWide];
        std::uint32_t ref[kWide];    // a leaf's first reordered segment, or a wide node
        std::uint32_t count[kWide];  // a leaf's segment count; 0 for a wide node
        std::uint32_t n;             // children, 1 to kWide
    };

    // A node's range of reordered segments: first, count.
    using Span = std::pair<std::uint32_t, std::uint32_t>;
    // nearest_groups_tile() for points [from, k) of a tile whose box is
    // [lo, hi], all bounded by segment `seed`; false, with nothing written,
    // when too many segments may hold a form within those bounds.
    bool share(const double* xs, const double* ys, int from, int k, const double lo[2],
               const double hi[2], const Metric2& metric, const MetricBound& bound,
               std::ptrdiff_t& seed, GroupHit* hits, int max_hits, int* found, double cap) const;
    void build(std::uint32_t id, std::uint32_t first, std::uint32_t count,
               const std::vector<Span>& leaves, const std::vector<double>& boxes,
               std::vector<Span>& spans);
    std::uint32_t build_wide(std::uint32_t id, const std::vector<Strip>& strips);
    void query(const PairsView& points, const Metric2& metric, std::ptrdiff_t begin,
               std::ptrdiff_t end, std::ptrdiff_t* chosen, double* form, double* offsets) const;

    std::ptrdiff_t n_ = 0;
    // The source as given, original order.
    std::vector<double> p1_, v_, vdv_;
    // Whether the tree exists: finite segment data with v_dot_v > 0.
    bool indexed_ = false;
    // Largest magnitude of any coordinate of p1, v and p1 + v.
    double scale_ = 0.0;
    std::vector<Node> nodes_;
    std::vector<Wide> wide_;
    // Segments in leaf order: p1x, p1y, vx, vy, v_dot_v as columns.
    std::vector<double> cols_;
    std::vector<std::uint32_t> original_;
    // Per leaf-order slot: its segment's group, when tagged.
    std::vector<std::uint32_t> groups_;
};

}  // namespace zelk::core
