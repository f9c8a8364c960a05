// C entry points over the numeric core for tests that load it with ctypes:
// the point-set kernels and the unselected segment offsets have no Python
// binding of their own in this package.
#include "core/parallel.hpp"
#include "core/point_index.hpp"
#include "core/points.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"
#include "core/segments.hpp"

#include <new>
#include <stdexcept>
#include <vector>

using zelk::core::Metric2;
using zelk::core::PairsView;
using zelk::core::ValuesView;

namespace {
PairsView view(const char* data, long n, long row, long col) {
    return {data, n, row, col};
}
Metric2 metric_of(const double* m) {
    return {m[0], m[1], m[2], m[3]};
}
}  // namespace

extern "C" {

int harness_nearest_point(const char* q, long qn, long qr, long qc, const char* p, long pn, long pr,
                          long pc, const double* m, double* out) {
    try {
        zelk::core::nearest_point_offsets(view(q, qn, qr, qc), view(p, pn, pr, pc), metric_of(m),
                                          out);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// The nearest point for the query rows [begin, end) through a k-d tree
// (use_index) or the scan of every point: offsets, point index and form.
int harness_point_index(const char* q, long qn, long qr, long qc, const char* p, long pn, long pr,
                        long pc, const double* m, int use_index, long begin, long end,
                        double* offsets, long* index, double* form) {
    static_assert(sizeof(long) == sizeof(std::ptrdiff_t), "index rows are long");
    try {
        const PairsView queries = view(q, qn, qr, qc), pts = view(p, pn, pr, pc);
        zelk::core::NearestOut out;
        out.offsets = offsets;
        out.index = reinterpret_cast<std::ptrdiff_t*>(index);
        out.form = form;
        if (use_index) {
            zelk::core::PointIndex(pts).nearest(queries, metric_of(m), begin, end, out);
        } else {
            std::vector<double> xs(pn), ys(pn);
            for (long i = 0; i < pn; ++i) {
                xs[i] = pts.x(i);
                ys[i] = pts.y(i);
            }
            zelk::core::scan_nearest_points(queries, begin, end, xs.data(), ys.data(), pn,
                                            metric_of(m), out);
        }
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// Whether an index built over p would be reused for p2 (same count, same bits).
int harness_point_index_same_source(const char* p, long pn, long pr, long pc, const char* p2,
                                    long pn2, long pr2, long pc2) {
    try {
        return zelk::core::PointIndex(view(p, pn, pr, pc)).same_source(view(p2, pn2, pr2, pc2));
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int harness_point_offsets(const char* q, long qn, long qr, long qc, const char* p, long pn, long pr,
                          long pc, double* out) {
    try {
        zelk::core::point_offsets(view(q, qn, qr, qc), view(p, pn, pr, pc), out);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int harness_nearest_segment(const char* q, long qn, long qr, long qc, const double* p1,
                            const double* v, const double* vdv, long s, const double* m,
                            double* out) {
    try {
        zelk::core::nearest_segment_offsets(view(q, qn, qr, qc), PairsView::contiguous(p1, s),
                                            PairsView::contiguous(v, s),
                                            ValuesView::contiguous(vdv, s), metric_of(m), out);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int harness_segment_offsets(const char* q, long qn, long qr, long qc, const double* p1,
                            const double* v, const double* vdv, long s, double* out) {
    try {
        zelk::core::segment_offsets(view(q, qn, qr, qc), PairsView::contiguous(p1, s),
                                    PairsView::contiguous(v, s), ValuesView::contiguous(vdv, s),
                                    out);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// parallel_for over rows [0, n) on `threads` threads in `pieces` ranges: each
// row adds 1 to hits[row], and the range holding row `fail_at` (when >= 0)
// throws after counting its rows. Returns 1 when the exception reached the
// caller, 0 when none was thrown, -1 for anything else.
int harness_parallel_for(long n, int threads, long pieces, long fail_at, long* hits) {
    try {
        zelk::core::parallel_for(n, threads, pieces, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end; ++i) ++hits[i];
            if (begin <= fail_at && fail_at < end) throw std::runtime_error("range failed");
        });
    } catch (const std::runtime_error&) {
        return 1;
    } catch (...) {
        return -1;
    }
    return 0;
}

// Builds an index over the contiguous segments, answers rows [begin, end)
// with the chosen segment, its form and its offset, and tells whether the
// second set of arrays is the index's source.
int harness_segment_index(const char* q, long qn, long qr, long qc, const double* p1,
                          const double* v, const double* vdv, long s, const double* m, long begin,
                          long end, std::ptrdiff_t* chosen, double* form, double* out,
                          const double* p1b, const double* vb, const double* vdvb, int* same) {
    try {
        const zelk::core::SegmentIndex index(PairsView::contiguous(p1, s),
                                             PairsView::contiguous(v, s),
                                             ValuesView::contiguous(vdv, s));
        index.nearest(view(q, qn, qr, qc), metric_of(m), begin, end, chosen, form, out);
        *same = index.same_source(PairsView::contiguous(p1b, s), PairsView::contiguous(vb, s),
                                  ValuesView::contiguous(vdvb, s));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// A kept ring index over the contiguous outer ring and hole (hk == 0: no
// hole) answers rows [begin, end), and tells whether `outer2` (k rows) with
// the same hole is its source.
int harness_ring_index(const char* q, long qn, long qr, long qc, const double* outer, long k,
                       const double* hole, long hk, long begin, long end, bool* inside,
                       const double* outer2, int* same) {
    try {
        const PairsView holes[1] = {PairsView::contiguous(hole, hk)};
        const zelk::core::RingIndex index(PairsView::contiguous(outer, k), holes, hk > 0 ? 1 : 0);
        index.contains(view(q, qn, qr, qc), begin, end, inside);
        *same = index.same_source(PairsView::contiguous(outer2, k), holes, hk > 0 ? 1 : 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}
}
