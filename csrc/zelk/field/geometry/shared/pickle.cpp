// State serialisation shared by every geometry class: a reducer, a restorer and
// one module-level reconstructor per class, driven by the class's PickleDef.
// The reconstructor names, field order and checksums are a stored format.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/internal.hpp"

#include <cstring>
#include <forward_list>
#include <string>

namespace zelk::internal {

namespace {

constexpr const char kReduceDoc[] = "__reduce__($self, /)\n--\n\n";
constexpr const char kSetstateDoc[] = "__setstate__($self, /, __pyx_state)\n--\n\n";

int count_fields(const PickleDef& p) {
    int n = 0;
    while (n < kMaxStateFields && p.fields[n] != nullptr) ++n;
    return n;
}

bool raise_bad_state(PyObject* state) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '__pyx_state' has incorrect type (expected tuple, got %.200s)",
                 Py_TYPE(state)->tp_name);
    return false;
}

// Assigns the state's items to the fields in table order; fields assigned
// before a failing item keep their new values.
bool restore_state(PyObject* self, const PickleDef& p, PyObject* state) {
    const int n = count_fields(p);
    const Py_ssize_t len = PyTuple_GET_SIZE(state);
    for (int k = 0; k < n; ++k) {
        if (k >= len) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        if (write_field(self, *p.fields[k], PyTuple_GET_ITEM(state, k)) < 0) return false;
    }
    if (len > n) {
        PyObject* d = PyTuple_GET_ITEM(state, n);
        const int truth = PyObject_IsTrue(d);
        if (truth < 0) return false;
        if (truth) {
            Ref dict = steal(PyObject_GetAttrString(self, "__dict__"));
            if (!dict) return false;
            Ref r = steal(PyObject_CallMethod(dict.get(), "update", "O", d));
            if (!r) return false;
        }
    }
    return true;
}

// The signature used for messages, named after the class that defines the hook.
struct HookSignature {
    std::string qualname;
    Signature sig;
    HookSignature(const ClassEntry& e, const char* hook, bool has_self, Param p0 = {},
                  Param p1 = {}, Param p2 = {})
        : qualname(has_self ? std::string(e.def->name) + "." + hook : std::string(hook)),
          sig{nullptr, current_module().full_name, has_self, {p0, p1, p2}, false} {
        sig.qualname = qualname.c_str();
    }
};

const ClassEntry* entry_or_raise(PyTypeObject* cls) {
    const ClassEntry* e = find_class(cls);
    if (e == nullptr || e->def->pickle == nullptr) {
        PyErr_SetString(PyExc_SystemError, "pickling hook called for an unregistered class");
    }
    return e;
}

PyObject* reduce_body(PyObject* self, const ClassEntry& e) {
    const PickleDef& p = *e.def->pickle;
    const int n = count_fields(p);
    Ref state = steal(PyTuple_New(n));
    if (!state) return nullptr;
    bool all_none = true;
    for (int k = 0; k < n; ++k) {
        PyObject* v = read_field(self, *p.fields[k]);
        if (v == nullptr) return nullptr;
        if (p.fields[k]->kind == FieldKind::Object || p.fields[k]->kind == FieldKind::List) {
            all_none = all_none && v == Py_None;
        }
        PyTuple_SET_ITEM(state.get(), k, v);
    }
    Ref dict = steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    bool with_dict = false;
    if (dict && dict.get() != Py_None) {
        const int truth = PyObject_IsTrue(dict.get());
        if (truth < 0) return nullptr;
        with_dict = truth == 1;
    }
    if (with_dict) {
        Ref extra = steal(PyTuple_Pack(1, dict.get()));
        if (!extra) return nullptr;
        state = steal(PySequence_Concat(state.get(), extra.get()));
        if (!state) return nullptr;
    }
    if (e.reconstructor == nullptr) {
        PyErr_SetString(PyExc_SystemError, "pickle reconstructor is not registered");
        return nullptr;
    }
    Ref checksum = steal(PyLong_FromLong(p.checksums[0]));
    if (!checksum) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (with_dict || !all_none) {
        return Py_BuildValue("(O(OOO)O)", e.reconstructor, type, checksum.get(), Py_None,
                             state.get());
    }
    return Py_BuildValue("(O(OOO))", e.reconstructor, type, checksum.get(), state.get());
}

PyObject* reduce_hook(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) {
    const ClassEntry* e = entry_or_raise(cls);
    if (e == nullptr) return nullptr;
    HookSignature hs(*e, "__reduce__", true);
    BoundArgs bound;
    PyObject* result = nullptr;
    if (bind_args(hs.sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) {
        result = guarded([&] { return reduce_body(self, *e); });
    }
    if (result == nullptr) add_traceback(hs.sig.module, hs.sig.qualname);
    return result;
}

PyObject* setstate_hook(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    const ClassEntry* e = entry_or_raise(cls);
    if (e == nullptr) return nullptr;
    HookSignature hs(*e, "__setstate__", true, Param{"__pyx_state", nullptr});
    BoundArgs bound;
    bool ok = bind_args(hs.sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound);
    if (ok) {
        PyObject* state = bound[0];
        ok = PyTuple_CheckExact(state) ? restore_state(self, *e->def->pickle, state)
                                       : raise_bad_state(state);
    }
    if (!ok) {
        add_traceback(hs.sig.module, hs.sig.qualname);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* unpickle_body(const ClassEntry& e, const BoundArgs& bound) {
    const PickleDef& p = *e.def->pickle;
    Ref index = steal(PyNumber_Index(bound[1]));
    if (!index) return nullptr;
    const long checksum = PyLong_AsLong(index.get());
    if (checksum == -1 && PyErr_Occurred()) return nullptr;
    PyObject* state = bound[2];
    if (checksum != p.checksums[0] && checksum != p.checksums[1] && checksum != p.checksums[2]) {
        std::string names;
        for (int k = 0; k < count_fields(p); ++k) {
            if (k) names += ", ";
            names += p.fields[k]->name;
        }
        Ref pickle = steal(PyImport_ImportModule("pickle"));
        if (!pickle) return nullptr;
        Ref error = steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
        if (!error) return nullptr;
        Ref fmt = steal(
            PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"));
        Ref values = steal(Py_BuildValue("(llll s)", checksum, p.checksums[0], p.checksums[1],
                                         p.checksums[2], names.c_str()));
        if (!fmt || !values) return nullptr;
        Ref message = steal(PyUnicode_Format(fmt.get(), values.get()));
        if (!message) return nullptr;
        PyErr_SetObject(error.get(), message.get());
        return nullptr;
    }
    // The class's own __new__ checks that the requested type is a subclass.
    Ref new_method = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(e.type), "__new__"));
    if (!new_method) return nullptr;
    Ref result = steal(PyObject_CallOneArg(new_method.get(), bound[0]));
    if (!result) return nullptr;
    if (state == Py_None) return result.release();
    if (!PyTuple_CheckExact(state)) {
        raise_bad_state(state);
        return nullptr;
    }
    if (!restore_state(result.get(), p, state)) return nullptr;
    return result.release();
}

PyObject* unpickle_hook(PyObject* /*module*/, PyTypeObject* cls, PyObject* const* args,
                        size_t nargsf, PyObject* kwnames) {
    const ClassEntry* e = entry_or_raise(cls);
    if (e == nullptr) return nullptr;
    std::string name = std::string("__pyx_unpickle_") + e->def->name;
    HookSignature hs(*e, name.c_str(), false, Param{"__pyx_type", nullptr},
                     Param{"__pyx_checksum", nullptr}, Param{"__pyx_state", nullptr});
    BoundArgs bound;
    PyObject* result = nullptr;
    if (bind_args(hs.sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) {
        result = guarded([&] { return unpickle_body(*e, bound); });
    }
    if (result == nullptr) add_traceback(hs.sig.module, hs.sig.qualname);
    return result;
}

PyCFunction as_cfunction(PyCMethod f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef kReduceDef = {"__reduce__", as_cfunction(reduce_hook),
                          METH_METHOD | METH_FASTCALL | METH_KEYWORDS, kReduceDoc};
PyMethodDef kSetstateDef = {"__setstate__", as_cfunction(setstate_hook),
                            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, kSetstateDoc};

// True for a __reduce__ of this scheme, from any module that uses it.
bool is_scheme_reducer(PyObject* o) {
    if (!Py_IS_TYPE(o, &PyMethodDescr_Type)) return false;
    const PyMethodDef* m = reinterpret_cast<PyMethodDescrObject*>(o)->d_method;
    return (m->ml_flags & METH_METHOD) && m->ml_doc != nullptr &&
           std::strcmp(m->ml_doc, kReduceDoc) == 0;
}

PyObject* lookup(PyTypeObject* type, const char* name) {
    Ref key = steal(PyUnicode_InternFromString(name));
    return key ? _PyType_Lookup(type, key.get()) : nullptr;
}

}  // namespace

int install_pickling(PyTypeObject* type) {
    PyTypeObject* object = &PyBaseObject_Type;
    // Keep whatever pickling a base class chose for itself.
    if (lookup(type, "__getstate__") != lookup(object, "__getstate__")) return 0;
    if (lookup(type, "__reduce_ex__") != lookup(object, "__reduce_ex__")) return 0;
    PyObject* reduce = lookup(type, "__reduce__");
    if (reduce != lookup(object, "__reduce__") && !is_scheme_reducer(reduce)) return 0;
    if (PyErr_Occurred()) return -1;

    PyObject* t = reinterpret_cast<PyObject*>(type);
    Ref reducer = steal(PyDescr_NewMethod(type, &kReduceDef));
    Ref restorer = steal(PyDescr_NewMethod(type, &kSetstateDef));
    if (!reducer || !restorer || PyObject_SetAttrString(t, "__reduce__", reducer.get()) < 0 ||
        PyObject_SetAttrString(t, "__setstate__", restorer.get()) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
        return -1;
    }
    return 0;
}

PyObject* make_reconstructor(PyObject* module, PyTypeObject* type, const ClassDef& def) {
    // Method tables must outlive the functions made from them.
    static std::forward_list<std::string> names;
    static std::forward_list<PyMethodDef> defs;
    names.push_front(std::string("__pyx_unpickle_") + def.name);
    const std::string& name = names.front();
    names.push_front(name + "(__pyx_type, __pyx_checksum, __pyx_state)\n--\n\n");
    defs.push_front(PyMethodDef{name.c_str(), as_cfunction(unpickle_hook),
                                METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
                                names.front().c_str()});
    Ref modname = steal(PyUnicode_FromString(current_module().full_name));
    if (!modname) return nullptr;
    return PyCMethod_New(&defs.front(), module, modname.get(), type);
}

}  // namespace zelk::internal
