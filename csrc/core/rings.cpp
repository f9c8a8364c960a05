#include "core/rings.hpp"

#include "core/clones.hpp"
#include "core/clean_cells.hpp"
#include "core/crossing_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace zelk::core {

namespace {

using namespace ring_parts;

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

    std::ptrdiff_t bands() const { return bands_.count; }

    // Edges listed per band, on average: what a point costs.
    double edges_per_band() const { return double(buf_.edges.size()) / double(bands_.count); }

    // The rings in the order contains() tests them.
    const std::vector<const PairsView*>& rings() const { return buf_.rings; }

    double y_low() const { return y_low_; }
    double y_high() const { return y_high_; }

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

    // Not NaN y only.
    std::ptrdiff_t band_of(double y) const { return bands_.of(y); }

    std::ptrdiff_t first_band(const Edge& e) const { return band_of(std::min(e.ya, e.yb)); }
    std::ptrdiff_t last_band(const Edge& e) const { return band_of(std::max(e.ya, e.yb)); }

    // About one band per edge, fewer when long edges would repeat in too many
    // bands: the index stays within a few entries per edge.
    void choose_bands(std::size_t edges) {
        const double span = y_high_ - y_low_;
        bands_.y_low = y_low_;
        bands_.count = static_cast<std::ptrdiff_t>(
            std::min<std::size_t>(std::max<std::size_t>(edges, 1), std::size_t(1) << 20));
        const std::size_t budget = 4 * edges + 1024;
        for (;;) {
            bands_.scale = static_cast<double>(bands_.count) / span;
            if (bands_.count <= 1 || !(span > 0.0) || !std::isfinite(bands_.scale)) {
                bands_.count = 1;
                bands_.scale = 0.0;
                return;
            }
            std::size_t entries = 0;
            for_each_edge([&](const Edge& e, std::uint32_t) {
                entries += static_cast<std::size_t>(last_band(e) - first_band(e) + 1);
            });
            if (entries <= budget) return;
            bands_.count /= 2;
        }
    }

    // A counting sort of the edges by band; each band keeps them in ring order.
    void fill() {
        std::vector<std::ptrdiff_t>& start = buf_.start;
        const std::ptrdiff_t count = bands_.count;
        start.assign(static_cast<std::size_t>(count) + 1, 0);
        for_each_edge([&](const Edge& e, std::uint32_t) {
            for (std::ptrdiff_t b = first_band(e); b <= last_band(e); ++b) ++start[b + 1];
        });
        for (std::ptrdiff_t b = 0; b < count; ++b) start[b + 1] += start[b];
        buf_.edges.resize(static_cast<std::size_t>(start[count]));
        buf_.ring.resize(static_cast<std::size_t>(start[count]));
        // start[b] runs through band b; afterwards it holds the start of b + 1.
        for_each_edge([&](const Edge& e, std::uint32_t ring) {
            for (std::ptrdiff_t b = first_band(e); b <= last_band(e); ++b) {
                buf_.edges[start[b]] = e;
                buf_.ring[start[b]++] = ring;
            }
        });
        for (std::ptrdiff_t b = count; b > 0; --b) start[b] = start[b - 1];
        start[0] = 0;
    }

    IndexBuffers& buf_;
    double y_low_ = INFINITY;
    double y_high_ = -INFINITY;
    Bands bands_;
};

// Whether every vertex of every ring is finite: the tree's bounds assume it.
bool all_finite(const std::vector<const PairsView*>& rings) {
    for (const PairsView* r : rings) {
        for (std::ptrdiff_t i = 0; i < r->n; ++i) {
            if (!std::isfinite(r->x(i)) || !std::isfinite(r->y(i))) return false;
        }
    }
    return true;
}

// The answer of StripIndex::contains() through one crossing tree per ring.
// Null when the strips serve as well: few edges per band, too few points to
// repay the build, or values the tree does not take.
class TreeIndex {
  public:
    static std::unique_ptr<TreeIndex> for_batch(const StripIndex& strips, std::ptrdiff_t n) {
        std::size_t edges = 0;
        for (const PairsView* r : strips.rings()) edges += static_cast<std::size_t>(r->n);
        const double per_band = strips.edges_per_band();
        if (n < kTreeFrom || per_band < kTreeEdgesPerBand ||
            double(n) * per_band < kBuildPerEdge * double(edges))
            return nullptr;
        return for_rings(strips);
    }

    // For an index kept between batches: whenever the strips are dense.
    static std::unique_ptr<TreeIndex> for_kept(const StripIndex& strips) {
        if (strips.edges_per_band() < kTreeEdgesPerBand) return nullptr;
        return for_rings(strips);
    }

    // Whether for_kept() would build a tree, and `points` in all, tested
    // through the strips, would have repaid it.
    static bool repaid(const StripIndex& strips, double points) {
        std::size_t edges = 0;
        for (const PairsView* r : strips.rings()) edges += static_cast<std::size_t>(r->n);
        const double per_band = strips.edges_per_band();
        return per_band >= kTreeEdgesPerBand && points * per_band >= kBuildPerEdge * double(edges);
    }

    static std::unique_ptr<TreeIndex> for_rings(const StripIndex& strips) {
        std::size_t edges = 0;
        for (const PairsView* r : strips.rings()) edges += static_cast<std::size_t>(r->n);
        if (!all_finite(strips.rings())) return nullptr;
        const double span = strips.y_high() - strips.y_low();
        Bands bands;
        bands.y_low = strips.y_low();
        while (bands.count < (1 << 20) && static_cast<std::size_t>(bands.count) * 4 < edges) {
            bands.count *= 2;
        }
        bands.scale = static_cast<double>(bands.count) / span;
        if (!(span > 0.0) || !std::isfinite(bands.scale)) return nullptr;
        const bool tight =
            (std::fabs(strips.y_low()) + std::fabs(strips.y_high())) * bands.scale <= 0x1p40;
        auto index = std::make_unique<TreeIndex>();
        if (!tight) return nullptr;
        for (const PairsView* r : strips.rings()) index->trees_.emplace_back(*r, bands);
        index->bands_ = bands;
        const TreeIndex& trees = *index;
        index->cells_ = std::make_unique<CleanCells>(
            strips.rings(), [&](double x, double y) { return trees.tree_contains(x, y); });
        return index;
    }

    bool contains(double x, double y) const {
        const std::uint8_t state = cells_->state(x, y);
        if (state != CleanCells::kDirty) return state == CleanCells::kInside;
        return tree_contains(x, y);
    }

  private:
    bool tree_contains(double x, double y) const {
        if (y != y) return false;
        const std::ptrdiff_t b = bands_.of(y);
        if (!trees_[0].odd(x, y, b)) return false;
        for (std::size_t h = 1; h < trees_.size(); ++h) {
            if (trees_[h].odd(x, y, b)) return false;
        }
        return true;
    }

    // The tree pays for itself when the strips would have a point test many
    // edges, and the points are many enough to repay its build, which costs
    // about as much per edge as testing kBuildPerEdge edges.
    static constexpr std::ptrdiff_t kTreeFrom = 2048;
    static constexpr double kTreeEdgesPerBand = 512.0;
    static constexpr double kBuildPerEdge = 1024.0;

    Bands bands_;
    std::vector<CrossingTree> trees_;
    std::unique_ptr<CleanCells> cells_;
};

// From this many points on, sorting them by band costs less than the cache
// misses it saves.
constexpr std::ptrdiff_t kSortFrom = 4096;

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

// f(j, x, y, band) for rows [begin, end) of points, visited band by band (a
// counting sort; NaN heights first as band -1), so that each band's edges
// are read from cache rather than from memory per point.
template <class F>
void by_band(const StripIndex& index, const PairsView& points, std::ptrdiff_t begin,
             std::ptrdiff_t end, F&& f) {
    const std::ptrdiff_t n = end - begin;
    const std::ptrdiff_t bands = index.bands();
    std::vector<std::int32_t> band(scratch_size(n, 1));
    std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(bands) + 2, 0);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        band[j] = static_cast<std::int32_t>(index.band_of_point(points.y(begin + j)));
        ++first[band[j] + 2];
    }
    for (std::ptrdiff_t b = 0; b <= bands; ++b) first[b + 1] += first[b];
    std::vector<std::ptrdiff_t> order(scratch_size(n, 1));
    std::vector<double> xy(scratch_size(n, 2));
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::ptrdiff_t at = first[band[j] + 1]++;
        order[at] = begin + j;
        xy[2 * at] = points.x(begin + j);
        xy[2 * at + 1] = points.y(begin + j);
    }
    std::ptrdiff_t at = 0;
    for (std::ptrdiff_t b = -1; b < bands; ++b) {
        for (const std::ptrdiff_t stop = first[b + 1]; at < stop; ++at) {
            f(order[at], xy[2 * at], xy[2 * at + 1], b);
        }
    }
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
    if (n <= kRingEdgeByEdgeMax) {
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
    if (const auto tree = TreeIndex::for_batch(index, n)) {
        for (std::ptrdiff_t j = 0; j < n; ++j) inside[j] = tree->contains(points.x(j), points.y(j));
        return;
    }
    if (n < kSortFrom || index.bands() == 1) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const double y = points.y(j);
            inside[j] = index.contains(points.x(j), y, index.band_of_point(y));
        }
        return;
    }
    by_band(index, points, 0, n, [&](std::ptrdiff_t j, double x, double y, std::ptrdiff_t b) {
        inside[j] = index.contains(x, y, b);
    });
}

struct RingIndex::Impl {
    std::vector<std::vector<double>> copies;  // outer, then every hole as given
    std::vector<PairsView> views;
    bool has_area = false;
    IndexBuffers buffers;
    std::unique_ptr<StripIndex> strips;  // declared after its buffers: destroyed first
    std::unique_ptr<TreeIndex> tree;
    bool tree_left_out = false;
    mutable double points_without_tree = 0.0;
};

RingIndex::RingIndex(const PairsView& outer, const PairsView* holes, std::size_t n_holes,
                     std::ptrdiff_t first_batch)
    : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.copies.reserve(n_holes + 1);
    d.views.reserve(n_holes + 1);
    for (std::size_t r = 0; r <= n_holes; ++r) {
        const PairsView& ring = r == 0 ? outer : holes[r - 1];
        std::vector<double> c(scratch_size(ring.n, 2));
        for (std::ptrdiff_t i = 0; i < ring.n; ++i) {
            c[2 * i] = ring.x(i);
            c[2 * i + 1] = ring.y(i);
        }
        d.copies.push_back(std::move(c));
        d.views.push_back(PairsView::contiguous(d.copies.back().data(), ring.n));
    }
    d.has_area = ring_has_area(d.views[0]);
    if (!d.has_area) return;
    d.strips = std::make_unique<StripIndex>(d.views[0], d.views.data() + 1, n_holes, d.buffers);
    if (first_batch < 0) {
        d.tree = TreeIndex::for_kept(*d.strips);
    } else {
        d.tree = TreeIndex::for_batch(*d.strips, first_batch);
        d.tree_left_out = !d.tree;
    }
}

bool RingIndex::tree_would_pay(std::ptrdiff_t batch) const noexcept {
    const Impl& d = *impl_;
    if (!d.tree_left_out) return false;
    d.points_without_tree += double(batch);
    return TreeIndex::repaid(*d.strips, d.points_without_tree);
}

RingIndex::~RingIndex() = default;

bool RingIndex::same_source(const PairsView& outer, const PairsView* holes,
                            std::size_t n_holes) const noexcept {
    const Impl& d = *impl_;
    if (n_holes + 1 != d.views.size()) return false;
    for (std::size_t r = 0; r <= n_holes; ++r) {
        const PairsView& ring = r == 0 ? outer : holes[r - 1];
        if (ring.n != d.views[r].n) return false;
        const double* c = d.copies[r].data();
        if (ring.row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
            ring.col_stride_bytes == std::ptrdiff_t(sizeof(double))) {
            // C-contiguous: one comparison of the whole block.
            if (ring.n > 0 && std::memcmp(c, ring.data, 2 * sizeof(double) * ring.n) != 0)
                return false;
            continue;
        }
        for (std::ptrdiff_t i = 0; i < ring.n; ++i) {
            const char* row = ring.data + i * ring.row_stride_bytes;
            if (std::memcmp(c + 2 * i, row, sizeof(double)) != 0 ||
                std::memcmp(c + 2 * i + 1, row + ring.col_stride_bytes, sizeof(double)) != 0)
                return false;
        }
    }
    return true;
}

void RingIndex::contains(const PairsView& points, std::ptrdiff_t begin, std::ptrdiff_t end,
                         bool* inside) const {
    const Impl& d = *impl_;
    if (d.has_area && end - begin >= kSortFrom && d.strips->bands() > 1) {
        by_band(*d.strips, points, begin, end,
                [&](std::ptrdiff_t j, double x, double y, std::ptrdiff_t b) {
                    inside[j] = d.tree ? d.tree->contains(x, y) : d.strips->contains(x, y, b);
                });
        return;
    }
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        const double x = points.x(j), y = points.y(j);
        if (!d.has_area) {
            inside[j] = false;
        } else if (d.tree) {
            inside[j] = d.tree->contains(x, y);
        } else {
            inside[j] = d.strips->contains(x, y, d.strips->band_of_point(y));
        }
    }
}

}  // namespace zelk::core
