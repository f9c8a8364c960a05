// Declarations shared between the files of the shared layer only.
#pragma once

#include "zelk/field/geometry/shared/module.hpp"

namespace zelk::internal {

// The table owns a reference to the class and to its reconstructor, kept for
// the process like the module itself: deleting the module's attributes must
// not free what the methods and the pickling hooks read.
struct ClassEntry {
    PyTypeObject* type;
    const ClassDef* def;
    PyObject* reconstructor;  // nullptr until registered
};

// The registered class that `cls` is, or nullptr.
const ClassEntry* find_class(PyTypeObject* cls);
// The module this copy of the shared layer was built into.
const ModuleDef& current_module();
// The executed module object, or nullptr before import; it is kept for the
// process, so the pointer stays valid.
PyObject* current_module_object();

// Pickling hooks (state reducer, restorer, reconstructors).
int install_pickling(PyTypeObject* type);
PyObject* make_reconstructor(PyObject* module, PyTypeObject* type, const ClassDef& def);

}  // namespace zelk::internal
