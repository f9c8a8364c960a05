#include "core/point_index.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/forms.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace zelk::core {

namespace {

// Points per leaf: a leaf's forms run as one vector loop, so a few more
// points per leaf cost less than the extra levels of smaller ones (10% less
// time than 12 at 10^4 points).
constexpr std::int32_t kLeafSize = 32;

// Coordinates and metric entries up to this size keep every form finite:
// |d| <= 2^301, |a| <= 2^603, |q| <= 2^905, far from overflow, so no NaN or
// infinity can appear and the scan's NaN rule never comes into play.
constexpr double kReach = 0x1p300;

// The point candidate is exactly fl(p - x), so unlike the segment index
// (core/metric_bound.hpp, which bounds by lambda_min times a Euclidean
// distance) this bound works on the box of offsets itself: no square root,
// no error term for a computed point on a segment, exact for a diagonal
// metric and following the axes of a rotated one; searches took 1.5 to 2
// times less time with it than with lambda_min on the workloads measured.
//
// A lower bound of the computed form form_vector_matrix(m, d) over every offset
// d = fl(p - x) with p in a box [lo, hi]. Rounding a subtraction is monotone,
// so such d lie in the box R = [fl(lo - x), fl(hi - x)]. Over R, with S the
// symmetric part of m (a = s00, b = s01, c = s11, det = ac - b^2 > 0):
//   d.S d = a (d0 + (b/a) d1)^2 + (det/a) d1^2 = c (d1 + (b/c) d0)^2 + (det/c) d0^2,
// and each square is at least that of the distance from 0 to its interval
// over R. The computed form differs from d.S d by at most
// 2^-50 * sum|m_ij| * |d|^2 (four roundings on each of its four terms), and
// |d|^2 <= d.S d / lmin, so it is at least (1 - 2^-50 sum|m| / lmin) d.S d;
// underflow adds a few 2^-1074, scaled at most by |d| or an entry of m.
// Every constant is rounded towards a smaller bound by margins far above one
// unit in the last place. Usable only when S is clearly positive definite
// and the entries are finite, within kReach and not tiny.
struct FormBound {
    double a, c;          // s00, s11
    double det_a, det_c;  // det / a, det / c, rounded down
    double ra, rc;        // b / a, b / c
    double keep;          // the factor for the rounding of the form and of the bound itself
    double sum_abs;
    bool diagonal;  // b == 0: d.S d = a d0^2 + c d1^2 exactly

    bool set(const Metric2& m) noexcept {
        const double e[4] = {m.m00, m.m01, m.m10, m.m11};
        sum_abs = 0.0;
        for (double v : e) {
            if (!(std::fabs(v) <= kReach)) return false;  // NaN too
            sum_abs += std::fabs(v);
        }
        constexpr double down = 1.0 - 0x1p-45, up = 1.0 + 0x1p-45;
        a = m.m00;
        c = m.m11;
        const double b = 0.5 * (m.m01 + m.m10);
        diagonal = b == 0.0;
        // Tiny entries would bring subnormal numbers into the constants.
        if (!(a >= 0x1p-300 && c >= 0x1p-300)) return false;
        const double det = (a * c * down - b * b * up) * down;
        if (!(det >= 0x1p-600)) return false;
        // lmin = det / lmax, lmax at most max(a, c) + |b| (Gershgorin).
        const double lmin = det / ((std::max(a, c) + std::fabs(b) * up) * up) * down;
        const double loss = sum_abs * 0x1p-49 / lmin * up;
        if (!(loss < 0.5)) return false;
        det_a = det / a * down;
        det_c = det / c * down;
        ra = b / a;
        rc = b / c;
        keep = (1.0 - loss) * (1.0 - 0x1p-40);
        return std::isfinite(det_a) && std::isfinite(det_c) && det_a > 0.0 && det_c > 0.0;
    }

    // The absolute part for query x: underflow in the form and in the bound.
    double slack(double x0, double x1, double reach) const noexcept {
        return 0x1p-1060 * (1.0 + std::fabs(x0) + std::fabs(x1) + 2.0 * reach + 4.0 * sum_abs);
    }

    // The bound for offsets in [a0, b0] x [a1, b1].
    template <bool kDiagonal>
    ZELK_CLONE_INLINE double low(double a0, double b0, double a1, double b1,
                                 double slack) const noexcept {
        const double g0 = distance_to_zero(a0, b0), g1 = distance_to_zero(a1, b1);
        if (kDiagonal) return keep * (a * (g0 * g0) + c * (g1 * g1)) - slack;
        if (g0 == 0.0 && g1 == 0.0) return -slack;  // the query lies in the box
        const double ga = mixed_distance(a0, b0, ra * a1, ra * b1);
        const double gc = mixed_distance(a1, b1, rc * a0, rc * b0);
        const double by_a = a * (ga * ga) + det_a * (g1 * g1);
        const double by_c = c * (gc * gc) + det_c * (g0 * g0);
        return keep * std::max(by_a, by_c) - slack;
    }

  private:
    ZELK_CLONE_INLINE static double distance_to_zero(double lo, double hi) noexcept {
        return lo > 0.0 ? lo : (hi < 0.0 ? -hi : 0.0);
    }
    // Distance from 0 to [lo, hi] + [min(u, v), max(u, v)], shrunk by the
    // rounding of the sums and of the ratio in u, v (a few units in the last
    // place of the magnitudes involved).
    ZELK_CLONE_INLINE static double mixed_distance(double lo, double hi, double u,
                                                   double v) noexcept {
        const double g = distance_to_zero(lo + std::min(u, v), hi + std::max(u, v));
        const double err = (std::fabs(lo) + std::fabs(hi) + std::fabs(u) + std::fabs(v)) * 0x1p-48;
        return g > err ? g - err : 0.0;
    }
};

}  // namespace

PointIndex::PointIndex(const PairsView& pts) : n_(pts.n), reach_(0.0) {
    if (pts.n < 1 || pts.n > std::numeric_limits<std::int32_t>::max() / 2) throw std::bad_alloc();
    px_.resize(scratch_size(n_, 1));
    py_.resize(scratch_size(n_, 1));
    bool finite = true;
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        px_[i] = pts.x(i);
        py_[i] = pts.y(i);
        finite = finite && std::isfinite(px_[i]) && std::isfinite(py_[i]);
        reach_ = std::max(reach_, std::max(std::fabs(px_[i]), std::fabs(py_[i])));
    }
    // Without finite points the scan answers every query: no tree.
    if (!finite || !(reach_ <= kReach)) {
        reach_ = std::numeric_limits<double>::infinity();
        return;
    }
    build();
}

// Median splits across the wider side of each box, down to leaves of at most
// kLeafSize points; the two children of a node are adjacent in nodes_. The
// points move with their indices, so the splits read memory in order.
void PointIndex::build() {
    struct Item {
        double x, y;
        std::int32_t id;
    };
    std::vector<Item> items(static_cast<std::size_t>(n_));
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        items[i] = {px_[i], py_[i], static_cast<std::int32_t>(i)};
    }
    struct Task {
        std::int32_t node, begin, end;
    };
    nodes_.reserve(static_cast<std::size_t>(4 * (n_ / kLeafSize) + 3));
    nodes_.emplace_back();
    std::vector<Task> todo{{0, 0, static_cast<std::int32_t>(n_)}};
    while (!todo.empty()) {
        const Task t = todo.back();
        todo.pop_back();
        Node nd{};
        nd.lo0 = nd.hi0 = items[t.begin].x;
        nd.lo1 = nd.hi1 = items[t.begin].y;
        for (std::int32_t k = t.begin + 1; k < t.end; ++k) {
            nd.lo0 = std::min(nd.lo0, items[k].x);
            nd.hi0 = std::max(nd.hi0, items[k].x);
            nd.lo1 = std::min(nd.lo1, items[k].y);
            nd.hi1 = std::max(nd.hi1, items[k].y);
        }
        nd.begin = t.begin;
        nd.end = t.end;
        nd.left = 0;
        if (t.end - t.begin > kLeafSize) {
            const std::int32_t mid = t.begin + (t.end - t.begin) / 2;
            auto first = items.begin() + t.begin, nth = items.begin() + mid,
                 last = items.begin() + t.end;
            if (nd.hi0 - nd.lo0 >= nd.hi1 - nd.lo1) {
                std::nth_element(first, nth, last,
                                 [](const Item& p, const Item& q) { return p.x < q.x; });
            } else {
                std::nth_element(first, nth, last,
                                 [](const Item& p, const Item& q) { return p.y < q.y; });
            }
            nd.left = static_cast<std::int32_t>(nodes_.size());
            nodes_.emplace_back();
            nodes_.emplace_back();
            todo.push_back({nd.left + 1, mid, t.end});
            todo.push_back({nd.left, t.begin, mid});
        }
        nodes_[t.node] = nd;
    }
    tx_.resize(n_);
    ty_.resize(n_);
    order_.resize(n_);
    for (std::ptrdiff_t k = 0; k < n_; ++k) {
        tx_[k] = items[k].x;
        ty_[k] = items[k].y;
        order_[k] = items[k].id;
    }
}

bool PointIndex::same_source(const PairsView& pts) const noexcept {
    if (pts.n != n_) return false;
    for (std::ptrdiff_t i = 0; i < n_; ++i) {
        const double x = pts.x(i), y = pts.y(i);
        if (std::memcmp(&x, &px_[i], sizeof x) != 0 || std::memcmp(&y, &py_[i], sizeof y) != 0) {
            return false;
        }
    }
    return true;
}

namespace {

// Nearest-first descent for the rows [begin, end), every query finite and
// within kReach: a node is skipped when its bound exceeds the best form so
// far; a leaf's candidates are taken on a smaller form, or an equal one with
// a lower point index, so the scan's choice is found whatever the visit order.
template <bool kDiagonal>
ZELK_VECTOR_CLONES void search(const PointIndex::Node* nodes, const double* tx, const double* ty,
                               const std::int32_t* order, double reach, const FormBound& bound,
                               const Metric2 metric, const PairsView& queries, std::ptrdiff_t begin,
                               std::ptrdiff_t end, const NearestOut& out) {
    struct Entry {
        std::int32_t node;
        double low;
    };
    // Each step pops one entry and pushes at most two, one level deeper: the
    // stack never holds more than the depth plus one (depth <= 31).
    Entry stack[64];
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const double x0 = queries.x(i), x1 = queries.y(i);
        const double slack = bound.slack(x0, x1, reach);
        auto lower = [&](const PointIndex::Node& nd) {
            return bound.low<kDiagonal>(nd.lo0 - x0, nd.hi0 - x0, nd.lo1 - x1, nd.hi1 - x1, slack);
        };
        double best = std::numeric_limits<double>::infinity();
        std::int32_t best_id = std::numeric_limits<std::int32_t>::max();
        std::int32_t best_at = 0;
        int top = 0;
        stack[top++] = {0, -slack};
        while (top > 0) {
            const Entry e = stack[--top];
            if (e.low > best) continue;
            const PointIndex::Node& nd = nodes[e.node];
            if (nd.left == 0) {
                double q[kLeafSize];
                const std::int32_t count = nd.end - nd.begin;
                const double* lx = tx + nd.begin;
                const double* ly = ty + nd.begin;
                double least = std::numeric_limits<double>::infinity();
                for (std::int32_t k = 0; k < count; ++k) {
                    q[k] = form_vector_matrix(metric, lx[k] - x0, ly[k] - x1);
                    least = q[k] < least ? q[k] : least;
                }
                // Finite forms here: a leaf with none at or below the best
                // changes nothing.
                if (least > best) continue;
                for (std::int32_t k = 0; k < count; ++k) {
                    const std::int32_t id = order[nd.begin + k];
                    if (q[k] < best || (q[k] == best && id < best_id)) {
                        best = q[k];
                        best_id = id;
                        best_at = nd.begin + k;
                    }
                }
                continue;
            }
            const double la = lower(nodes[nd.left]), lb = lower(nodes[nd.left + 1]);
            // The nearer child goes on top, to be searched first.
            const bool a_first = la <= lb;
            const Entry near{a_first ? nd.left : nd.left + 1, a_first ? la : lb};
            const Entry far{a_first ? nd.left + 1 : nd.left, a_first ? lb : la};
            if (far.low <= best) stack[top++] = far;
            if (near.low <= best) stack[top++] = near;
        }
        if (out.offsets) {
            out.offsets[2 * i] = tx[best_at] - x0;
            out.offsets[2 * i + 1] = ty[best_at] - x1;
        }
        if (out.index) out.index[i] = best_id;
        if (out.form) out.form[i] = best;
    }
}

bool searchable(double x0, double x1) noexcept {
    return std::fabs(x0) <= kReach && std::fabs(x1) <= kReach;
}

}  // namespace

bool PointIndex::prunes(const Metric2& metric) noexcept {
    FormBound bound;
    return bound.set(metric);
}

void PointIndex::nearest(const PairsView& queries, const Metric2& metric, std::ptrdiff_t begin,
                         std::ptrdiff_t end, const NearestOut& out) const {
    FormBound bound;
    if (nodes_.empty() || !bound.set(metric)) {
        scan_nearest_points(queries, begin, end, px_.data(), py_.data(), n_, metric, out);
        return;
    }
    // Runs of searchable query points go to the tree, the others (NaN,
    // infinite, huge) to the scan.
    std::ptrdiff_t i = begin;
    while (i < end) {
        const bool ok = searchable(queries.x(i), queries.y(i));
        std::ptrdiff_t j = i + 1;
        while (j < end && searchable(queries.x(j), queries.y(j)) == ok) ++j;
        if (!ok) {
            scan_nearest_points(queries, i, j, px_.data(), py_.data(), n_, metric, out);
        } else if (bound.diagonal) {
            search<true>(nodes_.data(), tx_.data(), ty_.data(), order_.data(), reach_, bound,
                         metric, queries, i, j, out);
        } else {
            search<false>(nodes_.data(), tx_.data(), ty_.data(), order_.data(), reach_, bound,
                          metric, queries, i, j, out);
        }
        i = j;
    }
}

// Measured on one core: the scan costs about 1 ns per (query, point) pair,
// a build about 50 ns per point, a search a few hundred ns per query point.
bool point_index_pays(std::ptrdiff_t points, std::ptrdiff_t queries) noexcept {
    if (points < 512 || points > std::numeric_limits<std::int32_t>::max() / 2) return false;
    return queries > 60 * points / (points - 400);
}

void nearest_points(const PairsView& queries, const PairsView& pts, const Metric2& metric,
                    std::ptrdiff_t begin, std::ptrdiff_t end, const NearestOut& out) {
    if (begin >= end) return;
    if (pts.n <= 0) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            if (out.offsets) no_candidate(out.offsets + 2 * i, 1);
            if (out.index) out.index[i] = -1;
            if (out.form) out.form[i] = std::numeric_limits<double>::quiet_NaN();
        }
        return;
    }
    if (point_index_pays(pts.n, end - begin) && PointIndex::prunes(metric)) {
        PointIndex(pts).nearest(queries, metric, begin, end, out);
        return;
    }
    std::vector<double> p(scratch_size(pts.n, 2));
    for (std::ptrdiff_t i = 0; i < pts.n; ++i) {
        p[i] = pts.x(i);
        p[pts.n + i] = pts.y(i);
    }
    scan_nearest_points(queries, begin, end, p.data(), p.data() + pts.n, pts.n, metric, out);
}

}  // namespace zelk::core
