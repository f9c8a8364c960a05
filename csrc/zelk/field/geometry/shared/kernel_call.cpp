#include "zelk/field/geometry/shared/kernel_call.hpp"

#include "zelk/field/geometry/shared/internal.hpp"

#include <string_view>

namespace zelk {

Ref kernel_function(const char* name) {
    PyObject* module = internal::current_module_object();
    Ref kernels = borrow(
        module != nullptr ? PyDict_GetItemString(PyModule_GetDict(module), "kernels") : nullptr);
    if (!kernels) {
        PyErr_SetString(PyExc_NameError, "name 'kernels' is not defined");
        return Ref();
    }
    return steal(PyObject_GetAttrString(kernels.get(), name));
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
