// Walking lists and other iterables while code of the caller's may run: the
// walk holds the iterable and each item, so a finalizer that reassigns the
// field the iterable came from, or empties the list, frees nothing in use.
#pragma once

#include "zelk/field/geometry/shared/ref.hpp"

#include <vector>

namespace zelk {

// f(item) for each item in iteration order until f returns false (f has then
// set an error). The iterator holds the iterable and the item is owned while
// f runs; a list is walked as the interpreter walks it, so items added during
// the walk are met and removed ones are not. False on an error.
template <class F>
bool each_item(const Ref& iterable, F&& f) {
    Ref it = iterable ? steal(PyObject_GetIter(iterable.get())) : Ref();
    if (!it) return false;
    while (Ref item = steal(PyIter_Next(it.get()))) {
        if (!f(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// out += [f(item) for item in iterable]; f returns a Ref, empty on an error.
template <class F>
bool collect_items(const Ref& iterable, std::vector<Ref>& out, F&& f) {
    return each_item(iterable, [&](PyObject* item) {
        Ref value = f(item);
        if (!value) return false;
        out.push_back(std::move(value));
        return true;
    });
}

// [f(item) for item in iterable] as a new list.
template <class F>
Ref map_items(const Ref& iterable, F&& f) {
    Ref out = steal(PyList_New(0));
    const bool done = out && each_item(iterable, [&](PyObject* item) {
                          Ref value = f(item);
                          return value && PyList_Append(out.get(), value.get()) == 0;
                      });
    return done ? out : Ref();
}

// [f(item) for item in list] over a list or list subclass by index, as the
// interpreter walks an exact list (a subclass's own __iter__ is not used): the
// length is read again at every step and each item is owned while f runs.
template <class F>
Ref map_list_items(const Ref& list, F&& f) {
    Ref out = steal(PyList_New(0));
    if (!out) return out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref item = borrow(PyList_GET_ITEM(list.get(), i));
        Ref value = f(item.get());
        if (!value || PyList_Append(out.get(), value.get()) < 0) return Ref();
    }
    return out;
}

}  // namespace zelk
