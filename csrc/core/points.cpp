#include "core/points.hpp"

#include "core/argmin.hpp"
#include "core/clones.hpp"
#include "core/forms.hpp"

#include <vector>

namespace zelk::core {

namespace {

// Copies the (n, 2) view into two contiguous columns xs, ys (xs + n == ys).
std::vector<double> columns_of(const PairsView& v) {
    std::vector<double> c(scratch_size(v.n, 2));
    for (std::ptrdiff_t i = 0; i < v.n; ++i) {
        c[i] = v.x(i);
        c[v.n + i] = v.y(i);
    }
    return c;
}

ZELK_VECTOR_CLONES
void select_nearest(const PairsView& queries, std::ptrdiff_t begin, std::ptrdiff_t end,
                    const double* __restrict px, const double* __restrict py, std::ptrdiff_t n,
                    const Metric2 metric, double* __restrict q, const NearestOut out) {
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const double x0 = queries.x(i);
        const double x1 = queries.y(i);
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            q[j] = form_vector_matrix(metric, px[j] - x0, py[j] - x1);
        }
        const std::ptrdiff_t k = argmin_first(q, n);
        if (out.offsets) {
            out.offsets[2 * i] = px[k] - x0;
            out.offsets[2 * i + 1] = py[k] - x1;
        }
        if (out.index) out.index[i] = k;
        if (out.form) out.form[i] = q[k];
    }
}

ZELK_VECTOR_CLONES
void all_offsets(const double* __restrict xs, const double* __restrict ys, std::ptrdiff_t m,
                 const double* __restrict px, const double* __restrict py, std::ptrdiff_t n,
                 double* __restrict out) {
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        double* __restrict row = out + 2 * j * m;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            row[2 * i] = px[j] - xs[i];
            row[2 * i + 1] = py[j] - ys[i];
        }
    }
}

}  // namespace

void nearest_point_offsets(const PairsView& queries, const PairsView& pts, const Metric2& metric,
                           double* out) {
    if (queries.n <= 0) return;
    if (pts.n <= 0) return no_candidate(out, queries.n);
    const std::vector<double> p = columns_of(pts);
    NearestOut to;
    to.offsets = out;
    scan_nearest_points(queries, 0, queries.n, p.data(), p.data() + pts.n, pts.n, metric, to);
}

void scan_nearest_points(const PairsView& queries, std::ptrdiff_t begin, std::ptrdiff_t end,
                         const double* px, const double* py, std::ptrdiff_t n,
                         const Metric2& metric, const NearestOut& out) {
    if (begin >= end) return;
    std::vector<double> q(scratch_size(n, 1));
    select_nearest(queries, begin, end, px, py, n, metric, q.data(), out);
}

void point_offsets(const PairsView& queries, const PairsView& pts, double* out) {
    if (queries.n <= 0 || pts.n <= 0) return;
    const std::vector<double> x = columns_of(queries);
    const std::vector<double> p = columns_of(pts);
    all_offsets(x.data(), x.data() + queries.n, queries.n, p.data(), p.data() + pts.n, pts.n, out);
}

}  // namespace zelk::core
