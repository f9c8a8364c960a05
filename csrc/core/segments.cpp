#include "core/segments.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/metric_bound.hpp"
#include "core/segment_index.hpp"
#include "core/segment_scan.hpp"

#include <algorithm>
#include <vector>

namespace zelk::core {

namespace {

using namespace segment_scan;

// The segments copied once per call into contiguous columns, so that the
// per-point loop runs over unit-stride data and vectorises.
class Columns {
  public:
    Columns(const PairsView& p1, const PairsView& v, const ValuesView& v_dot_v)
        : n_(p1.n), store_(scratch_size(p1.n, 5)) {
        double* c = store_.data();
        for (std::ptrdiff_t i = 0; i < n_; ++i) {
            c[i] = p1.x(i);
            c[n_ + i] = p1.y(i);
            c[2 * n_ + i] = v.x(i);
            c[3 * n_ + i] = v.y(i);
            c[4 * n_ + i] = v_dot_v[i];
        }
    }
    std::ptrdiff_t size() const { return n_; }
    double p1x(std::ptrdiff_t i) const { return store_[i]; }
    double p1y(std::ptrdiff_t i) const { return store_[n_ + i]; }
    double vx(std::ptrdiff_t i) const { return store_[2 * n_ + i]; }
    double vy(std::ptrdiff_t i) const { return store_[3 * n_ + i]; }
    double vdv(std::ptrdiff_t i) const { return store_[4 * n_ + i]; }

  private:
    std::ptrdiff_t n_;
    std::vector<double> store_;
};

// The segments read in place through views of any strides.
struct Strided {
    PairsView p1, v;
    ValuesView v_dot_v;

    double p1x(std::ptrdiff_t i) const { return p1.x(i); }
    double p1y(std::ptrdiff_t i) const { return p1.y(i); }
    double vx(std::ptrdiff_t i) const { return v.x(i); }
    double vy(std::ptrdiff_t i) const { return v.y(i); }
    double vdv(std::ptrdiff_t i) const { return v_dot_v[i]; }
};

// Large batches: every segment for one point after the other, over columns.
ZELK_VECTOR_CLONES
void select_nearest(const PairsView& points, const Columns& s, const Metric2 metric,
                    double* __restrict t, double* __restrict q, double* __restrict out) {
    const std::ptrdiff_t n = s.size();
    for (std::ptrdiff_t j = 0; j < points.n; ++j) {
        const double px[1] = {points.x(j)};
        const double py[1] = {points.y(j)};
        forms(s, 0, n, px, py, metric, t, q, 0);
        write_offset(s, argmin_first(q, n), px[0], py[0], out + 2 * j);
    }
}

// Small batches read the segments in place, a block at a time for every
// point, so that each block is fetched from memory once; the points go in
// groups, so that each segment is loaded once per group (larger groups spill
// registers).
constexpr std::ptrdiff_t kInPlaceMax = 128;
constexpr std::ptrdiff_t kBlock = 256;
constexpr int kGroup = 8;

// numpy.argmin carried across blocks visited in index order.
struct RunningArgmin {
    double low;
    std::ptrdiff_t best;  // -1 before the first block
    bool settled;         // a NaN was met: it stays chosen

    void add(const double* q, std::ptrdiff_t count, std::ptrdiff_t first) {
        if (settled) return;
        const MinScan s = min_scan(q, count);
        if (s.nan) {
            best = first + argmin_at(q, s);
            settled = true;
        } else if (best < 0 || s.low < low) {  // strict: a tie keeps the lower index
            low = s.low;
            best = first + argmin_at(q, s);
        }
    }
};

// Points [j, points.n) against segments [first, first + count): in groups
// of P points while they last, then of P / 2, and so on down to one.
template <int P, class Segments>
ZELK_CLONE_INLINE void scan_block(const PairsView& points, std::ptrdiff_t j, const Segments& s,
                                  std::ptrdiff_t first, std::ptrdiff_t count, const Metric2& metric,
                                  double* t, double* q, RunningArgmin* found) {
    for (; j + P <= points.n; j += P) {
        double px[P], py[P];
        for (int p = 0; p < P; ++p) {
            px[p] = points.x(j + p);
            py[p] = points.y(j + p);
        }
        forms(s, first, count, px, py, metric, t, q, kBlock);
        for (int p = 0; p < P; ++p) found[j + p].add(q + p * kBlock, count, first);
    }
    if constexpr (P > 1) scan_block<P / 2>(points, j, s, first, count, metric, t, q, found);
}

template <class Segments>
ZELK_CLONE_INLINE void select_nearest_in_place(const PairsView& points, const Segments& s,
                                               std::ptrdiff_t n, const Metric2& metric,
                                               double* out) {
    RunningArgmin found[kInPlaceMax];
    for (std::ptrdiff_t j = 0; j < points.n; ++j) found[j] = {0.0, -1, false};
    double t[kGroup * kBlock], q[kGroup * kBlock];
    for (std::ptrdiff_t first = 0; first < n; first += kBlock) {
        const std::ptrdiff_t count = std::min(kBlock, n - first);
        scan_block<kGroup>(points, 0, s, first, count, metric, t, q, found);
    }
    for (std::ptrdiff_t j = 0; j < points.n; ++j) {
        write_offset(s, found[j].best, points.x(j), points.y(j), out + 2 * j);
    }
}

ZELK_VECTOR_CLONES
void select_nearest_contiguous(const PairsView& points, const Contiguous s, std::ptrdiff_t n,
                               const Metric2 metric, double* out) {
    select_nearest_in_place(points, s, n, metric, out);
}

ZELK_VECTOR_CLONES
void select_nearest_strided(const PairsView& points, const Strided& s, std::ptrdiff_t n,
                            const Metric2 metric, double* out) {
    select_nearest_in_place(points, s, n, metric, out);
}

ZELK_VECTOR_CLONES
void all_offsets(const double* __restrict xs, const double* __restrict ys, std::ptrdiff_t m,
                 const Columns& s, double* __restrict t, double* __restrict out) {
    for (std::ptrdiff_t i = 0; i < s.size(); ++i) {
        const double p1x = s.p1x(i), p1y = s.p1y(i), vx = s.vx(i), vy = s.vy(i), vdv = s.vdv(i);
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            t[j] = clipped_t(xs[j], ys[j], p1x, p1y, vx, vy, vdv);
        }
        double* __restrict row = out + 2 * i * m;
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            row[2 * j] = offset(xs[j], p1x, t[j], vx);
            row[2 * j + 1] = offset(ys[j], p1y, t[j], vy);
        }
    }
}

}  // namespace

namespace {

void scan_nearest(const PairsView& points, const PairsView& p1, const PairsView& v,
                  const ValuesView& v_dot_v, const Metric2& metric, double* out) {
    // Rows broadcast with a zero stride in all three arrays can claim more
    // segments than memory holds: the copying path refuses those as an
    // allocation failure rather than looping over them.
    const bool rows_in_memory =
        p1.row_stride_bytes != 0 || v.row_stride_bytes != 0 || v_dot_v.stride_bytes != 0;
    if (points.n <= kInPlaceMax && rows_in_memory) {
        if (Contiguous::fits(p1, v, v_dot_v)) {
            select_nearest_contiguous(points, Contiguous{p1.data, v.data, v_dot_v.data}, p1.n,
                                      metric, out);
        } else {
            select_nearest_strided(points, Strided{p1, v, v_dot_v}, p1.n, metric, out);
        }
        return;
    }
    const Columns segments(p1, v, v_dot_v);
    std::vector<double> scratch(scratch_size(p1.n, 2));
    select_nearest(points, segments, metric, scratch.data(), scratch.data() + p1.n, out);
}

// Whether building an index for this one call costs less than it saves:
// a build costs about as much as scanning every segment for kBuildPoints
// points, and a few points are never worth it.
constexpr std::ptrdiff_t kBuildPoints = 160;
constexpr std::ptrdiff_t kIndexMinSegments = 64;

bool index_repays(std::ptrdiff_t points, std::ptrdiff_t segments) {
    return points >= kBuildPoints && segments >= kIndexMinSegments;
}

}  // namespace

void nearest_segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                             const ValuesView& v_dot_v, const Metric2& metric, double* out,
                             const SegmentIndex* index) {
    if (points.n <= 0) return;
    if (p1.n <= 0) return no_candidate(out, points.n);
    if (index) {
        // The index's own copy holds the same values as the arrays. A few
        // segments are scanned faster than the tree is walked.
        if (p1.n >= kIndexMinSegments && index->prunes(metric)) {
            return index->nearest_offsets(points, metric, 0, points.n, out);
        }
        return scan_nearest(points, index->p1(), index->v(), index->v_dot_v(), metric, out);
    }
    const bool rows_in_memory =
        p1.row_stride_bytes != 0 || v.row_stride_bytes != 0 || v_dot_v.stride_bytes != 0;
    if (rows_in_memory && index_repays(points.n, p1.n) && MetricBound(metric).usable()) {
        const SegmentIndex built(p1, v, v_dot_v);
        if (built.prunes(metric)) return built.nearest_offsets(points, metric, 0, points.n, out);
    }
    scan_nearest(points, p1, v, v_dot_v, metric, out);
}

void segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                     const ValuesView& v_dot_v, double* out) {
    if (points.n <= 0 || p1.n <= 0) return;
    const Columns segments(p1, v, v_dot_v);
    // The points are read S times, so they are made contiguous once.
    std::vector<double> columns(scratch_size(points.n, 3));
    double* xs = columns.data();
    double* ys = xs + points.n;
    for (std::ptrdiff_t j = 0; j < points.n; ++j) {
        xs[j] = points.x(j);
        ys[j] = points.y(j);
    }
    all_offsets(xs, ys, points.n, segments, ys + points.n, out);
}

}  // namespace zelk::core
