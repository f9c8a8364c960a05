#include "core/rings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zelk::core {

namespace {

struct Edge {
    double xa, ya, xb, yb;  // in ring order: the rounding of the test depends on it
    std::ptrdiff_t ring;    // 0 the outer ring, then the holes
};

inline bool crosses(const Edge& e, double x, double y) {
    return ((e.ya > y) != (e.yb > y)) && (x < (e.xb - e.xa) * (y - e.ya) / (e.yb - e.ya) + e.xa);
}

inline bool same_vertex(double ax, double ay, double bx, double by) {
    return ax == bx && ay == by;
}

// Edges of every ring in horizontal bands. An edge can only be crossed by a
// ray at height y when min(ya, yb) <= y < max(ya, yb), and band_of() is
// monotone in y, so the band of y lists every edge that y can cross. Edges
// that no ray can cross are left out: horizontal ones, and those with a NaN
// y (the NaN reaches the right-hand side of the x test, which is then false).
class StripIndex {
  public:
    StripIndex(const PairsView& outer, const PairsView* holes, std::size_t n_holes) {
        collect(outer, 0);
        for (std::size_t h = 0; h < n_holes; ++h) {
            if (ring_has_area(holes[h])) collect(holes[h], static_cast<std::ptrdiff_t>(h) + 1);
        }
        choose_bands();
        fill();
    }

    std::ptrdiff_t bands() const { return bands_; }

    // The band of height y, or -1 for a NaN height, which is on neither side
    // of any vertex: nothing is crossed.
    std::ptrdiff_t band_of_point(double y) const { return y != y ? -1 : band_of(y); }

    // Whether (x, y) is inside, given b = band_of_point(y).
    bool contains(double x, double y, std::ptrdiff_t b) const {
        if (b < 0) return false;
        const Edge* e = entries_.data() + start_[b];
        const Edge* const end = entries_.data() + start_[b + 1];
        // Within a band the outer ring's edges come first, then each hole's.
        bool odd = false;
        for (; e != end && e->ring == 0; ++e) odd ^= crosses(*e, x, y);
        if (!odd) return false;
        while (e != end) {
            const std::ptrdiff_t ring = e->ring;
            odd = false;
            for (; e != end && e->ring == ring; ++e) odd ^= crosses(*e, x, y);
            if (odd) return false;
        }
        return true;
    }

  private:
    void collect(const PairsView& r, std::ptrdiff_t ring) {
        for (std::ptrdiff_t i = 0; i < r.n; ++i) {
            const std::ptrdiff_t k = i + 1 < r.n ? i + 1 : 0;
            const Edge e{r.x(i), r.y(i), r.x(k), r.y(k), ring};
            if (e.ya == e.yb || e.ya != e.ya || e.yb != e.yb) continue;
            edges_.push_back(e);
            for (double y : {e.ya, e.yb}) {
                if (std::isfinite(y)) {
                    y_low_ = std::min(y_low_, y);
                    y_high_ = std::max(y_high_, y);
                }
            }
        }
    }

    // Not NaN y only. Heights below the indexed range share band 0, heights
    // above it the last band; in between the bands are equal slices.
    std::ptrdiff_t band_of(double y) const {
        if (!(y > y_low_)) return 0;
        const double f = (y - y_low_) * scale_;
        if (!(f < static_cast<double>(bands_ - 1))) return bands_ - 1;
        return static_cast<std::ptrdiff_t>(f);
    }

    std::size_t entry_count() const {
        std::size_t total = 0;
        for (const Edge& e : edges_) {
            total += static_cast<std::size_t>(band_of(std::max(e.ya, e.yb)) -
                                              band_of(std::min(e.ya, e.yb)) + 1);
        }
        return total;
    }

    // About one band per edge, fewer when long edges would repeat in too many
    // bands: the index stays within a few entries per edge.
    void choose_bands() {
        const std::size_t n = edges_.size();
        const double span = y_high_ - y_low_;
        bands_ = static_cast<std::ptrdiff_t>(
            std::min<std::size_t>(std::max<std::size_t>(n, 1), std::size_t(1) << 20));
        const std::size_t budget = 4 * n + 1024;
        for (;;) {
            scale_ = static_cast<double>(bands_) / span;
            if (bands_ <= 1 || !(span > 0.0) || !std::isfinite(scale_)) {
                bands_ = 1;
                scale_ = 0.0;
                return;
            }
            if (entry_count() <= budget) return;
            bands_ /= 2;
        }
    }

    void fill() {
        start_.assign(static_cast<std::size_t>(bands_) + 1, 0);
        for (const Edge& e : edges_) {
            const std::ptrdiff_t lo = band_of(std::min(e.ya, e.yb));
            const std::ptrdiff_t hi = band_of(std::max(e.ya, e.yb));
            for (std::ptrdiff_t b = lo; b <= hi; ++b) ++start_[b + 1];
        }
        for (std::ptrdiff_t b = 0; b < bands_; ++b) start_[b + 1] += start_[b];
        entries_.resize(static_cast<std::size_t>(start_[bands_]));
        std::vector<std::ptrdiff_t> next(start_.begin(), start_.end() - 1);
        // Edges were collected ring by ring, so each band keeps them in ring order.
        for (const Edge& e : edges_) {
            const std::ptrdiff_t lo = band_of(std::min(e.ya, e.yb));
            const std::ptrdiff_t hi = band_of(std::max(e.ya, e.yb));
            for (std::ptrdiff_t b = lo; b <= hi; ++b) entries_[next[b]++] = e;
        }
        std::vector<Edge>().swap(edges_);
    }

    std::vector<Edge> edges_;
    double y_low_ = INFINITY;
    double y_high_ = -INFINITY;
    std::ptrdiff_t bands_ = 1;
    double scale_ = 0.0;
    std::vector<std::ptrdiff_t> start_;
    std::vector<Edge> entries_;
};

// From this many points on, sorting them by band costs less than the cache
// misses it saves.
constexpr std::ptrdiff_t kSortFrom = 4096;

}  // namespace

bool ring_has_area(const PairsView& ring) noexcept {
    // Rows broadcast from one vertex are one vertex, however many there are.
    if (ring.n < 3 || ring.row_stride_bytes == 0) return false;
    const double ax = ring.x(0), ay = ring.y(0);
    std::ptrdiff_t i = 1;
    while (i < ring.n && same_vertex(ring.x(i), ring.y(i), ax, ay)) ++i;
    if (i == ring.n) return false;
    const double bx = ring.x(i), by = ring.y(i);
    for (++i; i < ring.n; ++i) {
        const double x = ring.x(i), y = ring.y(i);
        if (!same_vertex(x, y, ax, ay) && !same_vertex(x, y, bx, by)) return true;
    }
    return false;
}

void points_in_rings(const PairsView& points, const PairsView& outer, const PairsView* holes,
                     std::size_t n_holes, bool* inside) {
    if (points.n <= 0) return;
    if (!ring_has_area(outer)) {
        std::fill(inside, inside + points.n, false);
        return;
    }
    const StripIndex index(outer, holes, n_holes);
    const std::ptrdiff_t n = points.n;
    if (n < kSortFrom || index.bands() == 1) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const double y = points.y(j);
            inside[j] = index.contains(points.x(j), y, index.band_of_point(y));
        }
        return;
    }
    // Many points: visit them band by band (a counting sort), so that each
    // band's edges are read from cache rather than from memory per point.
    const std::ptrdiff_t bands = index.bands();
    std::vector<std::int32_t> band(scratch_size(n, 1));
    std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(bands) + 2, 0);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        // NaN heights go first as band -1.
        band[j] = static_cast<std::int32_t>(index.band_of_point(points.y(j)));
        ++first[band[j] + 2];
    }
    for (std::ptrdiff_t b = 0; b <= bands; ++b) first[b + 1] += first[b];
    std::vector<std::ptrdiff_t> order(scratch_size(n, 1));
    std::vector<double> xy(scratch_size(n, 2));
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::ptrdiff_t at = first[band[j] + 1]++;
        order[at] = j;
        xy[2 * at] = points.x(j);
        xy[2 * at + 1] = points.y(j);
    }
    std::ptrdiff_t at = 0;
    for (std::ptrdiff_t b = -1; b < bands; ++b) {
        for (const std::ptrdiff_t end = first[b + 1]; at < end; ++at) {
            inside[order[at]] = index.contains(xy[2 * at], xy[2 * at + 1], b);
        }
    }
}

}  // namespace zelk::core
