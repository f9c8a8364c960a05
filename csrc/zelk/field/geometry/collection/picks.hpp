// A pick over the collection's members: per query point the member with the
// smallest form of its vector, with the evaluation order and tie rule of the
// general path that the pick stands for.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

#include "core/forms.hpp"

#include <cstddef>
#include <vector>

namespace zelk::collection {

// The evaluation order of a pick's form, as the general path evaluates it.
enum class Order {
    VectorMatrixFromZero,  // the members' squared_dist
    MatrixVector,          // the collection's pick among the members' vectors
};

inline double form(Order order, const core::Metric2& m, double d0, double d1) {
    return order == Order::VectorMatrixFromZero ? core::form_vector_matrix_from_zero(m, d0, d1)
                                                : core::form_matrix_vector(m, d0, d1);
}

// Which of equal values stays: NumPy's argmin keeps the first member, the
// collection's np.min loop lets a later equal one replace it (the sign of a
// zero). Either way the first NaN, once there is one, stays.
enum class Ties { First, Last };

inline bool replaces(Ties ties, double v, std::ptrdiff_t i, double best, std::ptrdiff_t at) {
    if (at < 0) return true;
    const bool v_nan = v != v;
    if (best != best) return v_nan && i < at;
    if (v_nan) return true;
    if (v < best) return true;
    return v == best && (ties == Ties::First ? i < at : i > at);
}

// One pick: the metric of each member, and per point the best value so far,
// its member and, when wanted, its vector.
struct Pick {
    Order order;
    Ties ties;
    std::vector<core::Metric2> metric;
    double* value = nullptr;    // (n,)
    npy_intp* index = nullptr;  // (n,), -1 before the first answer
    double* vector = nullptr;   // (n, 2) or nullptr

    Pick(Order o, Ties t, std::size_t members) : order(o), ties(t) { metric.reserve(members); }
};

}  // namespace zelk::collection
