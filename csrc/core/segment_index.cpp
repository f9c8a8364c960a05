#include "core/segment_index.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/metric_bound.hpp"
#include "core/segment_scan.hpp"

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

// A median split halves every range, so the depth stays below 32 for any
// segment count the index accepts, and a descent keeps at most one
// deferred sibling per level.
constexpr std::uint32_t kMaxSegments = std::uint32_t(1) << 31;
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

    std::vector<std::uint32_t> order(static_cast<std::size_t>(n_));
    std::iota(order.begin(), order.end(), 0u);
    nodes_.reserve(static_cast<std::size_t>(n_ / 2 + 2));
    nodes_.emplace_back();
    build(0, 0, static_cast<std::uint32_t>(n_), order, boxes);

    cols_.resize(scratch_size(n_, 5));
    original_ = order;
    for (std::ptrdiff_t k = 0; k < n_; ++k) {
        const std::ptrdiff_t i = order[k];
        cols_[k] = p1_[2 * i];
        cols_[n_ + k] = p1_[2 * i + 1];
        cols_[2 * n_ + k] = v_[2 * i];
        cols_[3 * n_ + k] = v_[2 * i + 1];
        cols_[4 * n_ + k] = vdv_[i];
    }
}

// Fills node `id` with the box of order[first, first + count) and splits it
// at the median of the segment boxes' centres along the longer side of their
// extent; the two children are adjacent nodes.
void SegmentIndex::build(std::uint32_t id, std::uint32_t first, std::uint32_t count,
                         std::vector<std::uint32_t>& order, const std::vector<double>& boxes) {
    Node node{};
    node.lo[0] = node.lo[1] = std::numeric_limits<double>::infinity();
    node.hi[0] = node.hi[1] = -std::numeric_limits<double>::infinity();
    double clo[2] = {node.lo[0], node.lo[1]}, chi[2] = {node.hi[0], node.hi[1]};
    for (std::uint32_t k = first; k < first + count; ++k) {
        const double* b = boxes.data() + 4 * std::size_t(order[k]);
        for (int c = 0; c < 2; ++c) {
            node.lo[c] = std::min(node.lo[c], b[c]);
            node.hi[c] = std::max(node.hi[c], b[2 + c]);
            const double centre = 0.5 * (b[c] + b[2 + c]);
            clo[c] = std::min(clo[c], centre);
            chi[c] = std::max(chi[c], centre);
        }
    }
    if (count <= kLeaf) {
        node.first = first;
        node.count = count;
        nodes_[id] = node;
        return;
    }
    const int axis = chi[1] - clo[1] > chi[0] - clo[0] ? 1 : 0;
    const std::uint32_t half = count / 2;
    std::nth_element(order.begin() + first, order.begin() + first + half,
                     order.begin() + first + count, [&](std::uint32_t a, std::uint32_t b) {
                         const double ca = boxes[4 * std::size_t(a) + axis] +
                                           boxes[4 * std::size_t(a) + 2 + axis];
                         const double cb = boxes[4 * std::size_t(b) + axis] +
                                           boxes[4 * std::size_t(b) + 2 + axis];
                         return ca < cb || (ca == cb && a < b);
                     });
    const std::uint32_t children = static_cast<std::uint32_t>(nodes_.size());
    node.first = children;
    node.count = 0;
    nodes_[id] = node;
    nodes_.emplace_back();
    nodes_.emplace_back();
    build(children, first, half, order, boxes);
    build(children + 1, first + half, count - half, order, boxes);
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

// The descent for one point: nearest box first, a subtree skipped only when
// the bound of its box is strictly above the best form so far, and among
// equal forms the lowest original index kept.
template <class Node>
ZELK_CLONE_INLINE Found descend(const Node* nodes, const Reordered& s,
                                const std::uint32_t* original, const MetricBound& bound,
                                double scale, const Metric2& metric, double x, double y) {
    const double px[1] = {x};
    const double py[1] = {y};
    double t[kLeaf], q[kLeaf];
    double best = std::numeric_limits<double>::infinity();
    std::ptrdiff_t at = -1;
    std::uint32_t best_original = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t stack_node[kStack];
    double stack_bound[kStack];
    int depth = 0;
    std::uint32_t id = 0;
    for (;;) {
        const Node& node = nodes[id];
        if (node.count != 0) {
            forms(s, node.first, node.count, px, py, metric, t, q, 0);
            for (std::uint32_t k = 0; k < node.count; ++k) {
                const std::uint32_t o = original[node.first + k];
                if (q[k] < best || (q[k] == best && o < best_original)) {
                    best = q[k];
                    best_original = o;
                    at = node.first + k;
                }
            }
        } else {
            std::uint32_t near = node.first, far = node.first + 1;
            double dn = box_distance_sq(x, y, nodes[near].lo, nodes[near].hi);
            double df = box_distance_sq(x, y, nodes[far].lo, nodes[far].hi);
            if (df < dn) {
                std::swap(near, far);
                std::swap(dn, df);
            }
            const double bn = bound.lower_bound(dn, scale);
            if (!(bn > best)) {
                const double bf = bound.lower_bound(df, scale);
                if (!(bf > best)) {
                    stack_node[depth] = far;
                    stack_bound[depth++] = bf;
                }
                id = near;
                continue;
            }
        }
        // The next deferred subtree that can still hold the answer.
        while (depth > 0 && stack_bound[depth - 1] > best) --depth;
        if (depth == 0) break;
        id = stack_node[--depth];
    }
    return {at, best};
}

}  // namespace

void SegmentIndex::query(const PairsView& points, const Metric2& metric, std::ptrdiff_t begin,
                         std::ptrdiff_t end, std::ptrdiff_t* chosen, double* form,
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
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        const double x = points.x(j), y = points.y(j);
        std::ptrdiff_t i;
        double f;
        // Not finite or too large: NaN rule and overflow stay with the scan.
        if (prune && std::fabs(x) <= limit && std::fabs(y) <= limit) {
            const Found found =
                descend(nodes_.data(), reordered, original_.data(), bound,
                        std::max({scale_, std::fabs(x), std::fabs(y)}), metric, x, y);
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

}  // namespace zelk::core
