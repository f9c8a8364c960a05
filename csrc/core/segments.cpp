#include "core/segments.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"

#include <limits>
#include <vector>

namespace zelk::core {

namespace {

// The segments copied once per call into contiguous columns, so that the
// per-point loop runs over unit-stride data and vectorises.
struct SegmentColumns {
    std::ptrdiff_t n;
    std::vector<double> store;
    const double* p1x;
    const double* p1y;
    const double* vx;
    const double* vy;
    const double* vdv;

    SegmentColumns(const PairsView& p1, const PairsView& v, const ValuesView& v_dot_v)
        : n(p1.n), store(scratch_size(p1.n, 5)) {
        double* base = store.data();
        double* cx = base;
        double* cy = base + n;
        double* dx = base + 2 * n;
        double* dy = base + 3 * n;
        double* dd = base + 4 * n;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            cx[i] = p1.x(i);
            cy[i] = p1.y(i);
            dx[i] = v.x(i);
            dy[i] = v.y(i);
            dd[i] = v_dot_v[i];
        }
        p1x = cx;
        p1y = cy;
        vx = dx;
        vy = dy;
        vdv = dd;
    }
};

// t = clip(((p - p1) . v) / v_dot_v, 0, 1) as NumPy evaluates it: the dot
// product is summed from 0.0 as NumPy's sum does (two -0.0 terms give +0.0),
// a NaN passes through the clip and -0.0 stays -0.0 (that sign reaches w).
inline double clipped_t(double px, double py, double p1x, double p1y, double vx, double vy,
                        double vdv) {
    double t = ((0.0 + (px - p1x) * vx) + (py - p1y) * vy) / vdv;
    t = t < 0.0 ? 0.0 : t;
    return t > 1.0 ? 1.0 : t;
}

// t is computed in one loop and w in another: fused, GCC threads the
// constant bounds of the clip into separate paths and no longer vectorises.

ZELK_VECTOR_CLONES
void select_nearest(const PairsView& points, const SegmentColumns& s, const Metric2 metric,
                    double* __restrict t, double* __restrict q, double* __restrict out) {
    const std::ptrdiff_t n = s.n;
    const double* __restrict p1x = s.p1x;
    const double* __restrict p1y = s.p1y;
    const double* __restrict vx = s.vx;
    const double* __restrict vy = s.vy;
    const double* __restrict vdv = s.vdv;
    for (std::ptrdiff_t j = 0; j < points.n; ++j) {
        const double px = points.x(j);
        const double py = points.y(j);
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            t[i] = clipped_t(px, py, p1x[i], p1y[i], vx[i], vy[i], vdv[i]);
        }
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const double w0 = px - (p1x[i] + t[i] * vx[i]);
            const double w1 = py - (p1y[i] + t[i] * vy[i]);
            const double a0 = metric.m00 * w0 + metric.m01 * w1;
            const double a1 = metric.m10 * w0 + metric.m11 * w1;
            q[i] = w0 * a0 + w1 * a1;
        }
        const std::ptrdiff_t k = argmin_first(q, n);
        out[2 * j] = px - (p1x[k] + t[k] * vx[k]);
        out[2 * j + 1] = py - (p1y[k] + t[k] * vy[k]);
    }
}

ZELK_VECTOR_CLONES
void all_offsets(const double* __restrict xs, const double* __restrict ys, std::ptrdiff_t m,
                 const SegmentColumns& s, double* __restrict t, double* __restrict out) {
    for (std::ptrdiff_t i = 0; i < s.n; ++i) {
        const double p1x = s.p1x[i], p1y = s.p1y[i], vx = s.vx[i], vy = s.vy[i], vdv = s.vdv[i];
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            t[j] = clipped_t(xs[j], ys[j], p1x, p1y, vx, vy, vdv);
        }
        double* __restrict row = out + 2 * i * m;
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            row[2 * j] = xs[j] - (p1x + t[j] * vx);
            row[2 * j + 1] = ys[j] - (p1y + t[j] * vy);
        }
    }
}

}  // namespace

void nearest_segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                             const ValuesView& v_dot_v, const Metric2& metric, double* out) {
    if (points.n <= 0) return;
    if (p1.n <= 0) {
        for (std::ptrdiff_t j = 0; j < 2 * points.n; ++j) {
            out[j] = std::numeric_limits<double>::quiet_NaN();
        }
        return;
    }
    const SegmentColumns segments(p1, v, v_dot_v);
    std::vector<double> scratch(scratch_size(p1.n, 2));
    select_nearest(points, segments, metric, scratch.data(), scratch.data() + p1.n, out);
}

void segment_offsets(const PairsView& points, const PairsView& p1, const PairsView& v,
                     const ValuesView& v_dot_v, double* out) {
    if (points.n <= 0 || p1.n <= 0) return;
    const SegmentColumns segments(p1, v, v_dot_v);
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
