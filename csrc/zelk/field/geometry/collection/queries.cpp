// GeometryCollectionRGJ's distance, repulsion and gradient queries: through
// the index over the members when every member offers the native road its
// view (indexed.hpp), else member by member through their methods.
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

Outcome native_fields(PyObject* self, PyObject* x, const FieldsWanted& want, FieldsOut& out) {
    return collection::fields(&coll(self)->index, reinterpret_cast<PyObject*>(Py_TYPE(self)),
                              field_value(coll(self)->rgjs).get(),
                              field_value(coll(self)->inv_repulsions).get(),
                              field_value(coll(self)->grad_matrixes).get(), x, want, out);
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

}  // namespace zelk::collection
