// zelk.field.geometry.base: RGJGeometry and MultiRGJGeometry, the fields every
// geometry holds and the distance, field-value and export operations they share.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/items.hpp"
#include "zelk/field/geometry/shared/module.hpp"

#include "core/extremes.hpp"
#include "core/forms.hpp"

#include <algorithm>
#include <cmath>

namespace zelk {
namespace {

constexpr const char kModule[] = "zelk.field.geometry.base";

GeometryObject* geo(PyObject* self) {
    return as_geometry(self);
}

// np.array(coordinates, dtype=np.float64).reshape(-1, 2)
Ref coordinate_rows(PyObject* coordinates) {
    Ref f64 = float64_type();
    Ref arr = np_call("array", {coordinates}, {{"dtype", f64.get()}});
    Ref minus_one = py_int(-1), two = py_int(2);
    return arr ? call_method(arr.get(), "reshape", {minus_one.get(), two.get()}) : Ref();
}

// [[min x, min y], [max x, max y]] over the rows, or a (2, 2) zero array.
Ref row_bbox(PyObject* coords) {
    const Py_ssize_t rows = PyObject_Length(coords);
    if (rows < 0) return Ref();
    if (rows == 0) {
        Ref shape = steal(Py_BuildValue("(ii)", 2, 2));
        return np_call("zeros", {shape.get()});
    }
    Ref zero = py_int(0);
    Ref lo = call_method(coords, "min", {zero.get()});
    Ref hi = lo ? call_method(coords, "max", {zero.get()}) : Ref();
    Ref pair = steal(lo && hi ? Py_BuildValue("[OO]", lo.get(), hi.get()) : nullptr);
    return pair ? np_call("array", {pair.get()}) : Ref();
}

bool assign_coordinates(PyObject* self, PyObject* coordinates) {
    Ref coords = coordinate_rows(coordinates);
    if (!coords) return false;
    set_field(geo(self)->coordinates, Ref(coords).release());
    Ref box = row_bbox(coords.get());
    if (!box) return false;
    set_field(geo(self)->bbox, box.release());
    return true;
}

PyObject* init_body(PyObject* self, const BoundArgs& a) {
    Ref coords = coordinate_rows(a[0]);
    if (!coords) return nullptr;
    set_field(geo(self)->coordinates, Ref(coords).release());
    Ref two = py_int(2);
    if (!assign_repulsion_state(self, a.get(1, Py_None), a.get(3, two.get()), a.get(2, Py_None),
                                PropertiesAt::AfterGrad)) {
        return nullptr;
    }
    Ref box = row_bbox(coords.get());
    if (!box) return nullptr;
    set_field(geo(self)->bbox, box.release());
    Py_RETURN_NONE;
}

PyObject* set_coordinates_body(PyObject* self, const BoundArgs& a) {
    if (!assign_coordinates(self, a[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_repulsion_body(PyObject* self, const BoundArgs& a) {
    if (!assign_repulsion_state(self, a[0], nullptr, Py_None, PropertiesAt::Skip, false)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_dist_matrix_body(PyObject* self, const BoundArgs& a) {
    return dist_matrix_field(self, a.get(0, Py_True), a.get(1, Py_True));
}

// b = np.asarray(bbox, dtype=np.float64).reshape(-1, 2)
Ref box_rows(PyObject* self) {
    Ref box = field_value(geo(self)->bbox);
    Ref f64 = float64_type();
    Ref arr = np_call("asarray", {box.get()}, {{"dtype", f64.get()}});
    Ref minus_one = py_int(-1), two = py_int(2);
    return arr ? call_method(arr.get(), "reshape", {minus_one.get(), two.get()}) : Ref();
}

PyObject* get_center_point_body(PyObject* self, const BoundArgs&) {
    Ref b = box_rows(self);
    if (!b) return nullptr;
    return centre_of_rows(b.get()).release();
}

// bool(np.all(x >= lo)) evaluated by NumPy.
int all_compare(PyObject* x, PyObject* bound, int op) {
    Ref cmp = steal(PyObject_RichCompare(x, bound, op));
    Ref all = cmp ? call_method(cmp.get(), "all") : Ref();
    return all ? PyObject_IsTrue(all.get()) : -1;
}

PyObject* in_bbox_body(PyObject* self, const BoundArgs& a) {
    Ref x = np_call("asarray", {a[0]});
    Ref b = x ? box_rows(self) : Ref();
    if (!b) return nullptr;
    Ref zero = py_int(0);
    Ref lo = call_method(b.get(), "min", {zero.get()});
    Ref hi = lo ? call_method(b.get(), "max", {zero.get()}) : Ref();
    if (!hi) return nullptr;
    int r = all_compare(x.get(), lo.get(), Py_GE);
    if (r == 1) r = all_compare(x.get(), hi.get(), Py_LE);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

// ((d @ M) * d).sum(-1), one value per row of d. `taken`, when given, holds
// M's entries as the call read them before its vectors were computed.
Ref quadratic_forms(PyObject* d, PyObject* m, const double* taken) {
    PairsView v;
    double mm[4];
    if (pairs_view(d, v) && matrix2_view(m, mm)) {
        const npy_intp n = v.n;
        Ref out = new_float64({n});
        if (!out) return out;
        // The allocation may have run a finalizer that resized d in place.
        if (!pairs_view(d, v) || v.n != n || !matrix2_view(m, mm)) {
            return steal(resized_during_call());
        }
        if (taken != nullptr) std::copy(taken, taken + 4, mm);
        core::forms_vector_matrix_from_zero(v, core::Metric2{mm[0], mm[1], mm[2], mm[3]},
                                            f64_data(out.get()));
        return out;
    }
    Ref dm = steal(PyNumber_MatrixMultiply(d, m));
    Ref prod = dm ? steal(PyNumber_Multiply(dm.get(), d)) : Ref();
    Ref last = py_int(-1);
    return prod ? call_method(prod.get(), "sum", {last.get()}) : Ref();
}

// Whether self.get_dist_matrix(scaled, inverted) is this module's own and
// runs no code of the caller's: a stored field is all it returns.
bool plain_dist_matrix(PyObject* self, PyObject* scaled, PyObject* inverted);

Ref squared_dist(PyObject* self, PyObject* x, PyObject* scaled, PyObject* inverted) {
    // A large query releases the interpreter lock while it picks its parts,
    // so another thread may write into the metric meanwhile. The metric's
    // entries are taken before the pick, and the same array measured
    // afterwards is measured with them: the answer then belongs to one state
    // of the metric, never to a pick under one and a measure under another.
    Ref before;
    double taken[4];
    bool have_taken = false;
    if (plain_dist_matrix(self, scaled, inverted)) {
        before = steal(dist_matrix_field(self, scaled, inverted));
        if (!before) return before;
        have_taken = matrix2_view(before.get(), taken);
    }
    Ref d = call_method(self, "repulsion_vector", {x});
    if (!d) return d;
    Ref m = call_method(self, "get_dist_matrix", {}, {{"scaled", scaled}, {"inverted", inverted}});
    if (!m) return m;
    const bool same = have_taken && m.get() == before.get();
    return quadratic_forms(d.get(), m.get(), same ? taken : nullptr);
}

PyObject* squared_dist_body(PyObject* self, const BoundArgs& a) {
    return squared_dist(self, a[0], a.get(1, Py_True), a.get(2, Py_True)).release();
}

PyObject* eval_body(PyObject* self, const BoundArgs& a) {
    Ref method = steal(PyObject_GetAttrString(self, "squared_dist"));
    Ref q = method ? call(method.get(), {a[0]},
                          {{"scaled", a.get(1, Py_True)}, {"inverted", a.get(2, Py_True)}})
                   : Ref();
    Ref neg = q ? steal(PyNumber_Negative(q.get())) : Ref();
    return neg ? np_call("exp", {neg.get()}).release() : nullptr;
}

// GeoJSON coordinates of the instance: a list of each item's tolist() for a
// list of arrays, the flat pair for a Point, else coordinates.tolist().
Ref export_coordinates(const Ref& coords, PyObject* rgj_type) {
    if (PyList_Check(coords.get())) {
        return map_list_items(coords, [](PyObject* c) { return call_method(c, "tolist"); });
    }
    const int is_point =
        PyUnicode_Check(rgj_type) && PyUnicode_CompareWithASCIIString(rgj_type, "Point") == 0;
    if (is_point) {
        Ref arr = np_call("asarray", {coords.get()});
        Ref minus_one = py_int(-1);
        Ref flat = arr ? call_method(arr.get(), "reshape", {minus_one.get()}) : Ref();
        return flat ? call_method(flat.get(), "tolist") : Ref();
    }
    return call_method(coords.get(), "tolist");
}

PyObject* to_rgeojson_body(PyObject* self, const BoundArgs&) {
    Ref rgj_type = steal(PyObject_GetAttrString(self, "RGJType"));
    if (!rgj_type) return nullptr;
    Ref coords = export_coordinates(field_value(geo(self)->coordinates), rgj_type.get());
    Ref held = coords ? field_value(geo(self)->repulsion) : Ref();
    Ref repulsion = held ? call_method(held.get(), "tolist") : Ref();
    if (!repulsion) return nullptr;
    Ref properties = field_value(geo(self)->properties);
    return rgeojson_feature(properties.get(), rgj_type.get(),
                            {{"coordinates", coords.get()}, {"repulsion", repulsion.get()}})
        .release();
}

#define SIG(qual, ...)                                  \
    Signature {                                         \
        "RGJGeometry." qual, kModule, true, __VA_ARGS__ \
    }

constexpr MethodDef kInit{"__init__",
                          SIG("__init__",
                              {{"coordinates", nullptr},
                               {"repulsion", "None"},
                               {"properties", "None"},
                               {"optional_dim", "2"}},
                              true),
                          init_body};
constexpr MethodDef kSetCoordinates{"set_coordinates",
                                    SIG("set_coordinates", {{"new_coords", nullptr}}, false),
                                    set_coordinates_body};
constexpr MethodDef kSetRepulsion{
    "set_repulsion", SIG("set_repulsion", {{"new_repulsion", nullptr}}, false), set_repulsion_body};
constexpr MethodDef kGetDistMatrix{
    "get_dist_matrix", SIG("get_dist_matrix", {{"scaled", "True"}, {"inverted", "True"}}, false),
    get_dist_matrix_body};
constexpr MethodDef kGetCenterPoint{"get_center_point", SIG("get_center_point", {}, false),
                                    get_center_point_body};
constexpr MethodDef kInBbox{"in_bbox", SIG("in_bbox", {{"x", nullptr}}, false), in_bbox_body};
constexpr MethodDef kSquaredDist{
    "squared_dist",
    SIG("squared_dist", {{"x", nullptr}, {"scaled", "True"}, {"inverted", "True"}}, true),
    squared_dist_body};
constexpr MethodDef kEval{
    "eval", SIG("eval", {{"x", nullptr}, {"scaled", "True"}, {"inverted", "True"}}, true),
    eval_body};
constexpr MethodDef kToRGeoJSON{"toRGeoJSON", SIG("toRGeoJSON", {}, false), to_rgeojson_body};
#undef SIG

PyMethodDef kGeometryMethods[] = {
    method_entry<kSetCoordinates>(), method_entry<kSetRepulsion>(), method_entry<kGetDistMatrix>(),
    method_entry<kGetCenterPoint>(), method_entry<kInBbox>(),       method_entry<kSquaredDist>(),
    method_entry<kEval>(),           method_entry<kToRGeoJSON>(),   {nullptr, nullptr, 0, nullptr},
};

bool plain_dist_matrix(PyObject* self, PyObject* scaled, PyObject* inverted) {
    const auto plain = [](PyObject* f) { return f == Py_True || f == Py_False || f == Py_None; };
    if (!plain(scaled) || !plain(inverted)) return false;
    static PyObject* name = PyUnicode_InternFromString("get_dist_matrix");  // kept for the process
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* d = _PyType_Lookup(t, name);
    return d != nullptr && Py_IS_TYPE(d, &PyMethodDescr_Type) &&
           reinterpret_cast<PyMethodDescrObject*>(d)->d_method->ml_meth ==
               method_entry<kGetDistMatrix>().ml_meth;
}

FieldDef kFields[7] = {kBaseFields[0], kBaseFields[1], kBaseFields[2], kBaseFields[3],
                       kBaseFields[4], kBaseFields[5], kBaseFields[6]};

ClassDef kClasses[] = {
    {"RGJGeometry", nullptr, BaseRef::Object, 0, sizeof(GeometryObject),
     instance_slots<0, kBaseObjectFields>(), kFields, 7, &init_trampoline<kInit>, kGeometryMethods,
     nullptr},
    {"MultiRGJGeometry", nullptr, BaseRef::Local, 0, 0, nullptr, nullptr, 0, nullptr, nullptr,
     nullptr},
};

const ModuleDef kModuleDef{"base",
                           kModule,
                           "Base types of the zelk geometries.",
                           {nullptr, nullptr},
                           false,
                           {nullptr},
                           kClasses,
                           2,
                           nullptr};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit_base() {
    return zelk::module_init(zelk::kModuleDef);
}
