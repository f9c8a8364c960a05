// zelk.field.geometry.point: PointRGJ and MultiPointRGJ.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/point_index.hpp"
#include "core/points.hpp"

#include <cstddef>
#include <memory>
#include <vector>

namespace zelk {
namespace {

constexpr const char kModule[] = "zelk.field.geometry.point";
enum ClassIndex { kPointIndex, kMultiPointIndex };

// --- PointRGJ ---------------------------------------------------------------

// The point as a plain float64 (1, 2) or (2,) array; false for anything else.
bool single_point(PyObject* coords, double& px, double& py) {
    PairsView v;
    if (pairs_view(coords, v) && v.n == 1) {
        px = v.x(0);
        py = v.y(0);
        return true;
    }
    if (is_plain_float64(coords, 1) &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(coords), 0) == 2) {
        auto* a = reinterpret_cast<PyArrayObject*>(coords);
        const char* base = static_cast<const char*>(PyArray_DATA(a));
        px = *reinterpret_cast<const double*>(base);
        py = *reinterpret_cast<const double*>(base + PyArray_STRIDE(a, 0));
        return true;
    }
    return false;
}

// Query minus point, one row per query point.
PyObject* point_repulsion_vector(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    QueryBatch q;
    if (!convert_query(x, q)) return nullptr;
    Ref coords = field_value(as_geometry(self)->coordinates);
    double px, py;
    if (q.fast && single_point(coords.get(), px, py)) {
        Ref out = new_float64({q.view.n, 2});
        if (!out) return nullptr;
        // The allocation may have run a finalizer that resized x.
        PairsView xv;
        if (!q.reread(x, xv) || xv.n != q.view.n) return resized_during_call();
        double* o = f64_data(out.get());
        for (npy_intp i = 0; i < xv.n; ++i) {
            o[2 * i] = xv.x(i) - px;
            o[2 * i + 1] = xv.y(i) - py;
        }
        return out.release();
    }
    PyObject* batch = q.array(x);
    return batch ? PyNumber_Subtract(batch, coords.get()) : nullptr;
}

// --- MultiPointRGJ ------------------------------------------------------------

struct MultiPointObject {
    GeometryObject base;
    PyObject* point_index;  // no attribute: the k-d tree over the points, kept between queries
};
static_assert(offsetof(MultiPointObject, point_index) == sizeof(GeometryObject), "layout");

PyObject* multipoint_init(PyObject* self, const BoundArgs& a) {
    if (!init_next_in_mro(module_class(kMultiPointIndex), self, a)) return nullptr;
    Ref coords = field_value(as_geometry(self)->coordinates);
    Ref copy = call_method(coords.get(), "copy");
    if (!copy) return nullptr;
    set_field(as_geometry(self)->bbox, copy.release());
    Py_RETURN_NONE;
}

// True when every query point lies in the box spanned by the points (edges
// included); False for an empty point set.
PyObject* multipoint_in_bbox(PyObject* self, const BoundArgs& a) {
    Ref x = np_call("asarray", {a[0]});
    if (!x) return nullptr;
    Ref box_ref = field_value(as_geometry(self)->bbox);
    PyObject* box = box_ref.get();
    const Py_ssize_t rows = PyObject_Length(box);
    if (rows < 0) return nullptr;
    if (rows == 0) Py_RETURN_FALSE;
    Ref zero = py_int(0);
    Ref lo = call_method(box, "min", {zero.get()});
    Ref hi = lo ? call_method(box, "max", {zero.get()}) : Ref();
    if (!hi) return nullptr;
    Ref ge = steal(PyObject_RichCompare(x.get(), lo.get(), Py_GE));
    Ref all_ge = ge ? call_method(ge.get(), "all") : Ref();
    const int r1 = all_ge ? PyObject_IsTrue(all_ge.get()) : -1;
    if (r1 <= 0) return r1 < 0 ? nullptr : Py_NewRef(Py_False);
    Ref le = steal(PyObject_RichCompare(x.get(), hi.get(), Py_LE));
    Ref all_le = le ? call_method(le.get(), "all") : Ref();
    const int r2 = all_le ? PyObject_IsTrue(all_le.get()) : -1;
    return r2 < 0 ? nullptr : PyBool_FromLong(r2);
}

// diff = coordinates[None, :, :] - x[:, None, :], shape (n, m, 2)
Ref pairwise_diff(PyObject* coords, PyObject* x) {
    Ref all = full_slice();
    Ref c = getitem(coords, {Py_None, all.get(), all.get()});
    Ref q = c ? getitem(x, {all.get(), Py_None, all.get()}) : Ref();
    return q ? steal(PyNumber_Subtract(c.get(), q.get())) : Ref();
}

// The NumPy formulation, for inputs the loops do not take.
PyObject* multipoint_select_numpy(PyObject* diff, PyObject* metric, Py_ssize_t n) {
    Ref adiff = steal(PyNumber_MatrixMultiply(diff, metric));
    Ref prod = adiff ? steal(PyNumber_Multiply(adiff.get(), diff)) : Ref();
    Ref last = py_int(-1), one = py_int(1), count = py_int(n);
    Ref dist = prod ? call_method(prod.get(), "sum", {last.get()}) : Ref();
    Ref select = dist ? call_method(dist.get(), "argmin", {one.get()}) : Ref();
    Ref rows = select ? np_call("arange", {count.get()}) : Ref();
    return rows ? getitem(diff, {rows.get(), select.get()}).release() : nullptr;
}

PyObject* multipoint_repulsion_vector(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    QueryBatch q;
    if (!convert_query(x, q)) return nullptr;
    // Owned: the truth test and get_dist_matrix run Python code that may replace the field.
    Ref coords_ref = field_value(as_geometry(self)->coordinates);
    PyObject* coords = coords_ref.get();
    PairsView pts;
    const bool fast = q.fast && pairs_view(coords, pts);
    // The formulation builds diff before the flag and the metric are asked
    // for, so code they run must not see its changes to x or the points.
    if (fast && caller_code_may_run(self, module_class(kMultiPointIndex), a.get(1, nullptr))) {
        if (!q.detach(x)) return nullptr;
        coords_ref = copy_pairs(pts);
        coords = coords_ref.get();
        if (!coords || !pairs_view(coords, pts)) return nullptr;
    }
    // The views as they stand now: an allocation may have run a finalizer.
    auto views_now = [&](PairsView& queries, PairsView& points) {
        return q.reread(x, queries) && queries.n == q.view.n && pairs_view(coords, points) &&
               points.n == pts.n;
    };
    Ref diff;
    if (!fast) {  // NumPy raises its shape errors before the flag or the metric is asked for
        PyObject* batch = q.array(x);
        diff = batch ? pairwise_diff(coords, batch) : Ref();
        if (!diff) return nullptr;
    }
    const int select = truth(a.get(1, Py_True));
    if (select < 0) return nullptr;

    PairsView queries, points;
    if (!select) {
        if (fast) {
            // m * n rows must not overflow (broadcast views make huge m and n cheap)
            if (q.view.n > 0 && pts.n > NPY_MAX_INTP / q.view.n) return PyErr_NoMemory();
            Ref out = new_float64({pts.n * q.view.n, 2});
            if (!out) return nullptr;
            if (!views_now(queries, points)) return resized_during_call();
            core::point_offsets(queries, points, f64_data(out.get()));
            return out.release();
        }
        Ref zero = py_int(0), one = py_int(1), minus_one = py_int(-1), two = py_int(2);
        Ref swapped = call_method(diff.get(), "swapaxes", {zero.get(), one.get()});
        return swapped
                   ? call_method(swapped.get(), "reshape", {minus_one.get(), two.get()}).release()
                   : nullptr;
    }

    Ref metric = metric_of(self);
    if (!metric) return nullptr;
    double m[4];
    if (fast && pts.n > 0 && matrix2_view(metric.get(), m)) {
        Ref out = new_float64({q.view.n, 2});
        if (!out) return nullptr;
        // A tree when the batch repays building one, kept on the instance
        // for the next batch over the same points.
        if (!views_now(queries, points)) return resized_during_call();
        NativeView view;
        view.kind = NativeKind::MultiPoint;
        view.pts = points;
        view.select = {m[0], m[1], m[2], m[3]};
        view.point_source = borrow(coords);
        view.slots.points = &reinterpret_cast<MultiPointObject*>(self)->point_index;
        if (!take_indexes(view, q.view.n)) return nullptr;
        if (!views_now(queries, points)) return resized_during_call();
        view.pts = points;  // read only when no index holds its own copy
        native_offsets_split(view, queries, false, f64_data(out.get()));
        return out.release();
    }
    if (!diff) {
        PyObject* batch = q.array(x);
        if (!batch) return nullptr;
        diff = pairwise_diff(coords, batch);
        if (!diff) return nullptr;
    }
    const Py_ssize_t n = PyObject_Length(q.array(x));
    if (n < 0) return nullptr;
    return multipoint_select_numpy(diff.get(), metric.get(), n);
}

// The native road's view of a point: its one pair of coordinates.
Outcome point_native_view(PyObject* self, NativeView& out) {
    Ref coords = field_value(as_geometry(self)->coordinates);
    if (!single_point(coords.get(), out.px, out.py)) return Outcome::Declined;
    out.held.push_back(coords);
    out.kind = NativeKind::Point;
    return Outcome::Done;
}

// The native road's view of a point set: its points, picked under
// inv_repulsion (what its own get_dist_matrix() returns), and its kept tree.
Outcome multipoint_native_view(PyObject* self, NativeView& out) {
    Ref coords = field_value(as_geometry(self)->coordinates);
    Ref metric = field_value(as_geometry(self)->inv_repulsion);
    if (!out.points(coords.get()) || !out.metric(metric.get())) return Outcome::Declined;
    out.held.push_back(metric);
    out.kind = NativeKind::MultiPoint;
    out.slots.points = &reinterpret_cast<MultiPointObject*>(self)->point_index;
    return Outcome::Done;
}

constexpr MethodDef kPointRepulsionVector{
    "repulsion_vector", SIG("PointRGJ", "repulsion_vector", {{"x", nullptr}}, true),
    point_repulsion_vector};

constexpr MethodDef kMultiPointInit{
    "__init__",
    SIG("MultiPointRGJ", "__init__", {{"coordinates", nullptr}, {"repulsion", "None"}}, true),
    multipoint_init};
constexpr MethodDef kMultiPointInBbox{
    "in_bbox", SIG("MultiPointRGJ", "in_bbox", {{"x", nullptr}}, false), multipoint_in_bbox};
constexpr MethodDef kMultiPointRepulsionVector{
    "repulsion_vector",
    SIG("MultiPointRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    multipoint_repulsion_vector};

PyMethodDef kPointMethods[] = {method_entry<kPointRepulsionVector>(),
                               {nullptr, nullptr, 0, nullptr}};
PyMethodDef kMultiPointMethods[] = {method_entry<kMultiPointInBbox>(),
                                    method_entry<kMultiPointRepulsionVector>(),
                                    {nullptr, nullptr, 0, nullptr}};

// bbox, coordinates, eye_repulsion, grad_matrix, inv_repulsion, properties, repulsion
constexpr PickleDef kPointPickle{
    {&kBaseFields[6], &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2],
     &kBaseFields[5], &kBaseFields[1]},
    {0x7b2586f, 0x92479d0, 0x53bf6e4}};

ClassDef kClasses[] = {
    {.name = "PointRGJ",
     .rgj_type = "Point",
     .base = BaseRef::RGJGeometry,
     .methods = kPointMethods,
     .pickle = &kPointPickle,
     .native_view = &point_native_view},
    {.name = "MultiPointRGJ",
     .rgj_type = "MultiPoint",
     .base = BaseRef::MultiRGJGeometry,
     .basicsize = sizeof(MultiPointObject),
     .slots = instance_slots<kBaseObjectFields, kBaseObjectFields + 1>(),
     .init = &init_trampoline<kMultiPointInit>,
     .methods = kMultiPointMethods,
     .pickle = &kPointPickle,
     .native_view = &multipoint_native_view},
};

const ModuleDef kModuleDef{.short_name = "point",
                           .full_name = kModule,
                           .doc = "PointRGJ / MultiPointRGJ.",
                           .base_types = {"RGJGeometry", "MultiRGJGeometry"},
                           .builtins = {"super", "any", nullptr},
                           .classes = kClasses};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit_point() {
    return zelk::module_init(zelk::kModuleDef);
}
