// Instance layout of the base types of zelk.field.geometry.base. Every geometry
// class appends its own fields behind these seven, object fields first.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

#include <cstddef>

namespace zelk {

struct GeometryObject {
    PyObject_HEAD PyObject* coordinates;
    PyObject* repulsion;
    PyObject* inv_repulsion;
    PyObject* eye_repulsion;
    PyObject* grad_matrix;
    PyObject* properties;
    PyObject* bbox;
};

constexpr int kBaseObjectFields = 7;

inline GeometryObject* as_geometry(PyObject* self) {
    return reinterpret_cast<GeometryObject*>(self);
}

// The object fields of an instance, in layout order, starting with `coordinates`.
inline PyObject** object_fields(PyObject* self) {
    return &as_geometry(self)->coordinates;
}

// Replaces a field with a new reference (stolen), dropping the old one last so
// that a destructor that looks at the object sees a consistent state.
inline void set_field(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    slot = value;
    Py_XDECREF(old);
}

// The field's current value, owned by the caller (None for a slot that was
// never filled). There is deliberately no borrowed read: see ref.hpp.
inline Ref field_value(PyObject* slot) {
    return borrow(slot ? slot : Py_None);
}

}  // namespace zelk
