// GeometryCollectionRGJ: its instance layout and what its files share.
#pragma once

#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/fields.hpp"
#include "zelk/field/geometry/shared/items.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/np.hpp"

#include <cstddef>
#include <vector>

namespace zelk::collection {

inline constexpr char kModule[] = "zelk.field.geometry.collection";

struct CollectionObject {
    GeometryObject base;
    PyObject* rgjs;
    PyObject* inv_repulsions;
    PyObject* grad_matrixes;
    PyObject* index;  // no attribute: the index over the members, kept between queries
};

// The own object fields follow the seven base fields without a gap, which is
// what instance_slots<7, N> counts on.
static_assert(offsetof(CollectionObject, index) == sizeof(GeometryObject) + 3 * sizeof(PyObject*),
              "layout");

inline CollectionObject* coll(PyObject* self) {
    return reinterpret_cast<CollectionObject*>(self);
}

inline constexpr FieldDef kOwnFields[] = {
    {"rgjs", FieldKind::List, offsetof(CollectionObject, rgjs)},
    {"inv_repulsions", FieldKind::Object, offsetof(CollectionObject, inv_repulsions)},
    {"grad_matrixes", FieldKind::Object, offsetof(CollectionObject, grad_matrixes)},
};

// Calls fn(member) for each member of `rgjs` in order, collecting the results.
template <class F>
bool map_members(PyObject* self, std::vector<Ref>& out, F&& fn) {
    return collect_items(field_value(coll(self)->rgjs), out, fn);
}

Ref as_list(const std::vector<Ref>& items);

// A (m, 2, 2) stack of plain float64 (2, 2) matrices, or an empty Ref (no error)
// when some item is not one, so that the caller lets NumPy decide.
Ref stack_matrices(const std::vector<Ref>& items);

// np.array(items), with the direct stack for plain 2x2 matrices.
Ref array_of_matrices(const std::vector<Ref>& items);

// Plain float64 1-D arrays of one common length; false otherwise.
bool value_views(const std::vector<Ref>& items, std::vector<core::ValuesView>& views);

// Plain float64 (n, 2) arrays of one common n; false otherwise.
bool pair_views(const std::vector<Ref>& items, std::vector<PairsView>& views);

Ref new_intp(npy_intp n);

// `**kwargs` plus one more keyword, refusing a duplicate as a call would.
Ref merged_kwargs(PyObject* callable, PyObject* kwargs, const char* name, PyObject* value);

Ref call_with(PyObject* callable, PyObject* x, PyObject* kwargs);

// Construction and the simple operations.
PyObject* init_body(PyObject* self, const BoundArgs& a);
PyObject* set_coordinates_body(PyObject*, const BoundArgs&);
PyObject* set_repulsion_body(PyObject* self, const BoundArgs& a);
PyObject* in_bbox_body(PyObject* self, const BoundArgs& a);
PyObject* get_dist_matrix_body(PyObject* self, const BoundArgs& a);
PyObject* get_center_point_body(PyObject* self, const BoundArgs&);

// The queries and the export.
PyObject* squared_dist_body(PyObject* self, const BoundArgs& a);
PyObject* repulsion_vector_body(PyObject* self, const BoundArgs& a);
PyObject* gradient_body(PyObject* self, const BoundArgs& a);

// Several quantities in one search (the class table's native_fields).
Outcome native_fields(PyObject* self, PyObject* x, const FieldsWanted& want, FieldsOut& out);
PyObject* to_rgeojson_body(PyObject* self, const BoundArgs&);

}  // namespace zelk::collection
