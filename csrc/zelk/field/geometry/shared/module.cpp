// Multi-phase module set-up shared by every extension module of the package.
// A module is created and executed once per process; later imports, reloads and
// re-imports after removal from sys.modules hand back the same object.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/internal.hpp"
#include "zelk/field/geometry/shared/numpy.hpp"

#include <cstdio>
#include <cstring>
#include <forward_list>
#include <string>
#include <vector>

namespace zelk {

namespace {

// One module per shared object; these are written during the first exec step.
const ModuleDef* g_def = nullptr;
PyModuleDef g_moduledef;
PyModuleDef_Slot g_slots[3];
std::int64_t g_interpreter_id = -1;
// Owned and kept for the process: later imports hand it back, and calls read
// its namespace.
PyObject* g_module = nullptr;
std::vector<internal::ClassEntry> g_classes;  // owns its types and reconstructors

// What a module object of the package carries, invisible to Python: the
// table it was set up from, for other modules of the package to read.
struct ModuleState {
    std::uint64_t tag;
    const ModuleDef* def;
};
constexpr std::uint64_t kStateTag = 0x7a656c6b2e666c64;  // "zelk.fld"

void set_state(PyObject* module) {
    if (auto* state = static_cast<ModuleState*>(PyModule_GetState(module))) {
        *state = {kStateTag, g_def};
    } else {
        PyErr_Clear();
    }
}

void clear_classes() {
    std::vector<internal::ClassEntry> classes;
    classes.swap(g_classes);
    for (const internal::ClassEntry& e : classes) {
        Py_XDECREF(e.reconstructor);
        Py_DECREF(reinterpret_cast<PyObject*>(e.type));
    }
}

const char* intern_text(std::string s) {
    static std::forward_list<std::string> texts;
    texts.push_front(std::move(s));
    return texts.front().c_str();
}

bool copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                    bool skip_none) {
    Ref value = steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

bool check_version(const ModuleDef& def) {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[256];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, def.full_name, "does not match", major,
                  minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool check_builtins(const ModuleDef& def, PyObject* builtins) {
    for (const char* const* name = def.builtins; *name != nullptr; ++name) {
        Ref value = steal(PyObject_GetAttrString(builtins, *name));
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", *name);
            return false;
        }
    }
    return true;
}

// 1 when no type in the base chain of `t` was made by a class statement (their
// instances are freed by the interpreter's generic dealloc), 0 when one was,
// -1 on error.
int native_chain(PyTypeObject* t) {
    Ref probe = steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                            "probe", PyDict_New()));
    if (!probe) return -1;
    const destructor generic = reinterpret_cast<PyTypeObject*>(probe.get())->tp_dealloc;
    for (; t != nullptr; t = t->tp_base) {
        if (t->tp_dealloc == generic) return 0;
    }
    return 1;
}

// Fetches a base type and checks that its layout is the one compiled against.
PyObject* fetch_base(PyObject* base_module, const char* name) {
    Ref obj = steal(PyObject_GetAttrString(base_module, name));
    if (!obj) return nullptr;
    const char* module_name = "zelk.field.geometry.base";
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
        return nullptr;
    }
    // The instance slots hand allocation and freeing on to the base's own
    // slots; a class written in Python somewhere in the base chain would hand
    // them back to ours, without end.
    const int native = native_chain(reinterpret_cast<PyTypeObject*>(obj.get()));
    if (native < 0) return nullptr;
    if (!native) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type implemented in C", module_name,
                     name);
        return nullptr;
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
    const Py_ssize_t expected = sizeof(GeometryObject);
    if (size != expected) {
        char message[400];
        std::snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, name, expected, size);
        if (size < expected) {
            PyErr_SetString(PyExc_ValueError, message);
            return nullptr;
        }
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return nullptr;
    }
    return obj.release();
}

PyTypeObject* create_class(PyObject* module, const ModuleDef& mdef, const ClassDef& cdef,
                           PyObject* base) {
    std::vector<PyType_Slot> slots;
    if (cdef.slots != nullptr) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(cdef.slots->tp_new)});
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(cdef.slots->tp_traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(cdef.slots->tp_clear)});
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(cdef.slots->tp_dealloc)});
    } else if (base != nullptr) {
        // Without this the type would get the interpreter's generic heap-type
        // dealloc, which hands back to the nearest non-generic one: a derived
        // class's own dealloc, looking for its base, would then loop forever.
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(
                                            reinterpret_cast<PyTypeObject*>(base)->tp_dealloc)});
        // The base's allocator, set here so that the class gets a __new__ of its
        // own: Cls.__new__(T) then refuses a T that is not a subclass of Cls.
        slots.push_back(
            {Py_tp_new, reinterpret_cast<void*>(reinterpret_cast<PyTypeObject*>(base)->tp_new)});
    }
    if (cdef.init != nullptr) {
        slots.push_back({Py_tp_init, reinterpret_cast<void*>(cdef.init)});
        // "Name(params)\n--\n\n" gives inspect.signature the initialiser's
        // parameters; the class itself keeps no docstring (see below).
        if (const MethodDef* init = registered_init(cdef.init)) {
            Signature sig = init->sig;
            sig.has_self = false;
            slots.push_back({Py_tp_doc, const_cast<char*>(text_signature(sig, cdef.name))});
        }
    }
    if (!cdef.own_fields.empty()) {
        auto* getset = new PyGetSetDef[cdef.own_fields.size() + 1]();  // lives with the class
        for (std::size_t i = 0; i < cdef.own_fields.size(); ++i) {
            getset[i] = field_property(&cdef.own_fields[i]);
        }
        slots.push_back({Py_tp_getset, getset});
    }
    slots.push_back({0, nullptr});
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    if (cdef.slots != nullptr) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec{intern_text(std::string(mdef.full_name) + "." + cdef.name),
                     static_cast<int>(cdef.basicsize), 0, flags, slots.data()};
    Ref bases;  // none: object
    if (base != nullptr) {
        bases = steal(PyTuple_Pack(1, base));
        if (!bases) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, bases.get()));
}

bool add_members(PyTypeObject* type, const ClassDef& cdef) {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    if (cdef.rgj_type != nullptr) {
        Ref value = steal(PyUnicode_InternFromString(cdef.rgj_type));
        if (!value || PyObject_SetAttrString(t, "RGJType", value.get()) < 0) return false;
    }
    for (PyMethodDef* m = cdef.methods; m != nullptr && m->ml_name != nullptr; ++m) {
        Ref descr = steal(PyDescr_NewMethod(type, m));
        if (!descr || PyObject_SetAttrString(t, m->ml_name, descr.get()) < 0) return false;
    }
    return true;
}

bool import_kernels(PyObject* module) {
    Ref fromlist = steal(Py_BuildValue("(s)", "kernels"));
    if (!fromlist) return false;
    Ref package = steal(PyImport_ImportModuleLevel("zelk.field", PyModule_GetDict(module), nullptr,
                                                   fromlist.get(), 0));
    if (!package) return false;
    Ref kernels = steal(PyObject_GetAttrString(package.get(), "kernels"));
    if (!kernels) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        kernels = borrow(PyDict_GetItemString(PyImport_GetModuleDict(), "zelk.field.kernels"));
        if (!kernels) {
            Ref name = steal(PyUnicode_FromString("kernels"));
            if (name) PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
            return false;
        }
    }
    return PyModule_AddObjectRef(module, "kernels", kernels.get()) == 0;
}

bool exec_body(PyObject* module, const ModuleDef& def) {
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr || PyModule_AddObjectRef(module, "__builtins__", builtins) < 0)
        return false;
    if (!check_version(def)) return false;

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entered = PyDict_GetItemString(modules, def.full_name);  // borrowed
    if (entered == nullptr && PyDict_SetItemString(modules, def.full_name, module) < 0)
        return false;
    if (!check_builtins(def, builtins)) return false;

    // Classes, in creation order, each with its pickling hooks.
    std::vector<Ref> base_types;
    Ref rgj, multi;
    if (def.base_types[0] != nullptr) {
        Ref base_module = steal(PyImport_ImportModule("zelk.field.geometry.base"));
        if (!base_module) return false;
        for (const char* name : def.base_types) {
            if (name == nullptr) continue;
            Ref type = steal(fetch_base(base_module.get(), name));
            if (!type) return false;
            (std::string(name) == "RGJGeometry" ? rgj : multi) = type;
        }
    }
    clear_classes();
    for (const ClassDef& cdef : def.classes) {
        PyObject* base = nullptr;
        switch (cdef.base) {
            case BaseRef::Object:
                break;
            case BaseRef::RGJGeometry:
                base = rgj.get();
                break;
            case BaseRef::MultiRGJGeometry:
                base = multi.get();
                break;
            case BaseRef::Local:
                base = reinterpret_cast<PyObject*>(g_classes[cdef.local_base].type);
        }
        PyTypeObject* type = create_class(module, def, cdef, base);
        if (type == nullptr) return false;
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__doc__", Py_None) < 0) {
            Py_DECREF(type);
            return false;
        }
        // The class table takes over the reference made by create_class.
        g_classes.push_back({type, &cdef, nullptr});
        if (PyModule_AddObjectRef(module, cdef.name, reinterpret_cast<PyObject*>(type)) < 0)
            return false;
        if (cdef.pickle != nullptr && internal::install_pickling(type) < 0) return false;
    }

    Ref numpy = steal(PyImport_ImportModule("numpy"));
    if (!numpy || !import_numpy()) return false;
    if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return false;
    if (def.import_kernels && !import_kernels(module)) return false;

    for (const internal::ClassEntry& e : g_classes) {
        if (!add_members(e.type, *e.def)) return false;
    }
    for (internal::ClassEntry& e : g_classes) {
        if (e.def->pickle == nullptr) continue;
        Ref f = steal(internal::make_reconstructor(module, e.type, *e.def));
        if (!f) return false;
        const std::string name = std::string("__pyx_unpickle_") + e.def->name;
        if (PyModule_AddObjectRef(module, name.c_str(), f.get()) < 0) return false;
        e.reconstructor = f.release();
    }
    if (def.functions != nullptr && PyModule_AddFunctions(module, def.functions) < 0) return false;
    Ref test = steal(PyDict_New());
    return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

int exec_step(PyObject* module) {
    const ModuleDef& def = *g_def;
    // A re-import hands back the module made first with a new state block.
    set_state(module);
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     def.short_name);
        return -1;
    }
    g_module = Py_NewRef(module);
    if (exec_body(module, def)) return 0;

    // Start afresh on the next attempt.
    Py_CLEAR(g_module);
    clear_classes();
    const std::string init_name = std::string("init ") + def.full_name;
    if (PyErr_Occurred()) {
        std::string path = def.full_name;
        for (char& c : path) c = c == '.' ? '/' : c;
        // add_traceback joins module and qualname with a dot; pass the pieces raw.
        add_traceback_raw(init_name.c_str(), path.c_str());
    } else {
        PyErr_SetString(PyExc_ImportError, init_name.c_str());
    }
    return -1;
}

}  // namespace

PyObject* module_init(const ModuleDef& def) {
    if (g_def == nullptr) {
        g_def = &def;
        g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(&create_step)};
        g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&exec_step)};
        g_slots[2] = {0, nullptr};
        g_moduledef = {PyModuleDef_HEAD_INIT,
                       def.full_name,
                       def.doc,
                       sizeof(ModuleState),
                       nullptr,
                       g_slots,
                       nullptr,
                       nullptr,
                       nullptr};
    }
    return PyModuleDef_Init(&g_moduledef);
}

const ModuleDef* package_module_def(PyObject* module) {
    if (module == nullptr || !PyModule_Check(module)) return nullptr;
    PyModuleDef* d = PyModule_GetDef(module);
    if (d == nullptr || d->m_size != static_cast<Py_ssize_t>(sizeof(ModuleState)) ||
        d->m_name == nullptr || std::strncmp(d->m_name, "zelk.field.", 11) != 0) {
        return nullptr;
    }
    const auto* state = static_cast<const ModuleState*>(PyModule_GetState(module));
    return state != nullptr && state->tag == kStateTag ? state->def : nullptr;
}

PyTypeObject* module_class(int index) {
    return index < static_cast<int>(g_classes.size()) ? g_classes[index].type : nullptr;
}

namespace internal {

const ClassEntry* find_class(PyTypeObject* cls) {
    for (const ClassEntry& e : g_classes) {
        if (e.type == cls) return &e;
    }
    return nullptr;
}

const ModuleDef& current_module() {
    return *g_def;
}

PyObject* current_module_object() {
    return g_module;
}

}  // namespace internal

}  // namespace zelk
