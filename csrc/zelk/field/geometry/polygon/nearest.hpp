// The nearest-segment selection of kernels.segment_repulsion_vectors, for a
// batch too small to pay for core::nearest_segment_offsets copying every
// segment into fresh columns on each call. The segments are read in blocks
// that stay in cache while every point of the batch is tested against them.
// Each value is computed with the core's expressions in the core's order
// (no FMA in either), and the running minimum follows numpy.argmin (first
// of equal minima, first NaN wins), so the result is the same bit for bit.
#pragma once

#include "core/clones.hpp"
#include "core/segments.hpp"

#include <algorithm>
#include <cstddef>

namespace zelk {
namespace polygon_nearest {

// Up to this many points are tested block by block.
constexpr std::ptrdiff_t kBlockedMax = 64;
constexpr std::ptrdiff_t kBlock = 256;

namespace {

// A block of segments in columns, so that the loops below run over
// unit-stride data and vectorise.
struct Block {
    double p1x[kBlock], p1y[kBlock], vx[kBlock], vy[kBlock], vdv[kBlock];
};

// The dot product is summed from 0.0, as NumPy's sum does it (two -0.0 terms
// give +0.0); that sign can reach the offset.
inline double clipped_t(double px, double py, double p1x, double p1y, double vx, double vy,
                        double vdv) {
    double t = ((0.0 + (px - p1x) * vx) + (py - p1y) * vy) / vdv;
    t = t < 0.0 ? 0.0 : t;
    return t > 1.0 ? 1.0 : t;
}

inline bool is_contiguous(const core::PairsView& a) {
    return a.row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
           a.col_stride_bytes == std::ptrdiff_t(sizeof(double));
}

// Segments [first, first + nb) of C-contiguous (S, 2), (S, 2), (S,) arrays.
ZELK_VECTOR_CLONES
void load_contiguous(const double* __restrict p1, const double* __restrict v,
                     const double* __restrict vdv, std::ptrdiff_t first, std::ptrdiff_t nb,
                     Block& b) {
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        b.p1x[j] = p1[2 * (first + j)];
        b.p1y[j] = p1[2 * (first + j) + 1];
        b.vx[j] = v[2 * (first + j)];
        b.vy[j] = v[2 * (first + j) + 1];
        b.vdv[j] = vdv[first + j];
    }
}

// q[j] = w . (metric w) for the point and the block's segments.
ZELK_VECTOR_CLONES
void block_forms(const Block& b, std::ptrdiff_t nb, double px, double py,
                 const core::Metric2 metric, double* __restrict t, double* __restrict q) {
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        t[j] = clipped_t(px, py, b.p1x[j], b.p1y[j], b.vx[j], b.vy[j], b.vdv[j]);
    }
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const double w0 = px - (b.p1x[j] + t[j] * b.vx[j]);
        const double w1 = py - (b.p1y[j] + t[j] * b.vy[j]);
        const double a0 = metric.m00 * w0 + metric.m01 * w1;
        const double a1 = metric.m10 * w0 + metric.m11 * w1;
        q[j] = w0 * a0 + w1 * a1;
    }
}

// The smallest of q[0..nb) when none is NaN (four running minima, so the
// comparisons do not wait on each other); false when a NaN is present.
inline bool block_min(const double* q, std::ptrdiff_t nb, double& out) {
    double m[4] = {q[0], q[0], q[0], q[0]};
    bool nan = false;
    std::ptrdiff_t j = 0;
    for (; j + 4 <= nb; j += 4) {
        for (int l = 0; l < 4; ++l) {
            const double x = q[j + l];
            m[l] = x < m[l] ? x : m[l];
            nan |= x != x;
        }
    }
    for (; j < nb; ++j) {
        m[0] = q[j] < m[0] ? q[j] : m[0];
        nan |= q[j] != q[j];
    }
    const double a = m[1] < m[0] ? m[1] : m[0];
    const double b = m[3] < m[2] ? m[3] : m[2];
    out = b < a ? b : a;
    return !nan && q[0] == q[0];
}

// numpy.argmin carried across blocks.
struct RunningMin {
    double low = 0.0;
    std::ptrdiff_t best = -1;
    bool settled = false;  // a NaN was met: it stays chosen

    void scan(const double* q, std::ptrdiff_t nb, std::ptrdiff_t first) {
        double m;
        if (block_min(q, nb, m)) {
            // Without NaN the first index holding the block's minimum is the
            // one a scan by strict comparison would keep.
            if (best >= 0 && !(m < low)) return;
            std::ptrdiff_t j = 0;
            while (!(q[j] == m)) ++j;
            low = q[j];
            best = first + j;
            return;
        }
        for (std::ptrdiff_t j = 0; j < nb && !settled; ++j) {
            const double x = q[j];
            if (best < 0) {
                low = x;
                best = first + j;
                settled = x != x;
            } else if (x < low) {
                low = x;
                best = first + j;
            } else if (x != x) {
                best = first + j;
                settled = true;
            }
        }
    }
};

}  // namespace

// out[2j], out[2j+1]: the offset of point j from its nearest segment, as
// core::nearest_segment_offsets gives it. Needs p1.n >= 1, v and v_dot_v of
// p1.n rows, points.n <= kBlockedMax, and views of aligned float64 arrays.
inline void blocked_offsets(const core::PairsView& points, const core::PairsView& p1,
                            const core::PairsView& v, const core::ValuesView& v_dot_v,
                            const core::Metric2& metric, double* out) {
    RunningMin found[kBlockedMax];
    // The cache arrays are C-contiguous as built; anything else is read
    // through the views.
    const bool contiguous = is_contiguous(p1) && is_contiguous(v) &&
                            v_dot_v.stride_bytes == std::ptrdiff_t(sizeof(double));
    Block block;
    double t[kBlock], q[kBlock];
    for (std::ptrdiff_t first = 0; first < p1.n; first += kBlock) {
        const std::ptrdiff_t nb = std::min(kBlock, p1.n - first);
        if (contiguous) {
            load_contiguous(reinterpret_cast<const double*>(p1.data),
                            reinterpret_cast<const double*>(v.data),
                            reinterpret_cast<const double*>(v_dot_v.data), first, nb, block);
        } else {
            for (std::ptrdiff_t j = 0; j < nb; ++j) {
                block.p1x[j] = p1.x(first + j);
                block.p1y[j] = p1.y(first + j);
                block.vx[j] = v.x(first + j);
                block.vy[j] = v.y(first + j);
                block.vdv[j] = v_dot_v[first + j];
            }
        }
        for (std::ptrdiff_t k = 0; k < points.n; ++k) {
            if (found[k].settled) continue;
            block_forms(block, nb, points.x(k), points.y(k), metric, t, q);
            found[k].scan(q, nb, first);
        }
    }
    for (std::ptrdiff_t k = 0; k < points.n; ++k) {
        const std::ptrdiff_t i = found[k].best;
        const double px = points.x(k), py = points.y(k);
        const double p1x = p1.x(i), p1y = p1.y(i), vx = v.x(i), vy = v.y(i);
        const double ti = clipped_t(px, py, p1x, p1y, vx, vy, v_dot_v[i]);
        out[2 * k] = px - (p1x + ti * vx);
        out[2 * k + 1] = py - (p1y + ti * vy);
    }
}

// Either this or the core's routine, by batch size.
inline void nearest_offsets(const core::PairsView& points, const core::PairsView& p1,
                            const core::PairsView& v, const core::ValuesView& v_dot_v,
                            const core::Metric2& metric, double* out) {
    if (points.n <= kBlockedMax) {
        blocked_offsets(points, p1, v, v_dot_v, metric, out);
    } else {
        core::nearest_segment_offsets(points, p1, v, v_dot_v, metric, out);
    }
}

}  // namespace polygon_nearest
}  // namespace zelk
