// Argument binding with the wording of a plain Python `def`, and the method
// trampolines that add a traceback entry to every failing call.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

#include <cstddef>

namespace zelk {

constexpr int kMaxParams = 8;

struct Param {
    const char* name;
    const char* default_text;  // as shown by inspect.signature; nullptr when required
};

// The signature of one callable, as a Python `def` would declare it.
struct Signature {
    const char* qualname;  // e.g. "PointRGJ.repulsion_vector", used in messages
    const char* module;    // e.g. "zelk.field.geometry.point", used in tracebacks
    bool has_self;         // counted in messages as Python counts `self`
    Param params[kMaxParams];
    bool varkw;  // accepts **kwargs
};

int param_count(const Signature& sig) noexcept;

// Bound arguments: values[i] is NULL when not given, so the caller uses its
// default; kwargs holds the extra keywords when the signature has **kwargs
// (always a dict then, possibly empty). Positional values live on the caller's
// stack or in its tuple for the whole call; a keyword value may come from the
// caller's own dict (`Cls(**d)` hands d itself to __init__), which code run
// during the call could empty, so those are held in `held`.
struct BoundArgs {
    PyObject* values[kMaxParams] = {};
    Ref held[kMaxParams];
    Ref kwargs;
    PyObject* operator[](int i) const noexcept { return values[i]; }
    // values[i], or the given default when the argument was left out.
    PyObject* get(int i, PyObject* dflt) const noexcept { return values[i] ? values[i] : dflt; }
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS). `args` excludes self.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               BoundArgs& out);
// Tuple/dict convention (tp_init). `args` excludes self.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwds, BoundArgs& out);

// Adds a traceback entry "module.qualname" with the file name "module/path".
void add_traceback(const char* module, const char* qualname);
// Adds a traceback entry with the given function and file names as they are.
void add_traceback_raw(const char* funcname, const char* filename);

// "def"-style text signature for __text_signature__, e.g.
// "repulsion_vector($self, /, x, min_dist_select=True, **kwargs)\n--\n\n".
const char* text_signature(const Signature& sig, const char* name);

// A method: its signature and body. The body gets the bound arguments.
using MethodBody = PyObject* (*)(PyObject* self, const BoundArgs& args);
// The signature of the method `name` of class `cls` (string literals), in the
// module named by the file's own kModule.
#define SIG(cls, name, ...)                      \
    ::zelk::Signature {                          \
        cls "." name, kModule, true, __VA_ARGS__ \
    }

struct MethodDef {
    const char* name;
    Signature sig;
    MethodBody body;
};

PyObject* call_method(const MethodDef& def, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// One C entry point per method definition, so that each has its own signature.
template <const MethodDef& D>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return call_method(D, self, args, nargs, kwnames);
}

int call_init(const MethodDef& def, PyObject* self, PyObject* args, PyObject* kwds) noexcept;

// Remembers which definition an initialiser slot runs, so that the class can
// show its signature; returns true.
bool register_init(initproc slot, const MethodDef* def);
// The definition behind an initialiser slot made by init_trampoline, or nullptr.
const MethodDef* registered_init(initproc slot);

template <const MethodDef& D>
int init_trampoline(PyObject* self, PyObject* args, PyObject* kwds);

template <const MethodDef& D>
struct InitRegistration {
    static const bool done;
};
template <const MethodDef& D>
const bool InitRegistration<D>::done = register_init(&init_trampoline<D>, &D);

// The tp_init slot for an initialiser defined as a MethodDef (body returns None).
template <const MethodDef& D>
int init_trampoline(PyObject* self, PyObject* args, PyObject* kwds) {
    (void)InitRegistration<D>::done;
    return call_init(D, self, args, kwds);
}

// A PyMethodDef for D (METH_FASTCALL | METH_KEYWORDS) with its text signature.
template <const MethodDef& D>
PyMethodDef method_entry() {
    PyMethodDef m;
    m.ml_name = D.name;
    m.ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&method_trampoline<D>));
    m.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    m.ml_doc = text_signature(D.sig, D.name);
    return m;
}

}  // namespace zelk
