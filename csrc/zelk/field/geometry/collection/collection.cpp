// zelk.field.geometry.collection: GeometryCollectionRGJ, a heterogeneous set
// of member geometries answering queries as one shape. Members are reached only
// through their methods and attributes, so any object with the same operations
// can be a member; the module imports none of the other geometry modules.
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

namespace zelk {
namespace {

constexpr const char kModule[] = "zelk.field.geometry.collection";

struct CollectionObject {
    GeometryObject base;
    PyObject* rgjs;
    PyObject* inv_repulsions;
    PyObject* grad_matrixes;
    PyObject* index;  // no attribute: the index over the members, kept between queries
};

// The own object fields follow the seven base fields without a gap, which is
// what instance_slots<7, N> counts on.
static_assert(offsetof(CollectionObject, index) == sizeof(GeometryObject) + 3 * sizeof(PyObject*),
              "layout");

CollectionObject* coll(PyObject* self) {
    return reinterpret_cast<CollectionObject*>(self);
}

const FieldDef kOwnFields[] = {
    {"rgjs", FieldKind::List, offsetof(CollectionObject, rgjs)},
    {"inv_repulsions", FieldKind::Object, offsetof(CollectionObject, inv_repulsions)},
    {"grad_matrixes", FieldKind::Object, offsetof(CollectionObject, grad_matrixes)},
};

// --- helpers ----------------------------------------------------------------

// Calls fn(member) for each member of `rgjs` in order, collecting the results.
template <class F>
bool map_members(PyObject* self, std::vector<Ref>& out, F&& fn) {
    return collect_items(field_value(coll(self)->rgjs), out, fn);
}

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
    for (const Ref& m : members) {
        Ref grad = steal(PyObject_GetAttrString(m.get(), "grad_matrix"));
        if (!grad) return false;
        grads.push_back(std::move(grad));
    }
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
    for (const Ref& m : members) {
        Ref box = steal(PyObject_GetAttrString(m.get(), "bbox"));
        if (!box) return nullptr;
        boxes.push_back(std::move(box));
    }
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

// --- distance, repulsion and gradient ---------------------------------------

// Per point: the smallest squared distance over the members, and with a true
// `ref_flag` also its member. The flag is tested once the answers are stacked.
Ref squared_dist(PyObject* self, PyObject* x, PyObject* scaled, PyObject* inverted,
                 PyObject* ref_flag) {
    if (ref_flag == Py_True || ref_flag == Py_False || ref_flag == Py_None) {
        Ref out;
        const Outcome done =
            collection::squared_dist(&coll(self)->index, field_value(coll(self)->rgjs).get(), x,
                                     scaled, inverted, ref_flag == Py_True, out);
        if (done != Outcome::Declined) return out;
    }
    std::vector<Ref> dists;
    if (!map_members(self, dists, [&](PyObject* m) {
            return call_method(m, "squared_dist", {x},
                               {{"scaled", scaled}, {"inverted", inverted}});
        })) {
        return Ref();
    }
    std::vector<core::ValuesView> views;
    if (value_views(dists, views)) {
        const npy_intp n = views.front().n;
        const npy_intp m = static_cast<npy_intp>(views.size());
        const int with_reference = truth(ref_flag);
        if (with_reference < 0) return Ref();
        Ref values = new_float64({n});
        Ref index = with_reference ? new_intp(n) : Ref();
        if (!values || (with_reference && !index)) return Ref();
        // The flag's __bool__ may have changed the answers: read them again.
        if (!value_views(dists, views) || views.front().n != n) return steal(resized_during_call());
        double* out = f64_data(values.get());
        if (!with_reference) {
            // np.min: a later equal value replaces the earlier (the sign of a
            // zero), and a NaN stays once met.
            for (npy_intp l = 0; l < n; ++l) {
                double low = views[0][l];
                for (npy_intp i = 1; i < m; ++i) {
                    const double v = views[i][l];
                    if (low == low) low = low < v ? low : v;
                }
                out[l] = low;
            }
            return values;
        }
        npy_intp* picked =
            static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(index.get())));
        std::vector<double> row(static_cast<size_t>(m));
        for (npy_intp l = 0; l < n; ++l) {
            for (npy_intp i = 0; i < m; ++i) row[i] = views[i][l];
            const std::ptrdiff_t k = core::argmin_first(row.data(), m);
            out[l] = row[k];
            picked[l] = k;
        }
        return steal(PyTuple_Pack(2, values.get(), index.get()));
    }
    Ref list = as_list(dists);
    Ref one = py_int(1);
    Ref stacked = list ? np_call("stack", {list.get()}, {{"axis", one.get()}}) : Ref();
    if (!stacked) return Ref();
    const int with_reference = truth(ref_flag);
    if (with_reference < 0) return Ref();
    if (!with_reference) return np_call("min", {stacked.get()}, {{"axis", one.get()}});
    Ref idx = np_call("argmin", {stacked.get()}, {{"axis", one.get()}});
    const Py_ssize_t n = idx ? PyObject_Length(stacked.get()) : -1;
    if (n < 0) return Ref();
    Ref count = py_int(n);
    Ref rows = np_call("arange", {count.get()});
    Ref picked = rows ? getitem(stacked.get(), {rows.get(), idx.get()}) : Ref();
    return picked ? steal(PyTuple_Pack(2, picked.get(), idx.get())) : Ref();
}

PyObject* squared_dist_body(PyObject* self, const BoundArgs& a) {
    return squared_dist(self, a[0], a.get(1, Py_True), a.get(2, Py_True), a.get(3, Py_False))
        .release();
}

// The NumPy formulation of the pick by each member's quadratic form.
Ref select_numpy(PyObject* stacked, PyObject* inv) {
    Ref zero = py_int(0), one = py_int(1), minus_one = py_int(-1);
    Ref v = call_method(stacked, "swapaxes", {zero.get(), one.get()});
    Ref subscripts = steal(PyUnicode_FromString("ijk,lik->lij"));
    Ref nv = v ? np_call("einsum", {subscripts.get(), inv, v.get()}) : Ref();
    Ref prod = nv ? steal(PyNumber_Multiply(v.get(), nv.get())) : Ref();
    Ref dist = prod ? call_method(prod.get(), "sum", {minus_one.get()}) : Ref();
    Ref select = dist ? call_method(dist.get(), "argmin", {one.get()}) : Ref();
    const Py_ssize_t n = select ? PyObject_Length(select.get()) : -1;
    if (n < 0) return Ref();
    Ref count = py_int(n);
    Ref rows = np_call("arange", {count.get()});
    return rows ? getitem(v.get(), {rows.get(), select.get()}) : Ref();
}

bool no_keywords(PyObject* kwargs) {
    return kwargs == nullptr || (PyDict_Check(kwargs) && PyDict_GET_SIZE(kwargs) == 0);
}

Ref repulsion_vector(PyObject* self, PyObject* x, PyObject* select_flag, PyObject* kwargs) {
    if (select_flag == Py_True && no_keywords(kwargs)) {
        Ref out;
        const Outcome done =
            collection::repulsion_vector(&coll(self)->index, field_value(coll(self)->rgjs).get(),
                                         field_value(coll(self)->inv_repulsions).get(), x, out);
        if (done != Outcome::Declined) return out;
    }
    std::vector<Ref> vectors;
    if (!map_members(self, vectors, [&](PyObject* m) -> Ref {
            Ref method = steal(PyObject_GetAttrString(m, "repulsion_vector"));
            Ref kw = method ? merged_kwargs(method.get(), kwargs, "min_dist_select", select_flag)
                            : Ref();
            return kw ? call_with(method.get(), x, kw.get()) : Ref();
        })) {
        return Ref();
    }
    std::vector<PairsView> views;
    const bool plain = pair_views(vectors, views);
    const npy_intp m = static_cast<npy_intp>(vectors.size());
    Ref stacked;
    if (!plain) {  // NumPy's stacking errors come before the flag is tested
        Ref list = as_list(vectors);
        Ref zero = py_int(0);
        stacked = list && zero ? np_call("stack", {list.get()}, {{"axis", zero.get()}}) : Ref();
        if (!stacked) return Ref();
    }
    const int select = truth(select_flag);
    if (select < 0) return Ref();
    // The flag's __bool__ may have changed the answers: read them again.
    const npy_intp rows = plain ? views.front().n : 0;
    if (plain && (!pair_views(vectors, views) || views.front().n != rows)) {
        return steal(resized_during_call());
    }
    if (plain && !select) {
        const npy_intp n = views.front().n;
        Ref out = new_float64({m * n, 2});
        if (!out) return out;
        double* o = f64_data(out.get());
        for (const PairsView& v : views) {
            for (npy_intp l = 0; l < n; ++l, o += 2) o[0] = v.x(l), o[1] = v.y(l);
        }
        return out;
    }
    std::vector<core::Metric2> inv;
    Ref inv_field = field_value(coll(self)->inv_repulsions);
    if (plain && matrix_stack_view(inv_field.get(), m, inv)) {
        const npy_intp n = views.front().n;
        Ref out = new_float64({n, 2});
        if (!out) return out;
        // einsum("ijk,lik->lij") then (v * Mv).sum(-1): the member's metric
        // applied first.
        core::pick_smallest_form(views.data(), m, n, inv.data(), f64_data(out.get()));
        return out;
    }
    if (!stacked) {
        Ref list = as_list(vectors);
        Ref zero = py_int(0);
        stacked = list && zero ? np_call("stack", {list.get()}, {{"axis", zero.get()}}) : Ref();
        if (!stacked) return Ref();
    }
    Ref minus_one = py_int(-1), two = py_int(2);
    if (select) {
        // Read where the formulation reads it, after the stacking.
        stacked = select_numpy(stacked.get(), field_value(coll(self)->inv_repulsions).get());
        if (!stacked) return Ref();
    }
    return call_method(stacked.get(), "reshape", {minus_one.get(), two.get()});
}

PyObject* repulsion_vector_body(PyObject* self, const BoundArgs& a) {
    return repulsion_vector(self, a[0], a.get(1, Py_True), a.kwargs.get()).release();
}

// (first, second) = value, with the interpreter's unpacking messages.
bool unpack_two(PyObject* value, Ref& first, Ref& second) {
    Ref it = steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    if (PyErr_Occurred()) return false;
    first = items[0];
    second = items[1];
    return true;
}

// The index array as plain intp values in [0, m); false otherwise.
bool index_view(PyObject* a, npy_intp n, npy_intp m, std::vector<npy_intp>& out) {
    if (!PyArray_CheckExact(a)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != n || PyArray_TYPE(arr) != NPY_INTP ||
        !PyArray_ISNOTSWAPPED(arr)) {
        return false;
    }
    out.resize(static_cast<size_t>(n));
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    for (npy_intp i = 0; i < n; ++i) {
        npy_intp k;
        std::memcpy(&k, base + i * PyArray_STRIDE(arr, 0), sizeof k);
        if (k < 0 || k >= m) return false;
        out[i] = k;
    }
    return true;
}

PyObject* gradient_body(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    PyObject* kwargs = a.kwargs.get();
    if (no_keywords(kwargs)) {
        Ref out;
        const Outcome done = collection::gradient(
            &coll(self)->index, reinterpret_cast<PyObject*>(Py_TYPE(self)),
            field_value(coll(self)->rgjs).get(), field_value(coll(self)->inv_repulsions).get(),
            field_value(coll(self)->grad_matrixes).get(), x, out);
        if (done != Outcome::Declined) return out.release();
    }
    Ref sq = steal(PyObject_GetAttrString(self, "squared_dist"));
    Ref sq_kw = sq ? merged_kwargs(sq.get(), kwargs, "return_reference", Py_True) : Ref();
    Ref pair = sq_kw ? call_with(sq.get(), x, sq_kw.get()) : Ref();
    Ref ignored, idx;
    if (!pair || !unpack_two(pair.get(), ignored, idx)) return nullptr;
    Ref rv_method = steal(PyObject_GetAttrString(self, "repulsion_vector"));
    Ref rv_kw =
        rv_method ? merged_kwargs(rv_method.get(), kwargs, "min_dist_select", Py_True) : Ref();
    Ref rv = rv_kw ? call_with(rv_method.get(), x, rv_kw.get()) : Ref();
    Ref eval = rv ? steal(PyObject_GetAttrString(self, "eval")) : Ref();
    Ref e = eval ? call(eval.get(), {}, {{"x", x}}) : Ref();
    Ref minus_one = py_int(-1), one = py_int(1);
    Ref column = e ? call_method(e.get(), "reshape", {minus_one.get(), one.get()}) : Ref();
    if (!column) return nullptr;

    Ref grads_field = field_value(coll(self)->grad_matrixes);
    PyObject* grads = grads_field.get();
    PairsView r;
    std::vector<core::Metric2> g;
    std::vector<npy_intp> k;
    if (pairs_view(rv.get(), r) && is_plain_float64(column.get(), 2) &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(column.get()), 0) == r.n &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(column.get()), 1) == 1 &&
        is_plain_float64(grads, 3) &&
        matrix_stack_view(grads, PyArray_DIM(reinterpret_cast<PyArrayObject*>(grads), 0), g) &&
        index_view(idx.get(), r.n, PyArray_DIM(reinterpret_cast<PyArrayObject*>(grads), 0), k)) {
        auto* col = reinterpret_cast<PyArrayObject*>(column.get());
        const char* cbase = static_cast<const char*>(PyArray_DATA(col));
        Ref out = new_float64({r.n, 2});
        if (!out) return nullptr;
        double* o = f64_data(out.get());
        for (npy_intp l = 0; l < r.n; ++l) {
            const double neg = -core::load_double(cbase + l * PyArray_STRIDE(col, 0));
            // einsum accumulates from 0.0, so a -0.0 sum comes out +0.0
            double applied[2];
            core::matrix_vector_from_zero(g[k[l]], r.x(l), r.y(l), applied);
            o[2 * l] = neg * applied[0];
            o[2 * l + 1] = neg * applied[1];
        }
        return out.release();
    }
    Ref chosen = getitem(grads, {idx.get()});
    Ref subscripts = steal(PyUnicode_FromString("ijk,ik->ij"));
    Ref applied = chosen ? np_call("einsum", {subscripts.get(), chosen.get(), rv.get()}) : Ref();
    Ref neg = applied ? steal(PyNumber_Negative(column.get())) : Ref();
    return neg ? PyNumber_Multiply(neg.get(), applied.get()) : nullptr;
}

// --- export -------------------------------------------------------------------

PyObject* to_rgeojson_body(PyObject* self, const BoundArgs&) {
    // The Feature is started with the properties before any member is asked.
    Ref properties = field_value(coll(self)->base.properties);
    Ref rgj_type = steal(PyObject_GetAttrString(self, "RGJType"));
    if (!rgj_type) return nullptr;
    std::vector<Ref> geometries;
    if (!map_members(self, geometries, [](PyObject* m) -> Ref {
            Ref feature = call_method(m, "toRGeoJSON");
            Ref key = steal(PyUnicode_InternFromString("geometry"));
            return feature && key ? steal(PyObject_GetItem(feature.get(), key.get())) : Ref();
        })) {
        return nullptr;
    }
    Ref list = as_list(geometries);
    return rgeojson_feature(properties.get(), rgj_type.get(), {{"geometries", list.get()}})
        .release();
}

// --- tables -------------------------------------------------------------------

constexpr MethodDef kInit{"__init__",
                          SIG("GeometryCollectionRGJ", "__init__",
                              {{"geometries", nullptr}, {"properties", "None"}}, true),
                          init_body};
constexpr MethodDef kSetCoordinates{
    "set_coordinates",
    SIG("GeometryCollectionRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    set_coordinates_body};
constexpr MethodDef kSetRepulsion{
    "set_repulsion",
    SIG("GeometryCollectionRGJ", "set_repulsion", {{"new_repulsion", nullptr}}, false),
    set_repulsion_body};
constexpr MethodDef kInBbox{
    "in_bbox", SIG("GeometryCollectionRGJ", "in_bbox", {{"x", nullptr}}, false), in_bbox_body};
constexpr MethodDef kGetDistMatrix{"get_dist_matrix",
                                   SIG("GeometryCollectionRGJ", "get_dist_matrix",
                                       {{"scaled", "True"}, {"inverted", "True"}}, false),
                                   get_dist_matrix_body};
constexpr MethodDef kGetCenterPoint{"get_center_point",
                                    SIG("GeometryCollectionRGJ", "get_center_point", {}, false),
                                    get_center_point_body};
constexpr MethodDef kSquaredDist{
    "squared_dist",
    SIG("GeometryCollectionRGJ", "squared_dist",
        {{"x", nullptr}, {"scaled", "True"}, {"inverted", "True"}, {"return_reference", "False"}},
        true),
    squared_dist_body};
constexpr MethodDef kRepulsionVector{"repulsion_vector",
                                     SIG("GeometryCollectionRGJ", "repulsion_vector",
                                         {{"x", nullptr}, {"min_dist_select", "True"}}, true),
                                     repulsion_vector_body};
constexpr MethodDef kGradient{
    "gradient", SIG("GeometryCollectionRGJ", "gradient", {{"x", nullptr}}, true), gradient_body};
constexpr MethodDef kToRGeoJSON{"toRGeoJSON", SIG("GeometryCollectionRGJ", "toRGeoJSON", {}, false),
                                to_rgeojson_body};

PyMethodDef kMethods[] = {
    method_entry<kSetCoordinates>(),  method_entry<kSetRepulsion>(),   method_entry<kInBbox>(),
    method_entry<kGetDistMatrix>(),   method_entry<kGetCenterPoint>(), method_entry<kSquaredDist>(),
    method_entry<kRepulsionVector>(), method_entry<kGradient>(),       method_entry<kToRGeoJSON>(),
    {nullptr, nullptr, 0, nullptr},
};

// bbox, coordinates, eye_repulsion, grad_matrix, grad_matrixes, inv_repulsion,
// inv_repulsions, properties, repulsion, rgjs
constexpr PickleDef kPickle{
    {&kBaseFields[6], &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kOwnFields[2],
     &kBaseFields[2], &kOwnFields[1], &kBaseFields[5], &kBaseFields[1], &kOwnFields[0]},
    {0x96a235a, 0x3eb5c46, 0x7a84316}};

ClassDef kClasses[] = {
    {.name = "GeometryCollectionRGJ",
     .rgj_type = "GeometryCollection",
     .base = BaseRef::MultiRGJGeometry,
     .basicsize = sizeof(CollectionObject),
     .slots = instance_slots<7, 11>(),
     .own_fields = kOwnFields,
     .n_own_fields = 3,
     .init = &init_trampoline<kInit>,
     .methods = kMethods,
     .pickle = &kPickle},
};

const ModuleDef kModuleDef{.short_name = "collection",
                           .full_name = kModule,
                           .doc = "GeometryCollectionRGJ.",
                           .base_types = {"MultiRGJGeometry", "RGJGeometry"},
                           .classes = kClasses,
                           .n_classes = 1};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit_collection() {
    return zelk::module_init(zelk::kModuleDef);
}
