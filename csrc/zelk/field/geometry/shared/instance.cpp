// Allocation, garbage-collection and deallocation of geometry instances. A
// class with First == 0 is a root of the layout; every other class allocates
// and frees through its base and only handles its own fields.
#include "zelk/field/geometry/shared/module.hpp"

namespace zelk::detail {

namespace {

// The slot that follows `self_slot` in the base chain of `t`: the base's version.
template <class Slot>
Slot next_slot(PyTypeObject* t, Slot PyTypeObject::* member, Slot self_slot) {
    while (t != nullptr && t->*member != self_slot) t = t->tp_base;
    while (t != nullptr && t->*member == self_slot) t = t->tp_base;
    return t != nullptr ? t->*member : nullptr;
}

}  // namespace

PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* kwds, newfunc self_slot,
                       int first, int count) {
    PyObject* self;
    if (first == 0) {
        self = type->tp_alloc(type, 0);
    } else {
        newfunc base_new = next_slot(type, &PyTypeObject::tp_new, self_slot);
        self = base_new != nullptr ? base_new(type, args, kwds) : type->tp_alloc(type, 0);
    }
    if (self == nullptr) return nullptr;
    PyObject** fields = object_fields(self);
    for (int i = first; i < count; ++i) {
        if (fields[i] == nullptr) fields[i] = Py_NewRef(Py_None);
    }
    return self;
}

int traverse_instance(PyObject* self, visitproc visit, void* arg, traverseproc self_slot, int first,
                      int count) {
    PyObject** fields = object_fields(self);
    for (int i = first; i < count; ++i) Py_VISIT(fields[i]);
    if (first == 0) {
        Py_VISIT(Py_TYPE(self));
        return 0;
    }
    traverseproc base = next_slot(Py_TYPE(self), &PyTypeObject::tp_traverse, self_slot);
    return base != nullptr ? base(self, visit, arg) : 0;
}

int clear_instance(PyObject* self, inquiry self_slot, int first, int count) {
    PyObject** fields = object_fields(self);
    for (int i = first; i < count; ++i) Py_CLEAR(fields[i]);
    if (first == 0) return 0;
    inquiry base = next_slot(Py_TYPE(self), &PyTypeObject::tp_clear, self_slot);
    return base != nullptr ? base(self) : 0;
}

void dealloc_instance(PyObject* self, destructor self_slot, int first, int count) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Long chains of geometries (one held in another's properties) are freed
    // iteratively rather than by recursion deep enough to exhaust the stack;
    // the macro acts only in the instance type's own dealloc.
    Py_TRASHCAN_BEGIN(self, self_slot);
    PyObject** fields = object_fields(self);
    for (int i = first; i < count; ++i) Py_CLEAR(fields[i]);
    destructor base = first == 0 ? nullptr : next_slot(type, &PyTypeObject::tp_dealloc, self_slot);
    if (base != nullptr) {
        base(self);
    } else {
        type->tp_free(self);
        Py_DECREF(type);  // heap types are owned by their instances
    }
    Py_TRASHCAN_END;
}

}  // namespace zelk::detail
