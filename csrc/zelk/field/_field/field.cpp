// zelk.field._field: several quantities of a geometry's field for a batch in
// one search per point, with the bits of the geometry's own methods. For the
// grid and the command line; the geometry classes keep their own signatures.
//
// evaluate(geometry, x, quantities) gives a dict from each name in
// `quantities` ("value", "gradient", "squared_dist", "repulsion_vector") to
// its array, or None when the geometry is not exactly one of the package's
// classes running natively (a subclass, a stand-in member, a replaced field
// or method), so that the caller asks the methods themselves.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/own_class.hpp"

#include "core/forms.hpp"

#include <cstring>

namespace zelk {
namespace {

constexpr const char kModule[] = "zelk.field._field";

bool wanted(PyObject* quantities, FieldsWanted& want) {
    if (!PyTuple_Check(quantities)) {
        PyErr_Format(PyExc_TypeError, "quantities must be a tuple of names, not %.200s",
                     Py_TYPE(quantities)->tp_name);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(quantities); ++i) {
        PyObject* q = PyTuple_GET_ITEM(quantities, i);
        const char* name = PyUnicode_Check(q) ? PyUnicode_AsUTF8(q) : nullptr;
        if (name == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "quantity names must be str");
            return false;
        }
        if (std::strcmp(name, "value") == 0) {
            want.value = true;
        } else if (std::strcmp(name, "gradient") == 0) {
            want.gradient = true;
        } else if (std::strcmp(name, "squared_dist") == 0) {
            want.squared_dist = true;
        } else if (std::strcmp(name, "repulsion_vector") == 0) {
            want.repulsion_vector = true;
        } else {
            PyErr_Format(PyExc_ValueError, "unknown quantity %R", q);
            return false;
        }
    }
    return true;
}

// A single geometry: its repulsion vectors d, then squared_dist as the base
// class measures them under get_dist_matrix() (its inv_repulsion), eval as
// np.exp of their negation, and the gradient as a collection holding the
// geometry alone gives it: -eval * (grad_matrix d).
Outcome single(PyObject* g, PyObject* x, const FieldsWanted& want, FieldsOut& out) {
    PyTypeObject* t = Py_TYPE(g);
    if (!own_method(t, "eval", kBaseModule, "RGJGeometry")) return Outcome::Declined;
    PyObject* base_module = nullptr;
    for (PyTypeObject* c = t; c != nullptr && base_module == nullptr; c = c->tp_base) {
        base_module = defining_module(c, kBaseModule);
    }
    if (base_module == nullptr || !module_runs_natively(base_module, {})) return Outcome::Declined;
    NativeView view;
    view.track_arrays();
    PairsView q;
    if (!batch_in_place(x, q) || native_view(g, view) != Outcome::Done) return Outcome::Declined;
    // Read once, before any thread runs: the metric and the gradient matrix.
    double m[4], gm[4];
    if (!matrix2_view(field_value(as_geometry(g)->inv_repulsion).get(), m) ||
        !matrix2_view(field_value(as_geometry(g)->grad_matrix).get(), gm)) {
        return Outcome::Declined;
    }
    const npy_intp n = q.n;
    Ref d = new_float64({n, 2});
    Ref sq = d ? new_float64({n}) : Ref();
    if (!sq || !take_indexes(view, n)) return Outcome::Error;
    if (!batch_in_place(x, q) || q.n != n || !view.intact()) return Outcome::Declined;
    native_offsets_split(view, q, false, f64_data(d.get()));
    const core::Metric2 metric{m[0], m[1], m[2], m[3]};
    core::forms_vector_matrix_from_zero(PairsView::contiguous(f64_data(d.get()), n), metric,
                                        f64_data(sq.get()));
    if (want.squared_dist) out.squared_dist = sq;
    if (want.repulsion_vector) out.repulsion_vector = d;
    if (!want.value && !want.gradient) return Outcome::Done;
    Ref grad = want.gradient ? new_float64({n, 2}) : Ref();
    if (want.gradient && !grad) return Outcome::Error;
    const core::Metric2 G{gm[0], gm[1], gm[2], gm[3]};
    Ref e = value_and_gradient(sq.get(), f64_data(d.get()), &G, nullptr,
                               grad ? f64_data(grad.get()) : nullptr);
    if (!e) return Outcome::Error;
    if (want.value) out.value = e;
    if (want.gradient) out.gradient = grad;
    return Outcome::Done;
}

PyObject* evaluate(PyObject*, const BoundArgs& a) {
    PyObject* g = a[0];
    PyObject* x = a[1];
    FieldsWanted want;
    if (!wanted(a[2], want)) return nullptr;
    FieldsOut out;
    Outcome done = Outcome::Declined;
    try {
        const ClassDef* def = own_class_def(Py_TYPE(g));
        if (def != nullptr && def->native_fields != nullptr) {
            done = def->native_fields(g, x, want, out);
        } else if (def != nullptr && def->native_view != nullptr) {
            done = single(g, x, want, out);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (done == Outcome::Error) return nullptr;
    if (done == Outcome::Declined) Py_RETURN_NONE;
    Ref result = steal(PyDict_New());
    if (!result) return nullptr;
    const std::pair<const char*, const Ref*> items[] = {
        {"value", &out.value},
        {"gradient", &out.gradient},
        {"squared_dist", &out.squared_dist},
        {"repulsion_vector", &out.repulsion_vector}};
    for (const auto& [name, value] : items) {
        if (*value && PyDict_SetItemString(result.get(), name, value->get()) < 0) return nullptr;
    }
    return result.release();
}

constexpr MethodDef kEvaluate{
    "evaluate",
    Signature{"evaluate",
              kModule,
              false,
              {{"geometry", nullptr}, {"x", nullptr}, {"quantities", nullptr}},
              false},
    &evaluate};

PyMethodDef kFunctions[] = {method_entry<kEvaluate>(), {nullptr, nullptr, 0, nullptr}};

const ModuleDef kModuleDef{.short_name = "_field",
                           .full_name = kModule,
                           .doc = "Several quantities of a field in one search per point.",
                           .functions = kFunctions};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit__field() {
    return zelk::module_init(zelk::kModuleDef);
}
