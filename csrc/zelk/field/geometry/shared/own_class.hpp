// Recognising the package's own classes and methods from any of its modules.
// A class made by the package's module set-up carries its defining module,
// which Python code cannot give a class: a subclass or a look-alike is never
// taken for one of them, and a method replaced on a class or a base is seen.
#pragma once

#include "zelk/field/geometry/shared/module.hpp"

#include <initializer_list>

namespace zelk {

inline constexpr char kBaseModule[] = "zelk.field.geometry.base";
inline constexpr char kPointModule[] = "zelk.field.geometry.point";
inline constexpr char kLineModule[] = "zelk.field.geometry.linestring";
inline constexpr char kPolygonModule[] = "zelk.field.geometry.polygon";
inline constexpr char kCollectionModule[] = "zelk.field.geometry.collection";

// The module named `module` that made t; nullptr when t is not a class the
// package's set-up made there.
PyObject* defining_module(PyTypeObject* t, const char* module);

// Whether t is exactly the class `name` of `module` (names are constants).
bool is_own_class(PyTypeObject* t, const char* module, const char* name);

// The class table entry t was made from, when t is exactly one of the
// package's classes (of any module); nullptr otherwise. `module`, when given,
// receives its module (borrowed: the module keeps its classes).
const ClassDef* own_class_def(PyTypeObject* t, PyObject** module = nullptr);

// Whether `name` looked up on t is still the method that the class `owner`
// of `module` defines: not replaced on the class or any base.
bool own_method(PyTypeObject* t, const char* name, const char* module, const char* owner);

// The interned string `name` (a constant), made once for the process.
PyObject* interned(const char* name);

// Whether the module's global `np` is NumPy itself and, for each kernel
// named, its global `kernels` a plain module whose function of that name is
// the package's compiled one: what a class's own query checks before it runs
// the core routine on views.
bool module_runs_natively(PyObject* module, std::initializer_list<const char*> kernels);

// numpy, imported once for the process (nullptr when it cannot be).
PyObject* numpy_module();

}  // namespace zelk
