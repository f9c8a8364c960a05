#include "core/rings.hpp"

#include "core/clones.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace zelk::core {

namespace {

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

// The index's arrays, kept from one call to the next (per thread) so that
// repeated queries on the same polygon reuse memory that is already mapped
// instead of faulting in fresh pages every time.
struct IndexBuffers {
    std::vector<const PairsView*> rings;  // the outer ring, then the holes with area
    std::vector<Edge> edges;              // band by band
    std::vector<std::uint32_t> ring;      // ring of each entry of `edges`
    std::vector<std::ptrdiff_t> start;    // band b is [start[b], start[b + 1])
};

// Beyond this the buffers are freed after the call rather than kept.
constexpr std::size_t kKeepBytes = std::size_t(8) << 20;

// Edges of every ring in horizontal bands. An edge can only be crossed by a
// ray at height y when min(ya, yb) <= y < max(ya, yb), and band_of() is
// monotone in y, so the band of y lists every edge that y can cross. Edges
// that no ray can cross are left out: horizontal ones, and those with a NaN
// y (the NaN reaches the right-hand side of the x test, which is then false).
class StripIndex {
  public:
    StripIndex(const PairsView& outer, const PairsView* holes, std::size_t n_holes,
               IndexBuffers& buf)
        : buf_(buf) {
        buf_.rings.clear();
        buf_.rings.push_back(&outer);
        for (std::size_t h = 0; h < n_holes; ++h) {
            if (ring_has_area(holes[h])) buf_.rings.push_back(&holes[h]);
        }
        if (buf_.rings.size() > UINT32_MAX) throw std::bad_alloc();
        std::size_t edges = 0;
        for_each_edge([&](const Edge& e, std::uint32_t) {
            ++edges;
            for (double y : {e.ya, e.yb}) {
                if (std::isfinite(y)) {
                    y_low_ = std::min(y_low_, y);
                    y_high_ = std::max(y_high_, y);
                }
            }
        });
        choose_bands(edges);
        fill();
    }

    ~StripIndex() {
        if (buf_.edges.capacity() * sizeof(Edge) > kKeepBytes) buf_ = IndexBuffers();
    }

    StripIndex(const StripIndex&) = delete;
    StripIndex& operator=(const StripIndex&) = delete;

    std::ptrdiff_t bands() const { return bands_; }

    // The band of height y, or -1 for a NaN height, which is on neither side
    // of any vertex: nothing is crossed.
    std::ptrdiff_t band_of_point(double y) const { return y != y ? -1 : band_of(y); }

    // Whether (x, y) is inside, given b = band_of_point(y).
    bool contains(double x, double y, std::ptrdiff_t b) const {
        if (b < 0) return false;
        const Edge* e = buf_.edges.data() + buf_.start[b];
        const Edge* const end = buf_.edges.data() + buf_.start[b + 1];
        const std::uint32_t* r = buf_.ring.data() + buf_.start[b];
        // Within a band the outer ring's edges come first, then each hole's.
        bool odd = false;
        for (; e != end && *r == 0; ++e, ++r) odd ^= crosses(*e, x, y);
        if (!odd) return false;
        while (e != end) {
            const std::uint32_t ring = *r;
            odd = false;
            for (; e != end && *r == ring; ++e, ++r) odd ^= crosses(*e, x, y);
            if (odd) return false;
        }
        return true;
    }

  private:
    // f(edge, ring) for every edge a ray can cross, ring by ring, in order.
    template <class F>
    void for_each_edge(F&& f) const {
        for (std::size_t ring = 0; ring < buf_.rings.size(); ++ring) {
            const PairsView& r = *buf_.rings[ring];
            for (std::ptrdiff_t i = 0; i < r.n; ++i) {
                const Edge e = edge_of(r, i);
                if (e.ya == e.yb || e.ya != e.ya || e.yb != e.yb) continue;
                f(e, static_cast<std::uint32_t>(ring));
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

    std::ptrdiff_t first_band(const Edge& e) const { return band_of(std::min(e.ya, e.yb)); }
    std::ptrdiff_t last_band(const Edge& e) const { return band_of(std::max(e.ya, e.yb)); }

    // About one band per edge, fewer when long edges would repeat in too many
    // bands: the index stays within a few entries per edge.
    void choose_bands(std::size_t edges) {
        const double span = y_high_ - y_low_;
        bands_ = static_cast<std::ptrdiff_t>(
            std::min<std::size_t>(std::max<std::size_t>(edges, 1), std::size_t(1) << 20));
        const std::size_t budget = 4 * edges + 1024;
        for (;;) {
            scale_ = static_cast<double>(bands_) / span;
            if (bands_ <= 1 || !(span > 0.0) || !std::isfinite(scale_)) {
                bands_ = 1;
                scale_ = 0.0;
                return;
            }
            std::size_t entries = 0;
            for_each_edge([&](const Edge& e, std::uint32_t) {
                entries += static_cast<std::size_t>(last_band(e) - first_band(e) + 1);
            });
            if (entries <= budget) return;
            bands_ /= 2;
        }
    }

    // A counting sort of the edges by band; each band keeps them in ring order.
    void fill() {
        std::vector<std::ptrdiff_t>& start = buf_.start;
        start.assign(static_cast<std::size_t>(bands_) + 1, 0);
        for_each_edge([&](const Edge& e, std::uint32_t) {
            for (std::ptrdiff_t b = first_band(e); b <= last_band(e); ++b) ++start[b + 1];
        });
        for (std::ptrdiff_t b = 0; b < bands_; ++b) start[b + 1] += start[b];
        buf_.edges.resize(static_cast<std::size_t>(start[bands_]));
        buf_.ring.resize(static_cast<std::size_t>(start[bands_]));
        // start[b] runs through band b; afterwards it holds the start of b + 1.
        for_each_edge([&](const Edge& e, std::uint32_t ring) {
            for (std::ptrdiff_t b = first_band(e); b <= last_band(e); ++b) {
                buf_.edges[start[b]] = e;
                buf_.ring[start[b]++] = ring;
            }
        });
        for (std::ptrdiff_t b = bands_; b > 0; --b) start[b] = start[b - 1];
        start[0] = 0;
    }

    IndexBuffers& buf_;
    double y_low_ = INFINITY;
    double y_high_ = -INFINITY;
    std::ptrdiff_t bands_ = 1;
    double scale_ = 0.0;
};

// From this many points on, sorting them by band costs less than the cache
// misses it saves.
constexpr std::ptrdiff_t kSortFrom = 4096;

// Up to this many points, testing every edge in place costs less than
// building the index. Where the two cost the same lies between 40 and 150
// points, lower where a horizontal line meets few edges.
constexpr std::ptrdiff_t kEdgeByEdgeMax = 48;

// Parity of the crossings with the edges between consecutive vertices of a
// C-contiguous ring, read with unit stride. Counted in an integer, the loop
// vectorises.
ZELK_VECTOR_CLONES
bool odd_crossings_contiguous(const char* r, std::ptrdiff_t n, double x, double y) {
    std::int64_t count = 0;
    for (std::ptrdiff_t i = 0; i + 1 < n; ++i) {
        const char* a = r + 2 * sizeof(double) * i;
        count +=
            crosses(load_double(a), load_double(a + sizeof(double)),
                    load_double(a + 2 * sizeof(double)), load_double(a + 3 * sizeof(double)), x, y);
    }
    return count & 1;
}

// Parity of the crossings with every edge of the ring (n >= 1), closing edge
// included: the same edges, in the same orientation, as the index holds.
bool odd_crossings(const PairsView& r, double x, double y) {
    bool odd = false;
    if (r.row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
        r.col_stride_bytes == std::ptrdiff_t(sizeof(double))) {
        odd = odd_crossings_contiguous(r.data, r.n, x, y);
    } else {
        for (std::ptrdiff_t i = 0; i + 1 < r.n; ++i) {
            odd ^= crosses(r.x(i), r.y(i), r.x(i + 1), r.y(i + 1), x, y);
        }
    }
    return odd ^ crosses(edge_of(r, r.n - 1), x, y);
}

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
    const std::ptrdiff_t n = points.n;
    if (n <= kEdgeByEdgeMax) {
        // Holes without area contain nothing; they are found once, not per point.
        std::vector<const PairsView*> holes_with_area;
        for (std::size_t h = 0; h < n_holes; ++h) {
            if (ring_has_area(holes[h])) holes_with_area.push_back(&holes[h]);
        }
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const double x = points.x(j), y = points.y(j);
            // A NaN height is on neither side of any vertex: nothing is crossed.
            bool in = y == y && odd_crossings(outer, x, y);
            for (std::size_t h = 0; in && h < holes_with_area.size(); ++h) {
                in = !odd_crossings(*holes_with_area[h], x, y);
            }
            inside[j] = in;
        }
        return;
    }
    thread_local IndexBuffers buffers;
    const StripIndex index(outer, holes, n_holes, buffers);
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
