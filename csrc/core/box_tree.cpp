#include "core/box_tree.hpp"

#include <algorithm>

namespace zelk::core {

namespace {

// The key by which bounds are ordered: lower_bound() grows with the
// eigenvalue it keeps, so its value at a fixed distance orders them.
double strength(const MetricBound* b) noexcept {
    return b->lower_bound(1.0, 0.0);
}

}  // namespace

BoxTree::BoxTree(std::vector<ShapeBox> shapes, int forms) : forms_(forms) {
    if (shapes.empty()) return;
    nodes_.reserve(2 * shapes.size() - 1);
    build(shapes, 0, shapes.size());
}

std::int32_t BoxTree::build(std::vector<ShapeBox>& shapes, std::size_t first, std::size_t last) {
    const std::int32_t at = static_cast<std::int32_t>(nodes_.size());
    nodes_.push_back({});
    Node node{};
    node.left = node.right = -1;
    node.id = -1;
    const ShapeBox& s0 = shapes[first];
    node.lo[0] = s0.lo[0], node.lo[1] = s0.lo[1], node.hi[0] = s0.hi[0], node.hi[1] = s0.hi[1];
    node.scale = s0.scale;
    for (int f = 0; f < forms_; ++f) {
        node.bound[f] = s0.bound[f];
        node.limit[f] = s0.bound[f]->coord_limit();
    }
    double clo[2] = {s0.lo[0] + s0.hi[0], s0.lo[1] + s0.hi[1]};
    double chi[2] = {clo[0], clo[1]};
    for (std::size_t i = first + 1; i < last; ++i) {
        const ShapeBox& s = shapes[i];
        for (int c = 0; c < 2; ++c) {
            node.lo[c] = std::min(node.lo[c], s.lo[c]);
            node.hi[c] = std::max(node.hi[c], s.hi[c]);
            const double centre = s.lo[c] + s.hi[c];
            clo[c] = std::min(clo[c], centre);
            chi[c] = std::max(chi[c], centre);
        }
        node.scale = std::max(node.scale, s.scale);
        for (int f = 0; f < forms_; ++f) {
            if (strength(s.bound[f]) < strength(node.bound[f])) node.bound[f] = s.bound[f];
            node.limit[f] = std::min(node.limit[f], s.bound[f]->coord_limit());
        }
    }
    for (int f = 0; f < forms_; ++f) node.slope[f] = strength(node.bound[f]);
    if (last - first == 1) {
        node.id = s0.id;
        nodes_[at] = node;
        return at;
    }
    // Split at the median centre along the wider spread of centres.
    const int axis = chi[0] - clo[0] >= chi[1] - clo[1] ? 0 : 1;
    const std::size_t mid = first + (last - first) / 2;
    std::nth_element(shapes.begin() + first, shapes.begin() + mid, shapes.begin() + last,
                     [axis](const ShapeBox& a, const ShapeBox& b) {
                         return a.lo[axis] + a.hi[axis] < b.lo[axis] + b.hi[axis];
                     });
    node.left = build(shapes, first, mid);
    node.right = build(shapes, mid, last);
    nodes_[at] = node;
    return at;
}

namespace {

// The squared distance between two boxes, at or below box_distance_sq() from
// any point of the first to the second: the gaps are differences of the
// same or nearer coordinates, and rounding is monotone.
double box_box_distance_sq(const double alo[2], const double ahi[2], const double blo[2],
                           const double bhi[2]) noexcept {
    const double dx = std::max(std::max(blo[0] - ahi[0], alo[0] - bhi[0]), 0.0);
    const double dy = std::max(std::max(blo[1] - ahi[1], alo[1] - bhi[1]), 0.0);
    return dx * dx + dy * dy;
}

}  // namespace

void BoxTree::leaves_near(const double lo[2], const double hi[2], double scale, const double* best,
                          std::vector<std::int32_t>& out) const {
    out.clear();
    if (nodes_.empty()) return;
    std::int32_t stack[64];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const std::int32_t at = stack[--top];
        const Node& node = nodes_[at];
        if (!may_hold_at(node, box_box_distance_sq(lo, hi, node.lo, node.hi), scale, best)) {
            continue;
        }
        if (node.left < 0) {
            out.push_back(at);
            continue;
        }
        stack[top++] = node.right;
        stack[top++] = node.left;
    }
}

std::ptrdiff_t BoxTree::first_guess(double x, double y, std::int32_t& leaf) const noexcept {
    if (nodes_.empty()) return -1;
    // Branch and bound on the Euclidean box distance, nearer child first. A
    // NaN distance (NaN query) never beats a number: the first leaf reached
    // is kept.
    std::ptrdiff_t found = -1;
    double nearest = std::numeric_limits<double>::infinity();
    if (leaf >= 0 && static_cast<std::size_t>(leaf) < nodes_.size() && nodes_[leaf].left < 0) {
        const double d = box_distance_sq(x, y, nodes_[leaf].lo, nodes_[leaf].hi);
        if (d == d) {
            found = nodes_[leaf].id;
            nearest = d;
            if (!(nearest > 0.0)) return found;
        }
    }
    std::int32_t stack[64];
    double dist[64];
    int top = 0;
    stack[top] = 0;
    dist[top++] = box_distance_sq(x, y, nodes_[0].lo, nodes_[0].hi);
    while (top > 0) {
        --top;
        const Node& node = nodes_[stack[top]];
        if (found >= 0 && !(dist[top] < nearest)) continue;
        if (node.left < 0) {
            found = node.id;
            leaf = stack[top];
            nearest = dist[top];
            if (!(nearest > 0.0)) break;
            continue;
        }
        const double dl = box_distance_sq(x, y, nodes_[node.left].lo, nodes_[node.left].hi);
        const double dr = box_distance_sq(x, y, nodes_[node.right].lo, nodes_[node.right].hi);
        const bool right_first = dr < dl;
        stack[top] = right_first ? node.left : node.right;
        dist[top++] = right_first ? dl : dr;
        stack[top] = right_first ? node.right : node.left;
        dist[top++] = right_first ? dr : dl;
    }
    return found;
}

}  // namespace zelk::core
