// Owned references and the one place where C++ failures become Python exceptions.
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
inline Ref none() noexcept {
    return Ref::borrow(Py_None);
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
