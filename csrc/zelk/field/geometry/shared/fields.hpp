// Python attribute access to instance fields, with the rules of each field kind.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

#include <cstddef>

namespace zelk {

enum class FieldKind {
    Object,  // any object; deleting stores None
    List,    // a list or None
    Ssize,   // Py_ssize_t, any object with an integer index; cannot be deleted
    Int64,   // int64_t, same rules
};

struct FieldDef {
    const char* name;
    FieldKind kind;
    Py_ssize_t offset;  // from the start of the instance
};

// Offsets of the seven base fields, in layout order.
extern const FieldDef kBaseFields[7];

// New reference to the field's value as Python sees it (None for an empty slot).
PyObject* read_field(PyObject* self, const FieldDef& f);
// Assigns a field with its kind's rules; value NULL means deletion. 0 or -1.
int write_field(PyObject* self, const FieldDef& f, PyObject* value);

// A property (getset) entry for the field.
PyGetSetDef field_property(const FieldDef* f);

}  // namespace zelk
