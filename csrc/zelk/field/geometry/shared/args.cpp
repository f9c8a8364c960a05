#include "zelk/field/geometry/shared/args.hpp"

#include <frameobject.h>

#include <forward_list>
#include <utility>
#include <vector>
#include <string>

namespace zelk {

int param_count(const Signature& sig) noexcept {
    int n = 0;
    while (n < kMaxParams && sig.params[n].name != nullptr) ++n;
    return n;
}

namespace {

int default_count(const Signature& sig, int nparams) {
    int d = 0;
    for (int i = 0; i < nparams; ++i) d += sig.params[i].default_text != nullptr;
    return d;
}

// The messages below copy the interpreter's own wording for a `def`.
void raise_too_many(const Signature& sig, int nparams, Py_ssize_t given) {
    const Py_ssize_t self = sig.has_self ? 1 : 0;
    const Py_ssize_t argcount = nparams + self;
    const Py_ssize_t defcount = default_count(sig, nparams);
    const Py_ssize_t total = given + self;
    Ref count;
    bool plural;
    if (defcount) {
        plural = true;
        count = steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        count = steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!count) return;
    PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd %s given",
                 sig.qualname, count.get(), plural ? "s" : "", total, total == 1 ? "was" : "were");
}

void raise_missing(const Signature& sig, int nparams, PyObject* const* values) {
    Ref names = steal(PyList_New(0));
    if (!names) return;
    for (int i = 0; i < nparams; ++i) {
        if (values[i] == nullptr && sig.params[i].default_text == nullptr) {
            Ref quoted = steal(PyUnicode_FromFormat("'%s'", sig.params[i].name));
            if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return;
        }
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        text = steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                          PyList_GET_ITEM(names.get(), 1)));
    } else {
        // 'a', 'b', and 'c'
        Ref last = steal(PyList_GetSlice(names.get(), n - 1, n));
        Ref head = steal(PyList_GetSlice(names.get(), 0, n - 1));
        Ref sep = steal(PyUnicode_FromString(", "));
        if (!last || !head || !sep) return;
        Ref joined = steal(PyUnicode_Join(sep.get(), head.get()));
        if (!joined) return;
        text =
            steal(PyUnicode_FromFormat("%U, and %U", joined.get(), PyList_GET_ITEM(last.get(), 0)));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U",
                 sig.qualname, n, n == 1 ? "" : "s", text.get());
}

int find_param(const Signature& sig, int nparams, PyObject* key) {
    for (int i = 0; i < nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return i;
    }
    return -1;
}

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 a def names the closest of its parameters (self included) after an
// unknown keyword; the interpreter's own chooser keeps the choice the same.
// NULL when none is close enough or the chooser is not at hand.
Ref suggest_keyword(const Signature& sig, int nparams, PyObject* key) {
    Ref chooser = steal(PyImport_ImportModule("_suggestions"));
    Ref names = steal(PyList_New(0));
    Ref self = steal(PyUnicode_FromString("self"));
    bool ok = chooser && names && self;
    if (ok && sig.has_self) ok = PyList_Append(names.get(), self.get()) == 0;
    for (int i = 0; ok && i < nparams; ++i) {
        Ref name = steal(PyUnicode_FromString(sig.params[i].name));
        ok = name && PyList_Append(names.get(), name.get()) == 0;
    }
    Ref best = ok ? steal(PyObject_CallMethod(chooser.get(), "_generate_suggestions", "OO",
                                              names.get(), key))
                  : Ref();
    PyErr_Clear();
    if (!best || !PyUnicode_Check(best.get())) return Ref();
    return best;
}
#endif

// Binds one keyword; false with an exception set when it cannot be taken.
bool bind_keyword(const Signature& sig, int nparams, PyObject* key, PyObject* value,
                  BoundArgs& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.qualname);
        return false;
    }
    const int i = find_param(sig, nparams, key);
    // `self` is the bound instance: naming it again is a duplicate, as for a def.
    if (i < 0 && sig.has_self && PyUnicode_CompareWithASCIIString(key, "self") == 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'self'", sig.qualname);
        return false;
    }
    if (i < 0) {
        if (!sig.varkw) {
#if PY_VERSION_HEX >= 0x030D0000
            if (Ref best = suggest_keyword(sig, nparams, key)) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                             sig.qualname, key, best.get());
                return false;
            }
#endif
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         sig.qualname, key);
            return false;
        }
        if (!out.kwargs) {
            out.kwargs = steal(PyDict_New());
            if (!out.kwargs) return false;
        }
        return PyDict_SetItem(out.kwargs.get(), key, value) == 0;
    }
    if (out.values[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.qualname,
                     key);
        return false;
    }
    out.values[i] = value;
    out.held[i] = borrow(value);
    return true;
}

// The interpreter checks keywords first, then the positional count, then what is missing.
bool finish(const Signature& sig, int nparams, Py_ssize_t nargs, BoundArgs& out) {
    if (nargs > nparams) {
        raise_too_many(sig, nparams, nargs);
        return false;
    }
    for (int i = 0; i < nparams; ++i) {
        if (out.values[i] == nullptr && sig.params[i].default_text == nullptr) {
            raise_missing(sig, nparams, out.values);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundArgs& out) {
    nargs = PyVectorcall_NARGS(nargs);
    const int nparams = param_count(sig);
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) out.values[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, nparams, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out))
                return false;
        }
    }
    return finish(sig, nparams, nargs, out);
}

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwds, BoundArgs& out) {
    const int nparams = param_count(sig);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) out.values[i] = PyTuple_GET_ITEM(args, i);
    if (kwds != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            // Held: binding allocates, and code run then may change the dict.
            Ref k = borrow(key), v = borrow(value);
            if (!bind_keyword(sig, nparams, k.get(), v.get(), out)) return false;
        }
    }
    return finish(sig, nparams, nargs, out);
}

void add_traceback(const char* module, const char* qualname) {
    std::string funcname = std::string(module) + "." + qualname;
    std::string path = module;
    for (char& c : path) {
        if (c == '.') c = '/';
    }
    add_traceback_raw(funcname.c_str(), path.c_str());
}

void add_traceback_raw(const char* funcname, const char* filename) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 1)));
    Ref globals = steal(PyDict_New());
    Ref frame;
    if (code && globals) {
        frame = steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    }
    // A failure to build the entry must not replace the error being reported.
    if (!frame) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

const char* text_signature(const Signature& sig, const char* name) {
    static std::forward_list<std::string> texts;  // lives as long as the methods do
    std::string s = name;
    s += "(";
    const int nparams = param_count(sig);
    bool first = true;
    auto sep = [&] {
        if (!first) s += ", ";
        first = false;
    };
    if (sig.has_self) {
        sep();
        s += "$self, /";
    }
    for (int i = 0; i < nparams; ++i) {
        sep();
        s += sig.params[i].name;
        if (sig.params[i].default_text) {
            s += "=";
            s += sig.params[i].default_text;
        }
    }
    if (sig.varkw) {
        sep();
        s += "**kwargs";
    }
    s += ")\n--\n\n";
    texts.push_front(std::move(s));
    return texts.front().c_str();
}

PyObject* call_method(const MethodDef& def, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    BoundArgs bound;
    PyObject* result = nullptr;
    if (bind_args(def.sig, args, nargs, kwnames, bound)) {
        result = guarded([&] { return def.body(self, bound); });
    }
    if (result == nullptr) add_traceback(def.sig.module, def.sig.qualname);
    return result;
}

namespace {
std::vector<std::pair<initproc, const MethodDef*>>& init_registry() {
    static std::vector<std::pair<initproc, const MethodDef*>> registry;
    return registry;
}
}  // namespace

bool register_init(initproc slot, const MethodDef* def) {
    init_registry().emplace_back(slot, def);
    return true;
}

const MethodDef* registered_init(initproc slot) {
    for (const auto& entry : init_registry()) {
        if (entry.first == slot) return entry.second;
    }
    return nullptr;
}

int call_init(const MethodDef& def, PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    BoundArgs bound;
    PyObject* result = nullptr;
    if (bind_args(def.sig, args, kwds, bound)) {
        result = guarded([&] { return def.body(self, bound); });
    }
    if (result == nullptr) {
        add_traceback(def.sig.module, def.sig.qualname);
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

}  // namespace zelk
