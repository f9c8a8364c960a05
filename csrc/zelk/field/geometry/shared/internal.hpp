// Declarations shared between the files of the shared layer only.
#pragma once

#include "zelk/field/geometry/shared/module.hpp"

namespace zelk::internal {

struct ClassEntry {
    PyTypeObject* type;
    const ClassDef* def;
    PyObject* reconstructor;  // borrowed from the module namespace once registered
};

// The registered class that `cls` is, or nullptr.
const ClassEntry* find_class(PyTypeObject* cls);
// The module this copy of the shared layer was built into.
const ModuleDef& current_module();
// The executed module object (borrowed), or nullptr before import.
PyObject* current_module_object();

// Pickling hooks (state reducer, restorer, reconstructors).
int install_pickling(PyTypeObject* type);
PyObject* make_reconstructor(PyObject* module, PyTypeObject* type, const ClassDef& def);

}  // namespace zelk::internal
