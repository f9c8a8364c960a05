// The collection's queries answered through an index over its members' boxes,
// for collections whose every member is one of the package's own geometry
// classes with its own queries: a query point then visits only the members
// that can win, and no (points x members) stack is ever made. The members'
// answers come from the same core routines their own queries run, and the
// picks follow the same tie and NaN rules, so the results are those of the
// general path bit for bit.
#pragma once

#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/np.hpp"
#include "zelk/field/geometry/shared/outcome.hpp"

namespace zelk::collection {

// Each query's Outcome: Declined (no exception, nothing changed) lets the
// general path run.

// Each query takes `kept`, the collection's slot (no attribute, never pickled)
// where the index over its members stays between calls; it is reused only
// while `rgjs` is the same list of the same members whose arrays are the same
// objects holding the same bytes, and rebuilt there otherwise.

// squared_dist(x, scaled, inverted) of the members of `rgjs`: the smallest
// value per point (np.min's rule), or with `with_reference` the pair
// (values, member index) by NumPy's argmin rule.
Outcome squared_dist(PyObject** kept, PyObject* rgjs, PyObject* x, PyObject* scaled,
                     PyObject* inverted, bool with_reference, Ref& out);

// repulsion_vector(x) with the pick by each member's form under
// inv_repulsions[i].
Outcome repulsion_vector(PyObject** kept, PyObject* rgjs, PyObject* inv_repulsions, PyObject* x,
                         Ref& out);

// gradient(x) without keywords for a collection whose squared_dist,
// repulsion_vector and eval are its class's own: both picks made in one pass.
Outcome gradient(PyObject** kept, PyObject* self_type, PyObject* rgjs, PyObject* inv_repulsions,
                 PyObject* grad_matrixes, PyObject* x, Ref& out);

// The wanted quantities of a collection whose squared_dist, repulsion_vector,
// gradient and eval are its class's own, for the batch x, in one search per
// point: each the bits its own method gives (eval, gradient, squared_dist
// and repulsion_vector without keywords).
Outcome fields(PyObject** kept, PyObject* self_type, PyObject* rgjs, PyObject* inv_repulsions,
               PyObject* grad_matrixes, PyObject* x, const FieldsWanted& want, FieldsOut& out);

}  // namespace zelk::collection
