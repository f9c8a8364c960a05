// GeometryCollectionRGJ construction and its simple operations. Members are
// reached through their methods and attributes, so any object with the same
// operations can be a member, or through the native view their class table
// declares (native.hpp); the module imports none of the other geometry
// modules.
#include "zelk/field/geometry/collection/collection.hpp"

#include "zelk/field/geometry/collection/indexed.hpp"
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/items.hpp"
#include "zelk/field/geometry/shared/module.hpp"

#include "core/argmin.hpp"
#include "core/extremes.hpp"
#include "core/forms.hpp"

#include <cmath>
#include <cstring>
#include <cstdint>
#include <vector>

namespace zelk::collection {

// --- helpers ----------------------------------------------------------------

Ref as_list(const std::vector<Ref>& items) {
    Ref list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    for (size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref(items[i]).release());
    }
    return list;
}

// A (m, 2, 2) stack of plain float64 (2, 2) matrices, or an empty Ref (no error)
// when some item is not one, so that the caller lets NumPy decide.
Ref stack_matrices(const std::vector<Ref>& items) {
    if (items.empty()) return Ref();
    double m[4];
    for (const Ref& r : items) {
        if (!matrix2_view(r.get(), m)) return Ref();
    }
    Ref out = new_float64({static_cast<npy_intp>(items.size()), 2, 2});
    if (!out) return out;
    double* o = f64_data(out.get());
    for (const Ref& r : items) {
        matrix2_view(r.get(), o);
        o += 4;
    }
    return out;
}

// np.array(items), with the direct stack for plain 2x2 matrices.
Ref array_of_matrices(const std::vector<Ref>& items) {
    Ref stacked = stack_matrices(items);
    if (stacked || PyErr_Occurred()) return stacked;
    Ref list = as_list(items);
    return list ? np_call("array", {list.get()}) : Ref();
}

// Plain float64 1-D arrays of one common length; false otherwise.
bool value_views(const std::vector<Ref>& items, std::vector<core::ValuesView>& views) {
    views.clear();
    if (items.empty()) return false;
    for (const Ref& r : items) {
        if (!is_plain_float64(r.get(), 1)) return false;
        auto* arr = reinterpret_cast<PyArrayObject*>(r.get());
        views.push_back({static_cast<const char*>(PyArray_DATA(arr)), PyArray_DIM(arr, 0),
                         PyArray_STRIDE(arr, 0)});
        if (views.back().n != views.front().n) return false;
    }
    return true;
}

// Plain float64 (n, 2) arrays of one common n; false otherwise.
bool pair_views(const std::vector<Ref>& items, std::vector<PairsView>& views) {
    views.clear();
    if (items.empty()) return false;
    for (const Ref& r : items) {
        PairsView v;
        if (!pairs_view(r.get(), v) || v.n != (views.empty() ? v.n : views.front().n)) return false;
        views.push_back(v);
    }
    return true;
}

Ref new_intp(npy_intp n) {
    return steal(PyArray_SimpleNew(1, &n, NPY_INTP));
}

// `**kwargs` plus one more keyword, refusing a duplicate as a call would.
Ref merged_kwargs(PyObject* callable, PyObject* kwargs, const char* name, PyObject* value) {
    Ref d = steal(PyDict_New());
    if (!d || PyDict_SetItemString(d.get(), name, value) < 0) return Ref();
    if (kwargs != nullptr) {
        if (PyDict_GetItemString(kwargs, name) != nullptr) {
            Ref fname = steal(_PyObject_FunctionStr(callable));
            if (fname) {
                PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%s'",
                             fname.get(), name);
            }
            return Ref();
        }
        if (PyDict_Update(d.get(), kwargs) < 0) return Ref();
    }
    return d;
}

Ref call_with(PyObject* callable, PyObject* x, PyObject* kwargs) {
    Ref args = steal(PyTuple_Pack(1, x));
    return args ? steal(PyObject_Call(callable, args.get(), kwargs)) : Ref();
}

// --- construction -------------------------------------------------------------

// `from zelk.field.geometry import _RGJ_TYPES`, with the interpreter's rules.
Ref import_type_table() {
    Ref fromlist = steal(Py_BuildValue("(s)", "_RGJ_TYPES"));
    if (!fromlist) return Ref();
    Ref package = steal(
        PyImport_ImportModuleLevel("zelk.field.geometry", nullptr, nullptr, fromlist.get(), 0));
    if (!package) return Ref();
    Ref table = steal(PyObject_GetAttrString(package.get(), "_RGJ_TYPES"));
    if (table || !PyErr_ExceptionMatches(PyExc_AttributeError)) return table;
    PyErr_Clear();
    table =
        borrow(PyDict_GetItemString(PyImport_GetModuleDict(), "zelk.field.geometry._RGJ_TYPES"));
    if (table) return table;
    Ref name = steal(PyUnicode_FromString("_RGJ_TYPES"));
    Ref pkgname = steal(PyUnicode_FromString("zelk.field.geometry"));
    Ref path = steal(PyModule_GetFilenameObject(package.get()));
    if (!path) PyErr_Clear();
    Ref msg = steal(path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.get(),
                                                pkgname.get(), path.get())
                         : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                name.get(), pkgname.get()));
    if (msg) PyErr_SetImportError(msg.get(), pkgname.get(), path ? path.get() : nullptr);
    return Ref();
}

// _RGJ_TYPES[geometry["type"]](**geometry); the call gets a copy, so the
// caller's mapping is never changed.
Ref make_member(PyObject* table, PyObject* geometry) {
    Ref key = steal(PyUnicode_InternFromString("type"));
    Ref type_name = key ? steal(PyObject_GetItem(geometry, key.get())) : Ref();
    Ref cls = type_name ? steal(PyObject_GetItem(table, type_name.get())) : Ref();
    if (!cls) return Ref();
    Ref kwargs = steal(PyDict_New());
    if (!kwargs) return Ref();
    if (PyDict_Merge(kwargs.get(), geometry, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref fname = steal(_PyObject_FunctionStr(cls.get()));
            if (fname) {
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                             fname.get(), Py_TYPE(geometry)->tp_name);
            }
        }
        return Ref();
    }
    Ref empty = steal(PyTuple_New(0));
    return empty ? steal(PyObject_Call(cls.get(), empty.get(), kwargs.get())) : Ref();
}

// The joined extremes of plain float64 (k, 2) boxes, their rows met in the
// order NumPy's concatenation lays them out; false when a box is not plain
// or there is no row at all.
bool joined_box(const std::vector<Ref>& boxes, core::Extremes& e) {
    for (const Ref& b : boxes) {
        PairsView v;
        if (!pairs_view(b.get(), v)) return false;
        e.add(v);
    }
    return !e.empty;
}

Ref bbox_of_members(const std::vector<Ref>& boxes) {
    core::Extremes e;
    if (joined_box(boxes, e)) {
        Ref out = new_float64({2, 2});
        if (!out) return out;
        double* o = f64_data(out.get());
        o[0] = e.lo[0], o[1] = e.lo[1], o[2] = e.hi[0], o[3] = e.hi[1];
        return out;
    }
    Ref list = as_list(boxes);
    Ref zero = py_int(0), minus_one = py_int(-1), two = py_int(2);
    Ref joined = list ? np_call("concatenate", {list.get()}, {{"axis", zero.get()}}) : Ref();
    Ref rows = joined ? call_method(joined.get(), "reshape", {minus_one.get(), two.get()}) : Ref();
    Ref lo_a = rows ? call_method(rows.get(), "min", {zero.get()}) : Ref();
    Ref hi_a = lo_a ? call_method(rows.get(), "max", {zero.get()}) : Ref();
    Ref pair = steal(hi_a ? Py_BuildValue("[OO]", lo_a.get(), hi_a.get()) : nullptr);
    return pair ? np_call("array", {pair.get()}) : Ref();
}

// getattr(member, name) for each member, in order; false with an exception set.
bool member_attributes(const std::vector<Ref>& members, const char* name, std::vector<Ref>& out) {
    for (const Ref& m : members) {
        Ref value = steal(PyObject_GetAttrString(m.get(), name));
        if (!value) return false;
        out.push_back(std::move(value));
    }
    return true;
}

// inv_repulsions and grad_matrixes: each member's get_dist_matrix(scaled=True,
// inverted=True) and grad_matrix, stacked in member order.
bool stack_member_matrices(PyObject* self, const std::vector<Ref>& members) {
    std::vector<Ref> metrics, grads;
    for (const Ref& m : members) {
        Ref metric = metric_of(m.get());
        if (!metric) return false;
        metrics.push_back(std::move(metric));
    }
    Ref inv = array_of_matrices(metrics);
    if (!inv) return false;
    set_field(coll(self)->inv_repulsions, inv.release());
    if (!member_attributes(members, "grad_matrix", grads)) return false;
    Ref grad_stack = array_of_matrices(grads);
    if (!grad_stack) return false;
    set_field(coll(self)->grad_matrixes, grad_stack.release());
    return true;
}

PyObject* init_body(PyObject* self, const BoundArgs& a) {
    Ref table = import_type_table();
    if (!table) return nullptr;
    PyObject* properties = a.get(1, Py_None);
    Ref props = properties == Py_None ? steal(PyDict_New()) : borrow(properties);
    if (!props) return nullptr;
    set_field(coll(self)->base.properties, props.release());

    std::vector<Ref> members;
    {
        Ref it = steal(PyObject_GetIter(a[0]));
        if (!it) return nullptr;
        while (Ref geometry = steal(PyIter_Next(it.get()))) {
            Ref member = make_member(table.get(), geometry.get());
            if (!member) return nullptr;
            members.push_back(std::move(member));
        }
        if (PyErr_Occurred()) return nullptr;
    }
    Ref list = as_list(members);
    if (!list) return nullptr;
    set_field(coll(self)->rgjs, list.release());

    if (!stack_member_matrices(self, members)) return nullptr;
    std::vector<Ref> boxes;
    if (!member_attributes(members, "bbox", boxes)) return nullptr;
    Ref box = bbox_of_members(boxes);
    if (!box) return nullptr;
    set_field(coll(self)->base.bbox, box.release());
    Py_RETURN_NONE;
}

// --- simple operations --------------------------------------------------------

PyObject* set_coordinates_body(PyObject*, const BoundArgs&) {
    // A collection's shape is its members'; there is nothing to replace as a whole.
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// Every member takes the new repulsion; then the stacked matrices are taken
// again, so that the member picked and the gradient follow the members'
// new metrics rather than those they were built with.
PyObject* set_repulsion_body(PyObject* self, const BoundArgs& a) {
    std::vector<Ref> members;
    if (!map_members(self, members, [&](PyObject* m) -> Ref {
            Ref r = call_method(m, "set_repulsion", {a[0]});
            return r ? borrow(m) : Ref();
        })) {
        return nullptr;
    }
    if (!members.empty() && !stack_member_matrices(self, members)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* in_bbox_body(PyObject* self, const BoundArgs& a) {
    int found = 0;
    const bool walked = each_item(field_value(coll(self)->rgjs), [&](PyObject* member) {
        Ref r = call_method(member, "in_bbox", {a[0]});
        found = r ? PyObject_IsTrue(r.get()) : -1;
        return found == 0;  // stops at the first member that holds the batch, or an error
    });
    if (found < 0 || (!walked && PyErr_Occurred())) return nullptr;
    return PyBool_FromLong(found);
}

PyObject* get_dist_matrix_body(PyObject* self, const BoundArgs& a) {
    PyObject* scaled = a.get(0, Py_True);
    PyObject* inverted = a.get(1, Py_True);
    std::vector<Ref> matrices;
    if (!map_members(self, matrices, [&](PyObject* m) {
            return call_method(m, "get_dist_matrix", {},
                               {{"scaled", scaled}, {"inverted", inverted}});
        })) {
        return nullptr;
    }
    return array_of_matrices(matrices).release();
}

PyObject* get_center_point_body(PyObject* self, const BoundArgs&) {
    std::vector<Ref> centres;
    if (!map_members(self, centres, [](PyObject* m) { return call_method(m, "get_center_point"); }))
        return nullptr;
    Ref list = as_list(centres);
    Ref arr = list ? np_call("array", {list.get()}) : Ref();
    Ref shape = steal(Py_BuildValue("(ii)", -1, 2));
    Ref rows = arr && shape ? np_call("reshape", {arr.get(), shape.get()}) : Ref();
    return rows ? centre_of_rows(rows.get()).release() : nullptr;
}

}  // namespace zelk::collection
