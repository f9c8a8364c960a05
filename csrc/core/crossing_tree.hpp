// The pieces of the even-odd test that the ring index and its crossing
// tree share: edges, the crossing test, the horizontal bands, and the
// crossing tree itself (see rings.hpp for the rule they give).
#pragma once

#include "core/views.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace zelk::core::ring_parts {

struct Edge {
    double xa, ya, xb, yb;  // in ring order: the rounding of the test depends on it
};

// Whether the ray from (x, y) towards +x crosses edge (a, b). Evaluated
// without branching, so that loops over edges vectorise: the quotient of an
// edge that is not straddled is computed but decides nothing.
inline bool crosses(double xa, double ya, double xb, double yb, double x, double y) {
    return ((ya > y) != (yb > y)) & (x < (xb - xa) * (y - ya) / (yb - ya) + xa);
}

inline bool crosses(const Edge& e, double x, double y) {
    return crosses(e.xa, e.ya, e.xb, e.yb, x, y);
}

// Edge i of the ring: to vertex i + 1, or back to vertex 0 from the last.
inline Edge edge_of(const PairsView& r, std::ptrdiff_t i) {
    const std::ptrdiff_t k = i + 1 < r.n ? i + 1 : 0;
    return {r.x(i), r.y(i), r.x(k), r.y(k)};
}

inline bool same_vertex(double ax, double ay, double bx, double by) {
    return ax == bx && ay == by;
}

// Bands of equal height over the indexed heights [y_low, ...): heights below
// share band 0, heights above the last band. of() is monotone in y (for y not
// NaN), which is all the exactness arguments below need.
struct Bands {
    double y_low = 0.0, scale = 0.0;
    std::ptrdiff_t count = 1;

    std::ptrdiff_t of(double y) const {
        if (!(y > y_low)) return 0;
        const double f = (y - y_low) * scale;
        if (!(f < static_cast<double>(count - 1))) return count - 1;
        return static_cast<std::ptrdiff_t>(f);
    }
};

// x of edge e at height y, as crosses() computes it.
inline double x_at(const Edge& e, double y) {
    return (e.xb - e.xa) * (y - e.ya) / (e.yb - e.ya) + e.xa;
}

// The crossings of one ring's edges with the ray from (x, y) towards +x, in
// O(log) per point where a horizontal line meets many edges.
//
// A segment tree over the bands. An edge is listed as partial in the bands
// of its lower and upper end, and in the canonical nodes of the bands
// strictly between: for y in those, band monotonicity gives
// min(ya, yb) < y < max(ya, yb), so the edge is straddled for certain and
// crossed exactly when x < x_at(e, y), the value crosses() computes.
//
// Within a node every listed edge spans the node's heights [Y0, Y1]. Exact
// x_at is linear in y, and the computed one is within E of it (E: a few
// hundred units in the last place of the magnitudes involved, plus the
// underflow of the product over the smallest yb - ya). The edges are sorted
// by their values at Y0 and Y1 and cut into groups wherever everything before
// the cut lies, at both heights and by more than 2E, left of everything after
// it; the maximum of linear functions minus the minimum of others is convex,
// so then it does at every height between. At a query height a group's
// computed values lie between the chords of its extreme end values (a
// concave minimum lies above its chord, a convex maximum below), widened by
// 2E (E for the end values, E for the computed value) and the chords' own
// rounding. A point counts whole every group whose
// lower chord is right of x, skips every group whose upper chord is left of
// x, and tests the edges of the few in between with crosses(), as it does the
// partial edges of its band: each edge contributes what crosses() gives it.
class CrossingTree {
  public:
    CrossingTree(const PairsView& ring, const Bands& bands) : bands_(bands) {
        const std::ptrdiff_t leaves = bands.count;
        for (std::ptrdiff_t i = 0; i < ring.n; ++i) {
            const Edge e = edge_of(ring, i);
            if (e.ya != e.yb) edges_.push_back(e);
        }
        if (edges_.size() >= UINT32_MAX) throw std::bad_alloc();
        // Partial edges per leaf, as a counting sort.
        leaf_start_.assign(static_cast<std::size_t>(leaves) + 1, 0);
        std::vector<std::ptrdiff_t> first(edges_.size()), last(edges_.size());
        for (std::size_t k = 0; k < edges_.size(); ++k) {
            const Edge& e = edges_[k];
            first[k] = bands.of(std::min(e.ya, e.yb));
            last[k] = bands.of(std::max(e.ya, e.yb));
            ++leaf_start_[first[k] + 1];
            if (last[k] != first[k]) ++leaf_start_[last[k] + 1];
        }
        for (std::ptrdiff_t b = 0; b < leaves; ++b) leaf_start_[b + 1] += leaf_start_[b];
        leaf_edges_.resize(leaf_start_[leaves]);
        {
            std::vector<std::uint32_t> at(leaf_start_.begin(), leaf_start_.end() - 1);
            for (std::size_t k = 0; k < edges_.size(); ++k) {
                leaf_edges_[at[first[k]]++] = static_cast<std::uint32_t>(k);
                if (last[k] != first[k]) leaf_edges_[at[last[k]]++] = static_cast<std::uint32_t>(k);
            }
        }
        // Node lists: counted, placed, then grouped node by node.
        const std::size_t nodes = 2 * static_cast<std::size_t>(leaves);
        std::vector<std::uint32_t> start(nodes + 1, 0);
        for_each_node(first, last, [&](std::size_t node, std::size_t) { ++start[node + 1]; });
        for (std::size_t k = 0; k < nodes; ++k) start[k + 1] += start[k];
        std::vector<std::uint32_t> listed(start[nodes]);
        {
            std::vector<std::uint32_t> at(start.begin(), start.end() - 1);
            for_each_node(first, last, [&](std::size_t node, std::size_t k) {
                listed[at[node]++] = static_cast<std::uint32_t>(k);
            });
        }
        nodes_.resize(nodes);
        span_edges_.reserve(listed.size());
        std::vector<Span> spans;
        for (std::size_t node = 1; node < nodes; ++node) {
            nodes_[node].first_group = static_cast<std::uint32_t>(groups_.size());
            if (start[node] != start[node + 1]) {
                spans.clear();
                for (std::uint32_t k = start[node]; k < start[node + 1]; ++k)
                    spans.push_back({0.0, 0.0, listed[k]});
                group(node, spans);
            }
            nodes_[node].end_group = static_cast<std::uint32_t>(groups_.size());
        }
        group_edges_end_ = static_cast<std::uint32_t>(span_edges_.size());
        lows_.resize(2 * groups_.size());
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            lows_[2 * g] = groups_[g].lo0;
            lows_[2 * g + 1] = groups_[g].lo1;
        }
        // Parity of the edge count from each group to the end of its node.
        for (std::size_t node = 1; node < nodes; ++node) {
            bool odd = false;
            for (std::uint32_t g = nodes_[node].end_group; g-- > nodes_[node].first_group;) {
                odd ^= ((edges_end(g) - groups_[g].first_edge) & 1) != 0;
                groups_[g].odd_from = odd;
            }
        }
    }

    // Whether the ray from (x, y) crosses an odd number of edges, given
    // b = bands.of(y) for a y that is not NaN.
    bool odd(double x, double y, std::ptrdiff_t b) const {
        bool odd = false;
        for (std::uint32_t k = leaf_start_[b]; k < leaf_start_[b + 1]; ++k)
            odd ^= crosses(edges_[leaf_edges_[k]], x, y);
        for (std::size_t node = static_cast<std::size_t>(b + bands_.count); node >= 1; node >>= 1) {
            const Node& nd = nodes_[node];
            if (nd.first_group == nd.end_group) continue;
            const double s = (y - nd.y0) * nd.inv_height;
            // The first group whose lower chord lies right of x; with rounding
            // the chords need not be sorted, which costs tests, not answers.
            std::uint32_t lo = nd.first_group, hi = nd.end_group;
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                if (low_chord(mid, s) > x) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            if (lo < nd.end_group) odd ^= groups_[lo].odd_from;
            for (std::uint32_t g = lo; g-- > nd.first_group && !(groups_[g].high(s) < x);) {
                for (std::uint32_t k = groups_[g].first_edge; k < edges_end(g); ++k)
                    odd ^= crosses(edges_[span_edges_[k]], x, y);
            }
        }
        return odd;
    }

  private:
    struct Span {
        double x0, x1;  // x_at at the node's heights Y0 and Y1
        std::uint32_t edge;
    };
    struct Node {
        double y0 = 0.0, inv_height = 0.0;
        std::uint32_t first_group = 0, end_group = 0;
    };
    struct Group {
        double lo0, lo1, hi0, hi1;  // lower and upper chord ends at Y0, Y1
        std::uint32_t first_edge;
        bool odd_from;
        double low(double s) const { return lo0 + (lo1 - lo0) * s; }
        double high(double s) const { return hi0 + (hi1 - hi0) * s; }
    };

    // Group g's low(s), from the ends kept apart from the groups: the
    // bisection reads a third of the memory.
    double low_chord(std::uint32_t g, double s) const {
        const double lo0 = lows_[2 * g], lo1 = lows_[2 * g + 1];
        return lo0 + (lo1 - lo0) * s;
    }

    std::uint32_t edges_end(std::uint32_t g) const {
        return g + 1 < groups_.size() ? groups_[g + 1].first_edge : group_edges_end_;
    }

    // f(node, edge) for every canonical node of every edge's inner bands.
    template <class F>
    void for_each_node(const std::vector<std::ptrdiff_t>& first,
                       const std::vector<std::ptrdiff_t>& last, F&& f) const {
        const std::size_t leaves = static_cast<std::size_t>(bands_.count);
        for (std::size_t k = 0; k < first.size(); ++k) {
            std::size_t l = static_cast<std::size_t>(first[k] + 1) + leaves;
            std::size_t r = static_cast<std::size_t>(last[k]) + leaves;
            for (; l < r; l >>= 1, r >>= 1) {
                if (l & 1) f(l++, k);
                if (r & 1) f(--r, k);
            }
        }
    }

    // The groups of one node's edges (see the class comment).
    void group(std::size_t node, std::vector<Span>& spans) {
        const std::size_t leaves = static_cast<std::size_t>(bands_.count);
        std::size_t b0 = node, b1 = node;
        while (b0 < leaves) {
            b0 = 2 * b0;
            b1 = 2 * b1 + 1;
        }
        // Inner bands never include the first or the last, so both ends are
        // finite; half a band beyond the nominal heights covers the rounding
        // of Bands::of() (TreeIndex checks that it is far smaller).
        const double y0 = bands_.y_low + (static_cast<double>(b0 - leaves) - 0.5) / bands_.scale;
        const double y1 = bands_.y_low + (static_cast<double>(b1 - leaves) + 1.5) / bands_.scale;
        nodes_[node].y0 = y0;
        nodes_[node].inv_height = 1.0 / (y1 - y0);
        double magnitude = 0.0, smallest_dy = INFINITY;
        for (Span& sp : spans) {
            const Edge& e = edges_[sp.edge];
            sp.x0 = x_at(e, y0);
            sp.x1 = x_at(e, y1);
            magnitude = std::max(
                magnitude, std::fabs(e.xa) + std::fabs(e.xb) + std::fabs(sp.x0) + std::fabs(sp.x1));
            smallest_dy = std::min(smallest_dy, std::fabs(e.yb - e.ya));
        }
        const double err = magnitude * 0x1p-46 + 0x1p-1070 / smallest_dy;
        std::sort(spans.begin(), spans.end(), [](const Span& p, const Span& q) {
            return p.x0 + p.x1 < q.x0 + q.x1 || (p.x0 + p.x1 == q.x0 + q.x1 && p.edge < q.edge);
        });
        const std::size_t n = spans.size();
        std::vector<double>& min0 = min0_;  // suffix minima, in buffers kept between nodes
        std::vector<double>& min1 = min1_;
        min0.resize(n);
        min1.resize(n);
        double m0 = INFINITY, m1 = INFINITY;
        for (std::size_t i = n; i-- > 0;) {
            m0 = std::min(m0, spans[i].x0 - err);
            m1 = std::min(m1, spans[i].x1 - err);
            min0[i] = m0;
            min1[i] = m1;
        }
        double max0 = -INFINITY, max1 = -INFINITY;  // prefix maxima
        std::size_t begin = 0;
        for (std::size_t i = 0; i < n; ++i) {
            max0 = std::max(max0, spans[i].x0 + err);
            max1 = std::max(max1, spans[i].x1 + err);
            const bool cut = i + 1 == n || (max0 < min0[i + 1] && max1 < min1[i + 1]);
            if (!cut) continue;
            double l0 = INFINITY, l1 = INFINITY, h0 = -INFINITY, h1 = -INFINITY;
            Group g{};
            g.first_edge = static_cast<std::uint32_t>(span_edges_.size());
            for (std::size_t k = begin; k <= i; ++k) {
                // E for the exact end values, E again for a computed value
                // at the query height.
                l0 = std::min(l0, spans[k].x0 - 2.0 * err);
                l1 = std::min(l1, spans[k].x1 - 2.0 * err);
                h0 = std::max(h0, spans[k].x0 + 2.0 * err);
                h1 = std::max(h1, spans[k].x1 + 2.0 * err);
                span_edges_.push_back(spans[k].edge);
            }
            // The chords' own rounding: a few units in the last place.
            const double margin =
                (std::fabs(l0) + std::fabs(l1) + std::fabs(h0) + std::fabs(h1)) * 0x1p-48;
            g.lo0 = l0 - margin;
            g.lo1 = l1 - margin;
            g.hi0 = h0 + margin;
            g.hi1 = h1 + margin;
            groups_.push_back(g);
            begin = i + 1;
        }
    }

    Bands bands_;
    std::vector<Edge> edges_;
    std::vector<std::uint32_t> leaf_start_, leaf_edges_;
    std::vector<Node> nodes_;
    std::vector<Group> groups_;
    std::vector<double> lows_;  // lo0, lo1 of each group
    std::vector<std::uint32_t> span_edges_;
    std::uint32_t group_edges_end_ = 0;
    std::vector<double> min0_, min1_;
};

}  // namespace zelk::core::ring_parts
