#include "zelk/field/geometry/shared/geometry.hpp"

#include "zelk/field/geometry/shared/layout.hpp"

namespace zelk {

namespace {

bool assign_properties(PyObject* self, PyObject* properties) {
    Ref value = properties == Py_None ? steal(PyDict_New()) : borrow(properties);
    if (!value) return false;
    set_field(as_geometry(self)->properties, value.release());
    return true;
}

}  // namespace

bool assign_repulsion_state(PyObject* self, PyObject* repulsion, PyObject* optional_dim,
                            PyObject* properties, PropertiesAt at, bool none_is_identity) {
    GeometryObject* g = as_geometry(self);
    Ref rep;
    if (repulsion == Py_None && none_is_identity) {
        rep = np_call("eye", {optional_dim});
    } else {
        Ref f64 = float64_type();
        rep = np_call("array", {repulsion}, {{"dtype", f64.get()}});
    }
    if (!rep) return false;
    set_field(g->repulsion, Ref(rep).release());

    Ref linalg = np_attr("linalg");
    Ref inv = linalg ? call_method(linalg.get(), "inv", {rep.get()}) : Ref();
    if (!inv) return false;
    set_field(g->inv_repulsion, Ref(inv).release());

    const Py_ssize_t size = PyObject_Length(rep.get());
    if (size < 0) return false;
    Ref dim = py_int(size);
    Ref eye = np_call("eye", {dim.get()});
    if (!eye) return false;
    set_field(g->eye_repulsion, eye.release());

    if (at == PropertiesAt::BeforeGrad && !assign_properties(self, properties)) return false;
    Ref transposed = steal(PyObject_GetAttrString(inv.get(), "T"));
    if (!transposed) return false;
    Ref grad = steal(PyNumber_Add(inv.get(), transposed.get()));
    if (!grad) return false;
    set_field(g->grad_matrix, grad.release());
    if (at == PropertiesAt::AfterGrad && !assign_properties(self, properties)) return false;
    return true;
}

PyObject* dist_matrix_field(PyObject* self, PyObject* scaled, PyObject* inverted) {
    GeometryObject* g = as_geometry(self);
    const int s = truth(scaled);
    if (s < 0) return nullptr;
    PyObject* field;
    if (!s) {
        field = g->eye_repulsion;
    } else {
        const int i = truth(inverted);
        if (i < 0) return nullptr;
        field = i ? g->inv_repulsion : g->repulsion;
    }
    return field_value(field).release();
}

Ref metric_of(PyObject* self) {
    // Made once and kept for the process: this runs on every query.
    static PyObject* name = PyUnicode_InternFromString("get_dist_matrix");
    static PyObject* kwnames = Py_BuildValue("(NN)", PyUnicode_InternFromString("scaled"),
                                             PyUnicode_InternFromString("inverted"));
    if (name == nullptr || kwnames == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return Ref();
    }
    PyObject* args[3] = {self, Py_True, Py_True};
    return steal(
        PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref rgeojson_feature(PyObject* properties, PyObject* rgj_type,
                     std::initializer_list<std::pair<const char*, PyObject*>> items) {
    for (const auto& item : items) {
        if (item.second == nullptr) return Ref();  // a failed step: its error is set
    }
    Ref geometry = steal(PyDict_New());
    if (!geometry || PyDict_SetItemString(geometry.get(), "type", rgj_type) < 0) return Ref();
    for (const auto& item : items) {
        if (PyDict_SetItemString(geometry.get(), item.first, item.second) < 0) return Ref();
    }
    Ref feature = steal(PyDict_New());
    Ref feature_type = steal(PyUnicode_InternFromString("Feature"));
    if (!feature || !feature_type ||
        PyDict_SetItemString(feature.get(), "type", feature_type.get()) < 0 ||
        PyDict_SetItemString(feature.get(), "properties", properties) < 0 ||
        PyDict_SetItemString(feature.get(), "geometry", geometry.get()) < 0) {
        return Ref();
    }
    return feature;
}

Ref box_centre(const core::Extremes& e) {
    Ref out = new_float64({2});
    if (!out) return out;
    double* o = f64_data(out.get());
    o[0] = (e.lo[0] + e.hi[0]) / 2.0;
    o[1] = (e.lo[1] + e.hi[1]) / 2.0;
    return out;
}

Ref centre_of_rows(PyObject* rows) {
    PairsView v;
    if (pairs_view(rows, v) && v.n > 0 &&
        PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(rows))) {
        core::Extremes e;
        e.add(v);
        return box_centre(e);
    }
    Ref zero = py_int(0);
    Ref lo = zero ? call_method(rows, "min", {zero.get()}) : Ref();
    Ref hi = lo ? call_method(rows, "max", {zero.get()}) : Ref();
    Ref sum = hi ? steal(PyNumber_Add(lo.get(), hi.get())) : Ref();
    Ref two = sum ? py_float(2.0) : Ref();
    return two ? steal(PyNumber_TrueDivide(sum.get(), two.get())) : Ref();
}

Ref init_next_in_mro(PyTypeObject* cls, PyObject* self, const BoundArgs& a) {
    Ref proxy =
        call(reinterpret_cast<PyObject*>(&PySuper_Type), {reinterpret_cast<PyObject*>(cls), self});
    Ref init = proxy ? steal(PyObject_GetAttrString(proxy.get(), "__init__")) : Ref();
    Ref kwargs = init ? steal(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "coordinates", a[0]) < 0 ||
        PyDict_SetItemString(kwargs.get(), "repulsion", a.get(1, Py_None)) < 0 ||
        (a.kwargs && PyDict_Update(kwargs.get(), a.kwargs.get()) < 0)) {
        return Ref();
    }
    Ref empty = steal(PyTuple_New(0));
    return empty ? steal(PyObject_Call(init.get(), empty.get(), kwargs.get())) : Ref();
}

}  // namespace zelk
