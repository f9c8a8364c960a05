// Building blocks that several geometry classes compute the same way.
#pragma once

#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/np.hpp"

#include "core/extremes.hpp"

namespace zelk {

// Where `properties` is assigned relative to `grad_matrix` in a constructor.
enum class PropertiesAt { Skip, BeforeGrad, AfterGrad };

// repulsion = np.eye(optional_dim) when `repulsion` is None, else
// np.array(repulsion, dtype=np.float64); then inv_repulsion = np.linalg.inv,
// eye_repulsion = np.eye(len(repulsion)), grad_matrix = inv + inv.T, and
// properties (a new dict for None) where `at` says. Each field is stored as
// soon as it is computed. False with an exception set on failure.
// set_repulsion passes none_is_identity false: there None is converted like
// any other value (and fails to invert).
bool assign_repulsion_state(PyObject* self, PyObject* repulsion, PyObject* optional_dim,
                            PyObject* properties, PropertiesAt at, bool none_is_identity = true);

// The stored matrix for get_dist_matrix(scaled, inverted) (new reference).
PyObject* dist_matrix_field(PyObject* self, PyObject* scaled, PyObject* inverted);

// self.get_dist_matrix(scaled=True, inverted=True), looked up on the instance.
Ref metric_of(PyObject* self);

// An RGeoJSON Feature: {"type": "Feature", "properties": properties,
// "geometry": {"type": rgj_type, <items in order>}}, keys in that order.
Ref rgeojson_feature(PyObject* properties, PyObject* rgj_type,
                     std::initializer_list<std::pair<const char*, PyObject*>> items);

// Whether a query on `self` with this truth-tested flag (nullptr when not
// given) can run code of the caller's before it reads its inputs: a subclass
// may override get_dist_matrix, and a flag of another type has its own
// __bool__. When it can, the fast paths copy their inputs first, as the
// NumPy formulation's conversion would have.
inline bool caller_code_may_run(PyObject* self, PyTypeObject* cls, PyObject* flag) {
    const bool plain_flag =
        flag == nullptr || flag == Py_True || flag == Py_False || flag == Py_None;
    return !plain_flag || Py_TYPE(self) != cls;
}

// (lo + hi) / 2 of the rows `e` has seen, as a new float64 (2,) array: the
// centre of their box.
Ref box_centre(const core::Extremes& e);

// (rows.min(0) + rows.max(0)) / 2.0, in one pass when `rows` is a plain
// float64 (n, 2) array in memory order (the order in which NumPy's min(0) and
// max(0) meet the rows, which decides ties between +0.0 and -0.0).
Ref centre_of_rows(PyObject* rows);

// super(cls, self).__init__(coordinates=a[0], repulsion=a.get(1, None),
// **a.kwargs): the initialiser after `cls` in the instance's MRO, by keywords.
Ref init_next_in_mro(PyTypeObject* cls, PyObject* self, const BoundArgs& a);

}  // namespace zelk
