// A static k-d tree over a point set, answering the nearest point under a
// 2x2 metric exactly as the brute-force scan of core/points.hpp does.
//
// Every candidate's form is form_vector_matrix(metric, p - x) as in the scan; a node
// is skipped only when a lower bound of that computed form, safe against
// rounding, is strictly greater than the best form found so far, so the point
// the scan chooses is always reached. Ties go to the lowest point index, as in
// the scan. The bound needs a positive definite symmetric part and moderate
// magnitudes; NaN or infinite coordinates, an indefinite, singular or
// non-finite metric and huge values fall back to the scan (per query point
// where only that query is at fault), which keeps NumPy's NaN rule.
#pragma once

#include "core/points.hpp"
#include "core/views.hpp"

#include <cstdint>
#include <vector>

namespace zelk::core {

class PointIndex {
  public:
    // Copies the points (the index never reads the view again) and builds the
    // tree. pts.n >= 1. Throws std::bad_alloc only.
    explicit PointIndex(const PairsView& pts);

    std::ptrdiff_t size() const noexcept { return n_; }

    // Whether a search under `metric` can skip nodes at all (otherwise
    // nearest() scans every point for every query).
    static bool prunes(const Metric2& metric) noexcept;

    // Whether `pts` holds exactly the points the index was built from: the
    // same count and the same bits. For reusing a cached index.
    bool same_source(const PairsView& pts) const noexcept;

    // The nearest point for the query rows [begin, end), written to row i of
    // `out` (absolute row numbers), exactly as scan_nearest_points over the
    // same points writes it. Const and safe to call from several threads on
    // disjoint row ranges. Throws std::bad_alloc only (the scan's scratch).
    void nearest(const PairsView& queries, const Metric2& metric, std::ptrdiff_t begin,
                 std::ptrdiff_t end, const NearestOut& out) const;

    // The tree's layout, for its search.
    struct Node {
        double lo0, lo1, hi0, hi1;  // tight box of the points below
        std::int32_t begin, end;    // range in the tree order
        std::int32_t left;          // first child (the second is left + 1); 0 for a leaf
        std::int32_t pad;
    };

  private:
    void build();

    std::ptrdiff_t n_;
    std::vector<double> px_, py_;      // the points in their own order
    std::vector<double> tx_, ty_;      // the points in tree order
    std::vector<std::int32_t> order_;  // tree position -> point index
    std::vector<Node> nodes_;
    double reach_;  // largest |coordinate|, or infinity when one is not finite
};

// Whether building an index over `points` pays for a batch of `queries`
// query points (one query point never builds one).
bool point_index_pays(std::ptrdiff_t points, std::ptrdiff_t queries) noexcept;

// The nearest point of `pts` for each query row in [begin, end), through an
// index when it pays and the scan otherwise; same answers either way.
// For callers holding one member's points (a PointRGJ is a set of one).
// Throws std::bad_alloc only.
void nearest_points(const PairsView& queries, const PairsView& pts, const Metric2& metric,
                    std::ptrdiff_t begin, std::ptrdiff_t end, const NearestOut& out);

}  // namespace zelk::core
