// The tree over the members' parts that a collection's query descends, kept
// on the collection between calls.
#pragma once

#include "zelk/field/geometry/collection/picks.hpp"
#include "zelk/field/geometry/shared/native.hpp"

#include "core/box_tree.hpp"
#include "core/free_cells.hpp"
#include "core/metric_bound.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace zelk::collection {

// One index over every member's segments, tagged by member, for a
// collection whose members all choose their segment under one metric that
// every pick measures by too: a point's nearest segment then names the
// member to pick, up to the rounding of the pick's evaluation order, which
// the index's window covers. Polygons also answer zero inside their rings:
// their outer boxes are binned on a coarse grid of cells for that test.
struct Joint {
    core::SegmentIndex segments;
    core::Metric2 metric;
    core::MetricBound bound;
    // Per polygon member: its number and its outer ring's box (lo x, lo y,
    // hi x, hi y); per cell, the polygons whose box meets it.
    std::vector<std::ptrdiff_t> polygon;
    std::vector<double> box;
    double origin[2] = {0.0, 0.0}, to_cell[2] = {0.0, 0.0};
    int cells[2] = {0, 0};
    std::vector<std::uint32_t> cell_start, cell_polygons;
    // Where no segment comes near: a point there that a polygon holds has
    // no other member's form within the window of 0, in any order. Only
    // for points within free_scale, which the margin was worked out for.
    core::FreeCells free;
    double free_scale = 0.0;

    Joint(const core::PairsView& p1, const core::PairsView& v, const core::ValuesView& vdv,
          const core::Metric2& m)
        : segments(p1, v, vdv), metric(m), bound(m) {}
    // The cell of a finite point, clamped to the grid; the same monotone
    // formula bins the boxes, so a point in a box lies in one of its cells.
    int cell_of(double x, double y) const {
        const auto axis = [&](int c, double p) {
            const double f = (p - origin[c]) * to_cell[c];
            return f >= 0.0 ? (f < cells[c] ? int(f) : cells[c] - 1) : 0;
        };
        return axis(1, y) * cells[0] + axis(0, x);
    }
    bool far_from_segments(double x, double y) const {
        return std::fabs(x) <= free_scale && std::fabs(y) <= free_scale && free.free(x, y);
    }
};

// What every range of points shares: the tree over the members' parts and
// the members it cannot hold (asked for every point), and the joint index
// where the members allow one.
struct Plan {
    core::BoxTree tree;
    std::vector<std::ptrdiff_t> always;
    std::unique_ptr<Joint> joint;
};

// A plan with the bounds its tree points into, for one set of pick metrics.
struct KeptPlan {
    int forms = 0;
    std::vector<core::Metric2> metric[core::kMaxForms];
    std::vector<core::MetricBound> bound[core::kMaxForms];
    std::unique_ptr<Plan> plan;
};

// The plan kept in `slot` for these members and picks, built and kept now
// when there is none or what it was built from differs in any object or
// byte. Empty with an exception set when the capsule cannot be made; throws
// std::bad_alloc. Runs no Python code (a capsule is not tracked by the
// collector and its destructor is ours).
std::shared_ptr<const KeptPlan> kept_plan(PyObject** slot, PyObject* rgjs,
                                          const std::vector<NativeView>& members,
                                          const std::vector<Pick>& picks);

}  // namespace zelk::collection
