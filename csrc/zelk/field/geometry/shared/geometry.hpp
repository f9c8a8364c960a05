// Building blocks that several geometry classes compute the same way.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

namespace zelk {

// Where `properties` is assigned relative to `grad_matrix` in a constructor.
enum class PropertiesAt { Skip, BeforeGrad, AfterGrad };

// repulsion = np.eye(optional_dim) when `repulsion` is None, else
// np.array(repulsion, dtype=np.float64); then inv_repulsion = np.linalg.inv,
// eye_repulsion = np.eye(len(repulsion)), grad_matrix = inv + inv.T, and
// properties (a new dict for None) where `at` says. Each field is stored as
// soon as it is computed. False with an exception set on failure.
bool assign_repulsion_state(PyObject* self, PyObject* repulsion, PyObject* optional_dim,
                            PyObject* properties, PropertiesAt at);

// The stored matrix for get_dist_matrix(scaled, inverted) (new reference).
PyObject* dist_matrix_field(PyObject* self, PyObject* scaled, PyObject* inverted);

// self.get_dist_matrix(scaled=True, inverted=True), looked up on the instance.
Ref metric_of(PyObject* self);

// An RGeoJSON Feature: {"type": "Feature", "properties": properties,
// "geometry": {"type": rgj_type, <items in order>}}, keys in that order.
Ref rgeojson_feature(PyObject* properties, PyObject* rgj_type,
                     std::initializer_list<std::pair<const char*, PyObject*>> items);

}  // namespace zelk
