// A bounding-volume hierarchy over the boxes of whole shapes, for finding per
// query point the shapes that can still hold its smallest form.
//
// Each shape has a box (every candidate point it can offer lies in it, up to
// the rounding that MetricBound allows for), a bound of the magnitude of its
// coordinates, and one MetricBound per tracked form (up to kMaxForms: a
// caller may pick by two forms at once). A shape whose form cannot be bounded
// (an unusable metric, non-finite or huge coordinates) does not belong in the
// tree: the caller evaluates it for every point.
//
// A node keeps the union of its boxes, the largest coordinate bound and, per
// form, the bound with the smallest eigenvalue in it and the smallest
// coordinate limit, so that its bound is at or below each of its shapes'.
#pragma once

#include "core/metric_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace zelk::core {

constexpr int kMaxForms = 2;

struct ShapeBox {
    double lo[2], hi[2];
    double scale;                         // >= every coordinate magnitude of the shape
    const MetricBound* bound[kMaxForms];  // usable, one per tracked form
    std::ptrdiff_t id;                    // the caller's number for the shape
};

class BoxTree {
  public:
    BoxTree(std::vector<ShapeBox> shapes, int forms);

    bool empty() const noexcept { return nodes_.empty(); }

    // A shape whose box is near (x, y), found by descending towards the
    // nearer child box: a good first candidate, not necessarily the nearest.
    // -1 when the tree is empty. The descent starts from the leaf node `leaf`
    // (when not -1) as the best so far, which a neighbouring point's guess
    // makes a tight start; `leaf` is set to the leaf node of the shape returned.
    std::ptrdiff_t first_guess(double x, double y, std::int32_t& leaf) const noexcept;

    // Calls emit(id) for every shape, other than `skip`, for which some form
    // f has a lower bound not strictly above best[f] (a NaN best keeps every
    // shape): the shapes that may give a form equal to or below the best.
    template <class Emit>
    void candidates(double x, double y, const double* best, std::ptrdiff_t skip, Emit&& emit) const;

    // The leaves (node numbers) that may still hold a form at or below
    // best[f] for some point of the box [lo, hi] of points, each coordinate
    // of magnitude at most `scale`, with best[f] the largest best of those
    // points (+infinity for one without an answer or with a NaN one). Every
    // test is the per-point one with a distance, scale and best that are
    // never less favourable, so a leaf candidates() would reach for one of
    // the points is among them.
    void leaves_near(const double lo[2], const double hi[2], double scale, const double* best,
                     std::vector<std::int32_t>& out) const;

    // candidates() for one point of such a box, testing only `leaves`: each
    // leaf is emitted when its own test holds for the point, as the descent
    // would test it last. Finite points only.
    template <class Emit>
    void candidates_among(const std::vector<std::int32_t>& leaves, double x, double y,
                          const double* best, std::ptrdiff_t skip, Emit&& emit) const;

  private:
    struct Node {
        double lo[2], hi[2];
        double scale;
        const MetricBound* bound[kMaxForms];  // the weakest bound in the subtree
        double limit[kMaxForms];              // the smallest coordinate limit in it
        double slope[kMaxForms];              // about the weakest eigenvalue: a quick test
        std::int32_t left, right;             // children, or -1 for a leaf
        std::ptrdiff_t id;                    // a leaf's shape
    };

    std::int32_t build(std::vector<ShapeBox>& shapes, std::size_t first, std::size_t last);
    bool may_hold(const Node& node, double x, double y, double query_scale,
                  const double* best) const noexcept {
        return may_hold_at(node, box_distance_sq(x, y, node.lo, node.hi), query_scale, best);
    }
    // The test at squared distance d2 from the node's box.
    bool may_hold_at(const Node& node, double d2, double query_scale,
                     const double* best) const noexcept;

    std::vector<Node> nodes_;
    int forms_;
};

inline bool BoxTree::may_hold_at(const Node& node, double d2, double query_scale,
                                 const double* best) const noexcept {
    const double scale = node.scale > query_scale ? node.scale : query_scale;
    if (!(d2 > 0.0)) return true;  // a box that holds the point (or a NaN point)
    for (int f = 0; f < forms_; ++f) {
        // A query beyond the limit (or NaN) bounds nothing.
        if (!(scale <= node.limit[f])) return true;
        // The bound never exceeds about slope * d2: below the best, the
        // node is visited without working the bound out (a wrong guess here
        // only costs a visit).
        if (node.slope[f] * d2 <= best[f]) return true;
        if (!(node.bound[f]->lower_bound(d2, scale) > best[f])) return true;
    }
    return false;
}

template <class Emit>
void BoxTree::candidates(double x, double y, const double* best, std::ptrdiff_t skip,
                         Emit&& emit) const {
    if (nodes_.empty()) return;
    // A NaN coordinate makes the scale NaN, which then fails every limit test.
    const double qs = x == x && y == y ? std::max(std::fabs(x), std::fabs(y))
                                       : std::numeric_limits<double>::quiet_NaN();
    std::int32_t stack[64];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& node = nodes_[stack[--top]];
        if (!may_hold(node, x, y, qs, best)) continue;
        if (node.left < 0) {
            if (node.id != skip) emit(node.id);
            continue;
        }
        stack[top++] = node.right;
        stack[top++] = node.left;
    }
}

template <class Emit>
void BoxTree::candidates_among(const std::vector<std::int32_t>& leaves, double x, double y,
                               const double* best, std::ptrdiff_t skip, Emit&& emit) const {
    const double qs = std::max(std::fabs(x), std::fabs(y));
    for (const std::int32_t at : leaves) {
        const Node& node = nodes_[at];
        if (node.id != skip && may_hold(node, x, y, qs, best)) emit(node.id);
    }
}

}  // namespace zelk::core
