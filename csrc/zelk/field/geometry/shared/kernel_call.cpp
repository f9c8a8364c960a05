#include "zelk/field/geometry/shared/kernel_call.hpp"

#include "zelk/field/geometry/shared/internal.hpp"

#include <string_view>

namespace zelk {

namespace {

// The interned names of the two kernels, made once and kept for the process,
// so that the lookup at every call builds no string; nullptr for any other.
PyObject* interned_kernel_name(const char* name) {
    static PyObject* segments = PyUnicode_InternFromString("segment_repulsion_vectors");
    static PyObject* rings = PyUnicode_InternFromString("point_in_rings");
    const std::string_view n(name);
    if (n == "segment_repulsion_vectors") return segments;
    if (n == "point_in_rings") return rings;
    return nullptr;
}

}  // namespace

Ref kernel_function(const char* name) {
    static PyObject* key = PyUnicode_InternFromString("kernels");  // kept for the process
    PyObject* module = internal::current_module_object();
    Ref kernels =
        borrow(module != nullptr && key != nullptr ? PyDict_GetItem(PyModule_GetDict(module), key)
                                                   : nullptr);
    if (!kernels) {
        PyErr_SetString(PyExc_NameError, "name 'kernels' is not defined");
        return Ref();
    }
    PyObject* interned = interned_kernel_name(name);
    return steal(interned != nullptr ? PyObject_GetAttr(kernels.get(), interned)
                                     : PyObject_GetAttrString(kernels.get(), name));
}

bool kernels_lookup_is_plain() {
    static PyObject* key = PyUnicode_InternFromString("kernels");  // kept for the process
    PyObject* module = internal::current_module_object();
    if (module == nullptr || key == nullptr) return false;
    PyObject* kernels = PyDict_GetItem(PyModule_GetDict(module), key);
    return kernels != nullptr && PyModule_CheckExact(kernels);
}

bool is_native_kernel(PyObject* f, const char* name) {
    if (!PyCFunction_CheckExact(f)) return false;
    auto* cf = reinterpret_cast<PyCFunctionObject*>(f);
    if (cf->m_module == nullptr || !PyUnicode_Check(cf->m_module)) return false;
    return PyUnicode_CompareWithASCIIString(cf->m_module, "zelk.field.kernels") == 0 &&
           std::string_view(cf->m_ml->ml_name) == name;
}

}  // namespace zelk
