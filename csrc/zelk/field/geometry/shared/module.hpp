// Table-driven module set-up: each module describes its classes and functions,
// and this layer does the multi-phase create/exec steps, class creation,
// member registration and the pickling hooks.
#pragma once

#include "zelk/field/geometry/shared/fields.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/outcome.hpp"

#include <span>

namespace zelk {

constexpr int kMaxStateFields = 16;

// Persistent pickle format of one class: state fields in order and checksums.
struct PickleDef {
    const FieldDef* fields[kMaxStateFields];  // nullptr-terminated, in state order
    long checksums[3];                        // the first one is written
};

enum class BaseRef { Object, RGJGeometry, MultiRGJGeometry, Local };

// Instance slots for a class that owns object fields [first, count) of the
// layout's object-pointer array (index 0 is `coordinates`).
struct InstanceSlots {
    newfunc tp_new;
    traverseproc tp_traverse;
    inquiry tp_clear;
    destructor tp_dealloc;
};

struct NativeView;
// A class's side of the contract with the native roads of other modules: its
// arrays, metric and kept-index slots as a view (native.hpp), or Declined
// when a field holds something the native code cannot read.
using NativeViewFn = Outcome (*)(PyObject* self, NativeView& out);

// A class that answers several quantities in one search declares it here
// (the collection): fields of `self` for the batch x, or Declined.
struct FieldsWanted {
    bool value = false, gradient = false, squared_dist = false, repulsion_vector = false;
};
struct FieldsOut {
    Ref value, gradient, squared_dist, repulsion_vector;
};
using NativeFieldsFn = Outcome (*)(PyObject* self, PyObject* x, const FieldsWanted& want,
                                   FieldsOut& out);

// One class of a module, written with named fields (those left out take
// the defaults here).
struct ClassDef {
    const char* name = nullptr;      // "PointRGJ"
    const char* rgj_type = nullptr;  // value of RGJType, or nullptr for none
    BaseRef base = BaseRef::Object;
    int local_base = 0;                         // index of the base among the module's classes
    Py_ssize_t basicsize = 0;                   // 0 inherits the base's layout
    const InstanceSlots* slots = nullptr;       // nullptr inherits the base's slots
    std::span<const FieldDef> own_fields = {};  // exposed as properties, in declaration order
    initproc init = nullptr;                    // nullptr inherits
    PyMethodDef* methods = nullptr;          // members in registration order, {nullptr} terminated
    const PickleDef* pickle = nullptr;       // nullptr: no pickling hooks
    NativeViewFn native_view = nullptr;      // nullptr: no native road
    NativeFieldsFn native_fields = nullptr;  // nullptr: one quantity per search
};

struct ModuleDef {
    const char* short_name = nullptr;  // "point"
    const char* full_name = nullptr;   // "zelk.field.geometry.point"
    const char* doc = nullptr;
    const char* base_types[2] = {nullptr,
                                 nullptr};  // names taken from zelk.field.geometry.base, in order
    bool import_kernels = false;            // binds `kernels` from zelk.field
    const char* builtins[3] = {nullptr, nullptr, nullptr};  // built-in names that must exist
    std::span<ClassDef> classes = {};
    PyMethodDef* functions = nullptr;  // module-level functions, {nullptr} terminated, or nullptr
};

// What PyInit_<name> returns.
PyObject* module_init(const ModuleDef& def);

// The table a module object of any of the package's extension modules was
// set up from; nullptr for every other module. Lets one module recognise
// another's classes without linking against it.
const ModuleDef* package_module_def(PyObject* module);

// The class created for def.classes[index]; the class table holds it for the
// process, so the pointer stays valid once the module is imported.
PyTypeObject* module_class(int index);

// Slot sets for a class whose own object fields are [First, Count).
template <int First, int Count>
const InstanceSlots* instance_slots();

// --- implementation of the slot templates --------------------------------

namespace detail {

PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* kwds, newfunc self_slot,
                       int first, int count);
int traverse_instance(PyObject* self, visitproc visit, void* arg, traverseproc self_slot, int first,
                      int count);
int clear_instance(PyObject* self, inquiry self_slot, int first, int count);
void dealloc_instance(PyObject* self, destructor self_slot, int first, int count);

template <int First, int Count>
struct Slots {
    static PyObject* tp_new(PyTypeObject* t, PyObject* a, PyObject* k) {
        return new_instance(t, a, k, &tp_new, First, Count);
    }
    static int tp_traverse(PyObject* s, visitproc v, void* arg) {
        return traverse_instance(s, v, arg, &tp_traverse, First, Count);
    }
    static int tp_clear(PyObject* s) { return clear_instance(s, &tp_clear, First, Count); }
    static void tp_dealloc(PyObject* s) { dealloc_instance(s, &tp_dealloc, First, Count); }
    static constexpr InstanceSlots table{&tp_new, &tp_traverse, &tp_clear, &tp_dealloc};
};

}  // namespace detail

template <int First, int Count>
const InstanceSlots* instance_slots() {
    return &detail::Slots<First, Count>::table;
}

}  // namespace zelk
