#include "core/segments.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/forms.hpp"

#include <algorithm>
#include <vector>

namespace zelk::core {

namespace {

// t = clip(((p - p1) . v) / v_dot_v, 0, 1) as NumPy evaluates it: the dot
// product is summed from 0.0 as NumPy's sum does (two -0.0 terms give +0.0),
// a NaN passes through the clip and -0.0 stays -0.0 (that sign reaches w).
inline double clipped_t(double px, double py, double p1x, double p1y, double vx, double vy,
                        double vdv) {
    double t = ((0.0 + (px - p1x) * vx) + (py - p1y) * vy) / vdv;
    t = t < 0.0 ? 0.0 : t;
    return t > 1.0 ? 1.0 : t;
}

// One coordinate of w = p - (p1 + t * v).
inline double offset(double p, double p1, double t, double v) {
    return p - (p1 + t * v);
}

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

// The segments read in place from C-contiguous (S, 2), (S, 2), (S,) arrays at
// any alignment: fixed strides, so the loops still vectorise.
struct Contiguous {
    const char* p1;
    const char* v;
    const char* v_dot_v;

    static constexpr std::ptrdiff_t kD = sizeof(double);
    double p1x(std::ptrdiff_t i) const { return load_double(p1 + 2 * kD * i); }
    double p1y(std::ptrdiff_t i) const { return load_double(p1 + 2 * kD * i + kD); }
    double vx(std::ptrdiff_t i) const { return load_double(v + 2 * kD * i); }
    double vy(std::ptrdiff_t i) const { return load_double(v + 2 * kD * i + kD); }
    double vdv(std::ptrdiff_t i) const { return load_double(v_dot_v + kD * i); }

    static bool fits(const PairsView& a, const PairsView& b, const ValuesView& c) {
        return a.row_stride_bytes == 2 * kD && a.col_stride_bytes == kD &&
               b.row_stride_bytes == 2 * kD && b.col_stride_bytes == kD && c.stride_bytes == kD;
    }
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

// For each of P points p and each segment i = first + k, k < count:
// q[p * ld + k] = w . (metric w), with t[p * ld + k] as scratch. Each
// segment's values are loaded once for all P points. t is computed in one
// loop and w in another: fused, GCC threads the constant bounds of the clip
// into separate paths and no longer vectorises.
template <int P, class Segments>
ZELK_CLONE_INLINE void forms(const Segments& s, std::ptrdiff_t first, std::ptrdiff_t count,
                             const double (&px)[P], const double (&py)[P], const Metric2& metric,
                             double* __restrict t, double* __restrict q, std::ptrdiff_t ld) {
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::ptrdiff_t i = first + k;
        const double p1x = s.p1x(i), p1y = s.p1y(i), vx = s.vx(i), vy = s.vy(i), vdv = s.vdv(i);
        for (int p = 0; p < P; ++p) t[p * ld + k] = clipped_t(px[p], py[p], p1x, p1y, vx, vy, vdv);
    }
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const std::ptrdiff_t i = first + k;
        const double p1x = s.p1x(i), p1y = s.p1y(i), vx = s.vx(i), vy = s.vy(i);
        for (int p = 0; p < P; ++p) {
            const double tk = t[p * ld + k];
            q[p * ld + k] =
                form_matrix_vector(metric, offset(px[p], p1x, tk, vx), offset(py[p], p1y, tk, vy));
        }
    }
}

// Writes w of point (px, py) and segment i to out[0], out[1].
template <class Segments>
ZELK_CLONE_INLINE void write_offset(const Segments& s, std::ptrdiff_t i, double px, double py,
                                    double* out) {
    const double t = clipped_t(px, py, s.p1x(i), s.p1y(i), s.vx(i), s.vy(i), s.vdv(i));
    out[0] = offset(px, s.p1x(i), t, s.vx(i));
    out[1] = offset(py, s.p1y(i), t, s.vy(i));
}

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

void nearest_segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                             const ValuesView& v_dot_v, const Metric2& metric, double* out) {
    if (points.n <= 0) return;
    if (p1.n <= 0) return no_candidate(out, points.n);
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
