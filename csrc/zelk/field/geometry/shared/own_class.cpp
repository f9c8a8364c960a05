#include "zelk/field/geometry/shared/own_class.hpp"

#include "zelk/field/geometry/shared/kernel_call.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace zelk {

PyObject* defining_module(PyTypeObject* t, const char* module) {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
    PyObject* mod = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    if (mod == nullptr || !PyModule_Check(mod)) return nullptr;
    PyModuleDef* def = PyModule_GetDef(mod);
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, module) != 0) {
        return nullptr;
    }
    return mod;
}

namespace {

// tp_name is "<module>.<name>"
bool named(PyTypeObject* t, const char* module, const char* name) {
    const std::size_t k = std::strlen(module);
    return std::strncmp(t->tp_name, module, k) == 0 && t->tp_name[k] == '.' &&
           std::strcmp(t->tp_name + k + 1, name) == 0;
}

}  // namespace

bool is_own_class(PyTypeObject* t, const char* module, const char* name) {
    // Classes found to be the package's own, remembered by address: the
    // module set-up keeps its classes for the process, so such an address
    // never comes to stand for another type.
    struct Known {
        PyTypeObject* type;
        const char* module;
        const char* name;
    };
    static std::vector<Known> known;
    for (const Known& e : known) {
        if (e.type == t && e.module == module && e.name == name) return true;
    }
    if (defining_module(t, module) == nullptr || !named(t, module, name)) return false;
    try {
        if (known.size() < 64) known.push_back({t, module, name});
    } catch (const std::bad_alloc&) {  // only not remembered
    }
    return true;
}

const ClassDef* own_class_def(PyTypeObject* t, PyObject** module) {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
    PyObject* mod = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    const ModuleDef* def = package_module_def(mod);
    if (def == nullptr) return nullptr;
    for (const ClassDef& c : def->classes) {
        if (named(t, def->full_name, c.name)) {
            if (module != nullptr) *module = mod;
            return &c;
        }
    }
    return nullptr;
}

PyObject* interned(const char* name) {
    static std::vector<std::pair<const char*, PyObject*>> made;
    for (const auto& e : made) {
        if (e.first == name) return e.second;
    }
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    try {
        made.emplace_back(name, key);
    } catch (const std::bad_alloc&) {  // made again next time
    }
    return key;
}

bool own_method(PyTypeObject* t, const char* name, const char* module, const char* owner) {
    PyObject* key = interned(name);
    if (key == nullptr) return false;
    PyObject* d = _PyType_Lookup(t, key);
    if (d == nullptr || !Py_IS_TYPE(d, &PyMethodDescr_Type)) return false;
    auto* md = reinterpret_cast<PyMethodDescrObject*>(d);
    return std::strcmp(md->d_method->ml_name, name) == 0 &&
           is_own_class(md->d_common.d_type, module, owner);
}

PyObject* numpy_module() {
    static PyObject* numpy = PyImport_ImportModule("numpy");  // kept for the process
    if (numpy == nullptr) PyErr_Clear();
    return numpy;
}

bool module_runs_natively(PyObject* module, std::initializer_list<const char*> kernels) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* np_key = interned("np");
    PyObject* np = np_key != nullptr ? PyDict_GetItem(dict, np_key) : nullptr;
    if (np == nullptr || np != numpy_module()) return false;
    if (kernels.size() == 0) return true;
    PyObject* k_key = interned("kernels");
    PyObject* k = k_key != nullptr ? PyDict_GetItem(dict, k_key) : nullptr;
    if (k == nullptr || !PyModule_CheckExact(k)) return false;
    for (const char* name : kernels) {
        PyObject* f_key = interned(name);
        PyObject* f = f_key != nullptr ? PyDict_GetItem(PyModule_GetDict(k), f_key) : nullptr;
        if (f == nullptr || !is_native_kernel(f, name)) return false;
    }
    return true;
}

}  // namespace zelk
