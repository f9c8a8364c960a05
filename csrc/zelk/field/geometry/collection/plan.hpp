// The tree over the members' parts that a collection's query descends, kept
// on the collection between calls.
#pragma once

#include "zelk/field/geometry/collection/picks.hpp"
#include "zelk/field/geometry/shared/native.hpp"

#include "core/box_tree.hpp"
#include "core/metric_bound.hpp"

#include <memory>
#include <vector>

namespace zelk::collection {

// What every range of points shares: the tree over the members' parts and
// the members it cannot hold (asked for every point).
struct Plan {
    core::BoxTree tree;
    std::vector<std::ptrdiff_t> always;
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
