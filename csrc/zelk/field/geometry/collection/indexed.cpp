#include "zelk/field/geometry/collection/indexed.hpp"

#include "zelk/field/geometry/collection/plan.hpp"
#include "zelk/field/geometry/collection/search.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/own_class.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/curve.hpp"
#include "core/forms.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

namespace zelk::collection {
namespace {

// The members of `rgjs` when every one offers the native road its view.
bool read_members(PyObject* rgjs, std::vector<NativeView>& members) {
    if (rgjs == nullptr || !PyList_CheckExact(rgjs)) return false;
    const Py_ssize_t m = PyList_GET_SIZE(rgjs);
    if (m < 1 || m > INT32_MAX) return false;
    members.clear();
    members.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        if (native_view(PyList_GET_ITEM(rgjs, i), members[i]) != Outcome::Done) return false;
    }
    return !PyErr_Occurred();
}

// The stored matrix that get_dist_matrix(scaled, inverted) returns, for
// flags whose truth needs no code.
Ref dist_matrix(PyObject* o, PyObject* scaled, PyObject* inverted) {
    GeometryObject* g = as_geometry(o);
    if (!truth(scaled)) return field_value(g->eye_repulsion);
    return truth(inverted) ? field_value(g->inv_repulsion) : field_value(g->repulsion);
}

bool plain_flag(PyObject* f) {
    return f == Py_True || f == Py_False || f == Py_None;
}

bool metric_of(PyObject* a, core::Metric2& m) {
    double e[4];
    if (!matrix2_view(a, e)) return false;
    m = {e[0], e[1], e[2], e[3]};
    return true;
}

// Batches from this size on are split across threads when there are several.
constexpr std::ptrdiff_t kThreadedFrom = 4096;

// Runs the search for the picks over x with the collection's kept plan;
// false with an exception set (MemoryError when memory runs out). A large
// batch on several threads runs on copies, with the interpreter lock
// released; each row's answer is the same either way.
bool search(PyObject** kept, PyObject* rgjs, std::vector<NativeView>& members,
            std::vector<Pick>& picks, const PairsView& x, double cap = INFINITY) {
    const int threads = x.n >= kThreadedFrom ? configured_threads() : 1;
    try {
        for (Pick& p : picks) std::fill(p.index, p.index + x.n, npy_intp(-1));
        for (NativeView& mb : members) {
            if (!take_indexes(mb, x.n)) return false;
        }
        const std::shared_ptr<const KeptPlan> held = kept_plan(kept, rgjs, members, picks);
        if (!held) return false;
        const Plan& plan = *held->plan;
        if (plan.joint != nullptr && plan.always.empty()) {
            // The joint road reads a copy of the points in the order of
            // compact patches, so that every range a thread takes is made of
            // tiles of near points. The threads read the joint index and the
            // polygons' rings; the rows it cannot serve are answered
            // afterwards, on this thread with the lock held, by the members.
            const std::vector<std::ptrdiff_t> order =
                core::tile_order(x, 0, x.n, core::SegmentIndex::kTile);
            std::vector<double> copy(core::scratch_size(x.n, 2));
            for (std::ptrdiff_t k = 0; k < x.n; ++k) {
                copy[2 * k] = x.x(order[k]);
                copy[2 * k + 1] = x.y(order[k]);
            }
            const PairsView points = PairsView::contiguous(copy.data(), x.n);
            std::vector<std::ptrdiff_t> spilled;
            if (threads <= 1) {
                Search(members, picks, points, order.data(), cap).run_joint(plan, 0, x.n, spilled);
            } else {
                for (NativeView& mb : members) own_ring_copies(mb);
                std::mutex lock;
                run_split(x.n, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                    std::vector<std::ptrdiff_t> rows;
                    Search(members, picks, points, order.data(), cap)
                        .run_joint(plan, begin, end, rows);
                    const std::lock_guard<std::mutex> hold(lock);
                    spilled.insert(spilled.end(), rows.begin(), rows.end());
                });
            }
            Search(members, picks, x).run_rows(plan, spilled);
            return true;
        }
        if (threads <= 1) {
            Search(members, picks, x).run(plan, 0, x.n);
            return true;
        }
        const std::vector<double> copy = core::own_rows(x);
        const PairsView points = PairsView::contiguous(copy.data(), x.n);
        for (NativeView& mb : members) own_copies(mb);
        run_split(x.n, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            Search(members, picks, points).run(plan, begin, end);
        });
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// Forms above this in the joint index's order are above 799 in any pick's
// order (the orders differ by a relative 2^-18 at most), where exp(-form)
// is 0: the exponential is 0 from about 745.14 on.
constexpr double kValueCap = 800.0;

// Below this many points a single query is answered member by member, which
// costs less than setting up the index (the gradient, which makes three
// queries in one pass, always takes the index).
constexpr std::ptrdiff_t kIndexedFrom = 16;

}  // namespace

Outcome squared_dist(PyObject** kept, PyObject* rgjs, PyObject* x, PyObject* scaled,
                     PyObject* inverted, bool with_reference, Ref& out) {
    if (!plain_flag(scaled) || !plain_flag(inverted)) return Outcome::Declined;
    PairsView q;
    std::vector<NativeView> members;
    if (!batch_in_place(x, q) || q.n < kIndexedFrom || !read_members(rgjs, members)) {
        return Outcome::Declined;
    }
    Pick pick(Order::VectorMatrixFromZero, with_reference ? Ties::First : Ties::Last,
              members.size());
    for (const NativeView& mb : members) {
        core::Metric2 d;
        if (!metric_of(dist_matrix(mb.geometry, scaled, inverted).get(), d)) {
            return Outcome::Declined;
        }
        pick.metric.push_back(d);
    }
    const npy_intp n = q.n;
    Ref values = new_float64({n});
    Ref index = values ? steal(PyArray_SimpleNew(1, const_cast<npy_intp*>(&n), NPY_INTP)) : Ref();
    if (!index) return Outcome::Error;
    // The allocations may have run a finalizer: take every view again.
    if (!batch_in_place(x, q) || q.n != n || !read_members(rgjs, members)) {
        return Outcome::Declined;
    }
    pick.value = f64_data(values.get());
    pick.index =
        static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(index.get())));
    std::vector<Pick> picks{std::move(pick)};
    if (!search(kept, rgjs, members, picks, q)) return Outcome::Error;
    out = with_reference ? steal(PyTuple_Pack(2, values.get(), index.get())) : values;
    return out ? Outcome::Done : Outcome::Error;
}

Outcome repulsion_vector(PyObject** kept, PyObject* rgjs, PyObject* inv_repulsions, PyObject* x,
                         Ref& out) {
    PairsView q;
    std::vector<NativeView> members;
    std::vector<core::Metric2> stacked;
    const auto views = [&] {
        return batch_in_place(x, q) && read_members(rgjs, members) &&
               matrix_stack_view(inv_repulsions, npy_intp(members.size()), stacked);
    };
    if (!views() || q.n < kIndexedFrom) return Outcome::Declined;
    const npy_intp n = q.n;
    Ref vectors = new_float64({n, 2});
    if (!vectors) return Outcome::Error;
    if (!views() || q.n != n) return Outcome::Declined;
    try {
        Pick pick(Order::MatrixVector, Ties::First, members.size());
        pick.metric = stacked;
        std::vector<double> value(static_cast<std::size_t>(n));
        std::vector<npy_intp> index(static_cast<std::size_t>(n));
        pick.value = value.data();
        pick.index = index.data();
        pick.vector = f64_data(vectors.get());
        std::vector<Pick> picks{std::move(pick)};
        if (!search(kept, rgjs, members, picks, q)) return Outcome::Error;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Outcome::Error;
    }
    out = vectors;
    return Outcome::Done;
}

Outcome gradient(PyObject** kept, PyObject* self_type, PyObject* rgjs, PyObject* inv_repulsions,
                 PyObject* grad_matrixes, PyObject* x, Ref& out) {
    FieldsWanted want;
    want.gradient = true;
    FieldsOut got;
    const Outcome done = fields(kept, self_type, rgjs, inv_repulsions, grad_matrixes, x, want, got);
    if (done == Outcome::Done) out = got.gradient;
    return done;
}

Outcome fields(PyObject** kept, PyObject* self_type, PyObject* rgjs, PyObject* inv_repulsions,
               PyObject* grad_matrixes, PyObject* x, const FieldsWanted& want, FieldsOut& out) {
    auto* t = reinterpret_cast<PyTypeObject*>(self_type);
    if (!is_own_class(t, kCollectionModule, "GeometryCollectionRGJ") ||
        t->tp_getattro != PyObject_GenericGetAttr ||
        !own_method(t, "squared_dist", kCollectionModule, "GeometryCollectionRGJ") ||
        !own_method(t, "repulsion_vector", kCollectionModule, "GeometryCollectionRGJ") ||
        !own_method(t, "gradient", kCollectionModule, "GeometryCollectionRGJ") ||
        !own_method(t, "eval", kBaseModule, "RGJGeometry")) {
        return Outcome::Declined;
    }
    // eval's exponential is NumPy's, reached through the base module's np.
    PyObject* base_module = nullptr;
    for (PyTypeObject* c = t; c != nullptr && base_module == nullptr; c = c->tp_base) {
        base_module = defining_module(c, kBaseModule);
    }
    if (base_module == nullptr || !module_runs_natively(base_module, {})) {
        return Outcome::Declined;
    }
    PairsView q;
    std::vector<NativeView> members;
    std::vector<core::Metric2> stacked, grads;
    const auto views = [&] {
        return batch_in_place(x, q) && read_members(rgjs, members) &&
               matrix_stack_view(inv_repulsions, npy_intp(members.size()), stacked) &&
               matrix_stack_view(grad_matrixes, npy_intp(members.size()), grads);
    };
    if (!views()) return Outcome::Declined;
    const npy_intp n = q.n;
    // The nearest member by squared_dist gives eval and squared_dist (its
    // argmin and np.min differ at most in the sign of a zero, and a form
    // summed from +0.0 is never -0.0) and the gradient's matrix; the pick
    // among the members' vectors gives repulsion_vector and the gradient's
    // vector. The two choices are made independently.
    const bool by_dist = want.value || want.gradient || want.squared_dist;
    const bool by_vector = want.gradient || want.repulsion_vector;
    Ref dist_values = by_dist ? new_float64({n}) : Ref();
    Ref vectors = by_vector ? new_float64({n, 2}) : Ref();
    Ref result = want.gradient ? new_float64({n, 2}) : Ref();
    if ((by_dist && !dist_values) || (by_vector && !vectors) || (want.gradient && !result)) {
        return Outcome::Error;
    }
    if (!views() || q.n != n) return Outcome::Declined;
    // Scratch the search fills before reading it: left uninitialised.
    std::unique_ptr<npy_intp[]> nearest;
    try {
        std::vector<Pick> picks;
        const std::unique_ptr<double[]> value(new double[std::size_t(n > 0 ? n : 1)]);
        const std::unique_ptr<npy_intp[]> index(new npy_intp[std::size_t(n > 0 ? n : 1)]);
        if (by_dist) {
            Pick dist(Order::VectorMatrixFromZero, Ties::First, members.size());
            for (const NativeView& mb : members) {
                core::Metric2 d;
                if (!metric_of(field_value(as_geometry(mb.geometry)->inv_repulsion).get(), d)) {
                    return Outcome::Declined;
                }
                dist.metric.push_back(d);
            }
            nearest.reset(new npy_intp[std::size_t(n > 0 ? n : 1)]);
            dist.value = f64_data(dist_values.get());
            dist.index = nearest.get();
            picks.push_back(std::move(dist));
        }
        if (by_vector) {
            Pick rep(Order::MatrixVector, Ties::First, members.size());
            rep.metric = stacked;
            rep.value = value.get();
            rep.index = index.get();
            rep.vector = f64_data(vectors.get());
            picks.push_back(std::move(rep));
        }
        // A value alone is exp(-squared_dist): beyond the cap it is 0 for
        // certain, and the search need not find the nearest member there.
        const bool value_only =
            want.value && !want.gradient && !want.squared_dist && !want.repulsion_vector;
        if (!search(kept, rgjs, members, picks, q, value_only ? kValueCap : INFINITY)) {
            return Outcome::Error;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Outcome::Error;
    }
    if (want.squared_dist) out.squared_dist = dist_values;
    if (want.repulsion_vector) out.repulsion_vector = vectors;
    if (!want.value && !want.gradient) return Outcome::Done;
    Ref e = value_and_gradient(dist_values.get(), by_vector ? f64_data(vectors.get()) : nullptr,
                               grads.data(), nearest.get(),
                               want.gradient ? f64_data(result.get()) : nullptr);
    if (!e) return Outcome::Error;
    if (want.value) out.value = e;
    if (want.gradient) out.gradient = result;
    return Outcome::Done;
}

}  // namespace zelk::collection
