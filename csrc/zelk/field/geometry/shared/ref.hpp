// Owned references and the one place where C++ failures become Python exceptions.
//
// The rule of every call: it owns a strong reference to each object it reads
// for as long as it reads it. Almost anything can run Python code: allocating
// a tracked object (the collector may run finalizers), an attribute lookup, a
// NumPy call, a truth test, a comparison, __array__, building an error
// message. That code may reassign any field of any geometry or change any
// list, and so free what a borrowed pointer points to. Hence:
//  - a field is read with field_value (layout.hpp), which returns a Ref; there
//    is no borrowed field read;
//  - a list is walked with the helpers of items.hpp, which hold the list (or a
//    copy of it) and each item while it is used;
//  - a borrowed pointer (PyList_GET_ITEM, PyDict_GetItem, a type's tp_name)
//    is used only until the next thing that can run code, or is taken into a
//    Ref at once;
//  - views of array memory are taken again after anything that can run code,
//    since an array can be resized in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace zelk {

// An owned (strong) reference. Never leaks on an early return.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (may be NULL, which signals an error already set).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away (for return values).
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }

  private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* o) noexcept {
    return Ref::steal(o);
}
inline Ref borrow(PyObject* o) noexcept {
    return Ref::borrow(o);
}

// Runs a C++ body that may throw and turns what escapes into a Python exception.
// The body returns NULL with an exception set on Python errors, as usual.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace zelk
