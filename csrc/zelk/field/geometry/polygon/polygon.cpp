// zelk.field.geometry.polygon: PolygonRGJ and MultiPolygonRGJ.
//
// Every operation has two routes that give the same result: C++ loops over
// views when the data are plain float64 arrays of the expected shapes, and
// the NumPy calls themselves for anything else, so that unusual inputs
// broadcast, convert and fail exactly as NumPy makes them.
#include "zelk/field/geometry/polygon/arrays.hpp"
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/items.hpp"
#include "zelk/field/geometry/shared/kernel_call.hpp"
#include "zelk/field/geometry/shared/kept_index.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/segments.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/rings.hpp"
#include "core/segments.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelk {
namespace {

using namespace polygon_arrays;

constexpr const char kModule[] = "zelk.field.geometry.polygon";
enum ClassIndex { kPolygonIndex, kMultiPolygonIndex };

struct PolygonObject {
    GeometryObject base;
    PyObject* rings;
    PyObject* points_in_line_pair;
    PyObject* p1;
    PyObject* v;
    PyObject* v_dot_v;
    PyObject* metric;
    PyObject* segment_index;  // no attribute: the index over the cache, kept between queries
    PyObject* ring_index;     // no attribute: the inside test's index, kept between queries
    std::int64_t S;
};

struct MultiPolygonObject {
    GeometryObject base;
    PyObject* polygons;
    PyObject* points_in_line_pair;
    PyObject* p1;
    PyObject* v;
    PyObject* v_dot_v;
    PyObject* segment_index;  // no attribute: the index over the cache, kept between queries
    std::int64_t S;
};

// The own object fields follow the seven base fields without a gap, which is
// what instance_slots<7, N> counts on.
static_assert(offsetof(PolygonObject, rings) == sizeof(GeometryObject), "layout");
static_assert(offsetof(PolygonObject, metric) == sizeof(GeometryObject) + 5 * sizeof(PyObject*),
              "layout");
static_assert(offsetof(MultiPolygonObject, polygons) == sizeof(GeometryObject), "layout");
static_assert(offsetof(MultiPolygonObject, v_dot_v) ==
                  sizeof(GeometryObject) + 4 * sizeof(PyObject*),
              "layout");
static_assert(offsetof(PolygonObject, segment_index) ==
                  sizeof(GeometryObject) + 6 * sizeof(PyObject*),
              "layout");
static_assert(offsetof(PolygonObject, ring_index) == sizeof(GeometryObject) + 7 * sizeof(PyObject*),
              "layout");
static_assert(offsetof(MultiPolygonObject, segment_index) ==
                  sizeof(GeometryObject) + 5 * sizeof(PyObject*),
              "layout");

PolygonObject* poly(PyObject* self) {
    return reinterpret_cast<PolygonObject*>(self);
}
MultiPolygonObject* multi(PyObject* self) {
    return reinterpret_cast<MultiPolygonObject*>(self);
}

PyTypeObject* polygon_type() {
    return module_class(kPolygonIndex);
}

PyObject* not_registered() {
    PyErr_SetString(PyExc_SystemError, "PolygonRGJ is not registered");
    return nullptr;
}

bool is_polygon(PyObject* o) {
    PyTypeObject* t = polygon_type();
    return t != nullptr && PyObject_TypeCheck(o, t);
}

// The segment cache fields of either class.
struct CacheSlots {
    PyObject** pilp;
    SegmentSlots segments;
    std::int64_t* S;
};

CacheSlots polygon_cache(PyObject* self) {
    PolygonObject* p = poly(self);
    return {&p->points_in_line_pair, {&p->p1, &p->v, &p->v_dot_v, &p->segment_index}, &p->S};
}

CacheSlots multi_cache(PyObject* self) {
    MultiPolygonObject* m = multi(self);
    return {&m->points_in_line_pair, {&m->p1, &m->v, &m->v_dot_v, &m->segment_index}, &m->S};
}

// --- segment cache ------------------------------------------------------------

// _p1, _v, _v_dot_v and _S from points_in_line_pair, each stored as soon as
// it is computed.
bool build_segment_cache(const CacheSlots& s) {
    Ref pilp = field_value(*s.pilp);
    SegmentsView segs;
    if (segments_view(pilp.get(), segs) && segs.n > 0) {
        const npy_intp n = segs.n;
        Ref p1 = new_float64({n, 2});
        Ref v = p1 ? new_float64({n, 2}) : Ref();
        Ref vdv = v ? new_float64({n}) : Ref();
        if (!vdv) return false;
        double* a = f64_data(p1.get());
        double* d = f64_data(v.get());
        double* q = f64_data(vdv.get());
        for (npy_intp i = 0; i < n; ++i) {
            core::segment_entry(segs.at(i, 0, 0), segs.at(i, 0, 1), segs.at(i, 1, 0),
                                segs.at(i, 1, 1), a + 2 * i, d + 2 * i, q + i);
        }
        set_field(*s.segments.p1, p1.release());
        set_field(*s.segments.v, v.release());
        set_field(*s.segments.v_dot_v, vdv.release());
        *s.S = n;
        return true;
    }

    Ref size = steal(PyObject_GetAttrString(pilp.get(), "size"));
    const int nonzero = size ? truth(size.get()) : -1;
    if (nonzero < 0) return false;
    if (!nonzero) {
        Ref p1 = zeros({0, 2});
        if (!p1) return false;
        set_field(*s.segments.p1, p1.release());
        Ref v = zeros({0, 2});
        if (!v) return false;
        set_field(*s.segments.v, v.release());
        Ref vdv = zeros({0});
        if (!vdv) return false;
        set_field(*s.segments.v_dot_v, vdv.release());
        *s.S = 0;
        return true;
    }
    Ref p1 = store_segments_numpy(pilp.get(), s.segments);
    Ref shape = p1 ? steal(PyObject_GetAttrString(p1.get(), "shape")) : Ref();
    Ref zero = py_int(0);
    Ref rows = shape && zero ? getitem(shape.get(), {zero.get()}) : Ref();
    std::int64_t count;
    if (!rows || !as_int64(rows.get(), count)) return false;
    *s.S = count;
    return true;
}

// --- PolygonRGJ construction ----------------------------------------------------

// np.asarray(obj, float)
Ref as_float_array(PyObject* obj) {
    return np_call("asarray", {obj, reinterpret_cast<PyObject*>(&PyFloat_Type)});
}

Ref reshape_pairs(PyObject* a) {
    Ref minus_one = py_int(-1), two = py_int(2);
    return minus_one && two ? call_method(a, "reshape", {minus_one.get(), two.get()}) : Ref();
}

// np.asarray(obj, float).reshape(-1, 2)
Ref float_pairs(PyObject* obj) {
    Ref a = as_float_array(obj);
    return a ? reshape_pairs(a.get()) : Ref();
}

// isinstance(o, np.floating); -1 on error.
int is_numpy_floating(PyObject* o) {
    Ref floating = np_attr("floating");
    return floating ? PyObject_IsInstance(o, floating.get()) : -1;
}

// Reads the coordinate layouts into a list of rings, before any field changes.
bool ring_list(PyObject* coordinates, std::vector<Ref>& out) {
    if (PyArray_Check(coordinates)) {
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(coordinates)) == 2) {
            // astype(float) copies; the ring is copied again when it is
            // stored, so a plain float64 ring can skip this one.
            PairsView skip;
            Ref ring = pairs_view(coordinates, skip)
                           ? borrow(coordinates)
                           : call_method(coordinates, "astype",
                                         {reinterpret_cast<PyObject*>(&PyFloat_Type)});
            if (!ring) return false;
            out.push_back(ring);
            return true;
        }
        return collect_items(borrow(coordinates), out, as_float_array);
    }
    if (!PyList_Check(coordinates) && !PyTuple_Check(coordinates)) {
        PyErr_SetString(PyExc_TypeError, "Coordinates must be ndarray or list/tuple.");
        return false;
    }
    const Py_ssize_t count = PyObject_Length(coordinates);
    if (count < 0) return false;
    if (count == 0) return true;
    Ref first = steal(PySequence_GetItem(coordinates, 0));
    if (!first) return false;
    int one_ring = PyLong_Check(first.get()) || PyFloat_Check(first.get());
    if (!one_ring) one_ring = is_numpy_floating(first.get());
    if (one_ring < 0) return false;
    if (!one_ring &&
        (PyList_Check(first.get()) || PyTuple_Check(first.get()) || PyArray_Check(first.get()))) {
        const Py_ssize_t len = PyObject_Length(first.get());
        if (len < 0) return false;
        one_ring = len == 2;
    }
    if (one_ring) {
        Ref ring = float_pairs(coordinates);
        if (!ring) return false;
        out.push_back(ring);
        return true;
    }
    return collect_items(borrow(coordinates), out, float_pairs);
}

// r.ndim != 2 or r.shape[1] != 2; -1 on error.
int needs_reshape(PyObject* r) {
    if (PyArray_Check(r)) {
        auto* a = reinterpret_cast<PyArrayObject*>(r);
        return PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 2;
    }
    Ref two = py_int(2), one = py_int(1);
    Ref ndim = steal(PyObject_GetAttrString(r, "ndim"));
    const int bad_ndim = ndim && two ? PyObject_RichCompareBool(ndim.get(), two.get(), Py_NE) : -1;
    if (bad_ndim != 0) return bad_ndim;
    Ref shape = steal(PyObject_GetAttrString(r, "shape"));
    Ref cols = shape && one ? getitem(shape.get(), {one.get()}) : Ref();
    return cols ? PyObject_RichCompareBool(cols.get(), two.get(), Py_NE) : -1;
}

// The ring as stored: pairs, closed unless its ends agree within allclose's
// tolerance, C-contiguous float64. It always owns its data: a ring that
// shared the caller's buffer would change under the segment cache and the
// box, which are copies.
Ref stored_ring(PyObject* given) {
    Ref r = borrow(given);
    const int reshape = needs_reshape(r.get());
    if (reshape < 0) return Ref();
    if (reshape) {
        r = reshape_pairs(r.get());
        if (!r) return r;
    }
    PairsView view;
    if (pairs_view(r.get(), view)) {
        const bool closed = view.n == 0 || ends_close(view);
        const npy_intp rows = view.n + (closed ? 0 : 1);
        Ref out = new_float64({rows, 2});
        if (!out) return out;
        double* o = f64_data(out.get());
        for (npy_intp i = 0; i < view.n; ++i) {
            o[2 * i] = view.x(i);
            o[2 * i + 1] = view.y(i);
        }
        if (!closed) {
            o[2 * view.n] = o[0];
            o[2 * view.n + 1] = o[1];
        }
        return out;
    }

    Ref zero = py_int(0), minus_one = py_int(-1);
    Ref size = steal(PyObject_GetAttrString(r.get(), "size"));
    const int has_values =
        size && zero ? PyObject_RichCompareBool(size.get(), zero.get(), Py_GT) : -1;
    if (has_values < 0) return Ref();
    if (has_values) {
        Ref head = getitem(r.get(), {zero.get()});
        Ref tail = head ? getitem(r.get(), {minus_one.get()}) : Ref();
        Ref close = tail ? np_call("allclose", {head.get(), tail.get()}) : Ref();
        const int agree = close ? truth(close.get()) : -1;
        if (agree < 0) return Ref();
        if (!agree) {
            Ref again = getitem(r.get(), {zero.get()});
            Ref parts = again ? steal(PyList_New(2)) : Ref();
            if (!parts) return Ref();
            PyList_SET_ITEM(parts.get(), 0, Ref(r).release());
            PyList_SET_ITEM(parts.get(), 1, again.release());
            r = np_call("vstack", {parts.get()});
            if (!r) return r;
        }
    }
    Ref f64 = float64_type();
    Ref out = f64 ? np_call("ascontiguousarray", {r.get()}, {{"dtype", f64.get()}}) : Ref();
    if (out && PyArray_Check(out.get()) &&
        PyArray_BASE(reinterpret_cast<PyArrayObject*>(out.get())) != nullptr) {
        out = steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(out.get()), NPY_CORDER));
    }
    return out;
}

// The views of the rings when the `rings` field still holds exactly the ring
// objects stored by the constructor, each a plain float64 (k, 2) array;
// false when something replaced or reshaped them (the NumPy route then reads
// whatever is there).
bool stored_rings_intact(PyObject* self, const std::vector<Ref>& stored,
                         std::vector<PairsView>& views) {
    Ref rings = field_value(poly(self)->rings);
    if (!PyList_CheckExact(rings.get()) ||
        PyList_GET_SIZE(rings.get()) != static_cast<Py_ssize_t>(stored.size()))
        return false;
    views.resize(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        // Only compared with what we hold, so the borrowed item is not kept.
        if (PyList_GET_ITEM(rings.get(), static_cast<Py_ssize_t>(i)) != stored[i].get() ||
            !pairs_view(stored[i].get(), views[i]))
            return false;
    }
    return true;
}

// One (k-1, 2, 2) block per ring of two or more vertices, concatenated.
Ref ring_segments(PyObject* self, const std::vector<Ref>& stored) {
    std::vector<PairsView> rings;
    if (stored_rings_intact(self, stored, rings)) {
        npy_intp total = 0;
        for (const PairsView& r : rings) total += r.n >= 2 ? r.n - 1 : 0;
        if (total == 0) return zeros({0, 2, 2});
        Ref out = new_float64({total, 2, 2});
        if (!out) return out;
        double* o = f64_data(out.get());
        for (const PairsView& r : rings) {
            for (npy_intp i = 0; i + 1 < r.n; ++i) {
                o[0] = r.x(i);
                o[1] = r.y(i);
                o[2] = r.x(i + 1);
                o[3] = r.y(i + 1);
                o += 4;
            }
        }
        return out;
    }

    Ref blocks = steal(PyList_New(0));
    Ref it = blocks ? steal(PyObject_GetIter(field_value(poly(self)->rings).get())) : Ref();
    Ref zero = py_int(0), one = py_int(1), two = py_int(2), minus_one = py_int(-1);
    Ref head = steal(PySlice_New(nullptr, minus_one.get(), nullptr));
    Ref tail = steal(PySlice_New(one.get(), nullptr, nullptr));
    if (!it || !zero || !head || !tail) return Ref();
    while (Ref r = steal(PyIter_Next(it.get()))) {
        Ref shape = steal(PyObject_GetAttrString(r.get(), "shape"));
        Ref rows = shape ? getitem(shape.get(), {zero.get()}) : Ref();
        const int long_enough = rows ? PyObject_RichCompareBool(rows.get(), two.get(), Py_GE) : -1;
        if (long_enough < 0) return Ref();
        if (!long_enough) continue;
        Ref a = getitem(r.get(), {head.get()});
        Ref b = a ? getitem(r.get(), {tail.get()}) : Ref();
        Ref pair = b ? steal(Py_BuildValue("[OO]", a.get(), b.get())) : Ref();
        Ref block = pair ? np_call("stack", {pair.get()}, {{"axis", one.get()}}) : Ref();
        if (!block || PyList_Append(blocks.get(), block.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    if (PyList_GET_SIZE(blocks.get()) == 0) return zeros({0, 2, 2});
    return np_call("concatenate", {blocks.get()}, {{"axis", zero.get()}});
}

// np.array([r.tolist() for r in rings], dtype=object), built directly: NumPy
// makes it (R, k, 2) of floats when every ring has k vertices, (R, 0) when
// they are all empty, and a one-dimensional array of the nested lists when
// the counts differ.
Ref rings_as_objects(const std::vector<PairsView>& rings, const std::vector<Ref>& stored) {
    const npy_intp count = static_cast<npy_intp>(rings.size());
    if (count == 0) {
        npy_intp dims[1] = {0};
        return steal(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    }
    const npy_intp k = rings[0].n;
    bool same = true;
    for (const PairsView& r : rings) same = same && r.n == k;
    if (same) {
        npy_intp dims[3] = {count, k, 2};
        Ref out = steal(PyArray_SimpleNew(k == 0 ? 2 : 3, dims, NPY_OBJECT));
        if (!out) return out;
        auto** o =
            static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
        for (const PairsView& r : rings) {
            for (npy_intp i = 0; i < k; ++i) {
                for (const double value : {r.x(i), r.y(i)}) {
                    PyObject* f = PyFloat_FromDouble(value);
                    if (f == nullptr) return Ref();
                    PyObject* old = *o;
                    *o++ = f;
                    Py_XDECREF(old);
                }
            }
        }
        return out;
    }
    npy_intp dims[1] = {count};
    Ref out = steal(PyArray_SimpleNew(1, dims, NPY_OBJECT));
    if (!out) return out;
    auto** o = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < count; ++i) {
        PyObject* nested = PyArray_ToList(reinterpret_cast<PyArrayObject*>(stored[i].get()));
        if (nested == nullptr) return Ref();
        PyObject* old = o[i];
        o[i] = nested;
        Py_XDECREF(old);
    }
    return out;
}

Ref coordinates_field(PyObject* self, const std::vector<Ref>& stored) {
    std::vector<PairsView> rings;
    if (stored_rings_intact(self, stored, rings)) return rings_as_objects(rings, stored);
    Ref nested = map_items(field_value(poly(self)->rings),
                           [](PyObject* r) { return call_method(r, "tolist"); });
    if (!nested) return Ref();
    Ref object_type = borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return np_call("array", {nested.get()}, {{"dtype", object_type.get()}});
}

Ref box_of_rings(PyObject* self, const std::vector<Ref>& stored) {
    std::vector<PairsView> rings;
    if (stored_rings_intact(self, stored, rings)) {
        core::Extremes e;
        for (const PairsView& r : rings) e.add(r);
        return box_array(e);
    }
    Ref field = field_value(poly(self)->rings);
    const int nonempty = truth(field.get());
    if (nonempty < 0) return Ref();
    Ref all_pts = nonempty ? np_call("vstack", {field.get()}) : zeros({0, 2});
    return all_pts ? numpy_box(all_pts.get(), true) : Ref();
}

PyObject* polygon_init(PyObject* self, const BoundArgs& a) {
    PolygonObject* p = poly(self);
    std::vector<Ref> given;
    if (!ring_list(a[0], given)) return nullptr;

    Ref rings = steal(PyList_New(0));
    if (!rings) return nullptr;
    set_field(p->rings, rings.release());
    std::vector<Ref> stored;
    stored.reserve(given.size());
    for (const Ref& r : given) {
        Ref ring = stored_ring(r.get());
        if (!ring) return nullptr;
        // Appended to whatever the field holds now, as `self.rings.append` would.
        Ref field = field_value(p->rings);
        if (PyList_CheckExact(field.get())) {
            if (PyList_Append(field.get(), ring.get()) < 0) return nullptr;
        } else if (!call_method(field.get(), "append", {ring.get()})) {
            return nullptr;
        }
        stored.push_back(ring);
    }

    Ref pilp = ring_segments(self, stored);
    if (!pilp) return nullptr;
    set_field(p->points_in_line_pair, pilp.release());
    if (!call_method(self, "_build_segment_cache")) return nullptr;

    Ref coords = coordinates_field(self, stored);
    if (!coords) return nullptr;
    set_field(p->base.coordinates, coords.release());

    Ref two = py_int(2);
    if (!two || !assign_repulsion_state(self, a.get(1, Py_None), a.get(3, two.get()),
                                        a.get(2, Py_None), PropertiesAt::BeforeGrad)) {
        return nullptr;
    }
    Ref metric = metric_of(self);
    if (!metric) return nullptr;
    set_field(p->metric, metric.release());

    Ref box = box_of_rings(self, stored);
    if (!box) return nullptr;
    set_field(p->base.bbox, box.release());
    Py_RETURN_NONE;
}

PyObject* polygon_build_segment_cache(PyObject* self, const BoundArgs&) {
    if (!build_segment_cache(polygon_cache(self))) return nullptr;
    Py_RETURN_NONE;
}

// self.__init__(coordinates=new_coords, repulsion=..., properties=...)
PyObject* polygon_set_coordinates(PyObject* self, const BoundArgs& a) {
    Ref init = steal(PyObject_GetAttrString(self, "__init__"));
    if (!init) return nullptr;
    Ref rep = field_value(poly(self)->base.repulsion);
    Ref props = field_value(poly(self)->base.properties);
    Ref r = call(init.get(), {},
                 {{"coordinates", a[0]}, {"repulsion", rep.get()}, {"properties", props.get()}});
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// The base type's set_repulsion, then the metric that follows from it.
PyObject* polygon_set_repulsion(PyObject* self, const BoundArgs& a) {
    PyObject* cls = reinterpret_cast<PyObject*>(polygon_type());
    if (cls == nullptr) return not_registered();
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    Ref r = proxy ? call_method(proxy.get(), "set_repulsion", {a[0]}) : Ref();
    if (!r) return nullptr;
    Ref metric = metric_of(self);
    if (!metric) return nullptr;
    set_field(poly(self)->metric, metric.release());
    Py_RETURN_NONE;
}

// --- queries ------------------------------------------------------------------

// bool(np.all(x >= bbox[0])) and bool(np.all(x <= bbox[1])), one answer for the
// whole batch.
PyObject* polygon_in_bbox(PyObject* self, const BoundArgs& a) {
    Ref x = PyArray_CheckExact(a[0]) ? borrow(a[0]) : np_call("asarray", {a[0]});
    if (!x) return nullptr;
    Ref box = field_value(poly(self)->base.bbox);
    PairsView pts, corners;
    if ((pairs_view(x.get(), pts) || pair_view(x.get(), pts)) && pairs_view(box.get(), corners) &&
        corners.n == 2) {
        return PyBool_FromLong(batch_in_box(pts, corners));
    }
    Ref zero = py_int(0), one = py_int(1);
    Ref lo = zero ? getitem(box.get(), {zero.get()}) : Ref();
    if (!lo) return nullptr;
    int r = all_compare(x.get(), lo.get(), Py_GE);
    if (r == 1) {
        Ref hi = one ? getitem(box.get(), {one.get()}) : Ref();
        r = hi ? all_compare(x.get(), hi.get(), Py_LE) : -1;
    }
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// The query batch converted as NumPy converts it, and its number of rows.
bool query_rows(PyObject* x, QueryBatch& q, npy_intp& n) {
    if (!convert_query(x, q)) return false;
    if (!q.fast) return first_dim(q.q.get(), n);
    n = q.view.n;
    return true;
}

// The points not inside, in order, to xo (C-contiguous (m, 2)), and their
// row numbers to `rows` when it is given.
void pack_outside(const PairsView& x, const bool* inside, double* xo, npy_intp* rows) {
    for (npy_intp i = 0, j = 0; i < x.n; ++i) {
        if (inside[i]) continue;
        if (rows != nullptr) rows[j] = i;
        xo[2 * j] = x.x(i);
        xo[2 * j + 1] = x.y(i);
        ++j;
    }
}

// np.where(~inside)[0] when the test ran natively: the outside rows and the
// points packed into a C-contiguous array.
bool pack_outside(const PairsView& x, const bool* inside, npy_intp m, Ref& rows, Ref& xo) {
    rows = steal(PyArray_SimpleNew(1, &m, NPY_INTP));
    xo = rows ? new_float64({m, 2}) : Ref();
    if (!xo) return false;
    pack_outside(
        x, inside, f64_data(xo.get()),
        static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get()))));
    return true;
}

// The NumPy formulation from the inside test on: rows outside the polygon get
// the segment kernel's vector, the others stay zero.
PyObject* polygon_repulsion_numpy(PyObject* self, PyObject* x, npy_intp n, PyObject* outer,
                                  PyObject* holes, PyObject* pir) {
    Ref raw = call(pir, {x, outer, holes});
    Ref inside =
        raw ? call_method(raw.get(), "astype", {reinterpret_cast<PyObject*>(&PyBool_Type)}) : Ref();
    Ref every = inside ? call_method(inside.get(), "all") : Ref();
    const int all_inside = every ? truth(every.get()) : -1;
    if (all_inside < 0) return nullptr;
    if (all_inside) return zeros({n, 2}).release();
    Ref outside = steal(PyNumber_Invert(inside.get()));
    Ref where = outside ? np_call("where", {outside.get()}) : Ref();
    Ref zero = py_int(0);
    Ref rows = where && zero ? getitem(where.get(), {zero.get()}) : Ref();
    Ref picked = rows ? getitem(x, {rows.get()}) : Ref();
    Ref xo = picked ? np_call("ascontiguousarray", {picked.get()}) : Ref();
    if (!xo) return nullptr;
    const NearestSegments query(polygon_cache(self).segments, &poly(self)->metric);
    if (query.failed()) return nullptr;
    Ref chosen = query.call_kernel(xo.get());
    Ref out = chosen ? zeros({n, 2}) : Ref();
    if (!out || PyObject_SetItem(out.get(), rows.get(), chosen.get()) < 0) return nullptr;
    return out.release();
}

constexpr const char kRingIndexCapsule[] = "zelk.field.ring_index";

// A batch larger than the core's edge-by-edge batches against rings of at
// least this many vertices in all answers through the polygon's kept index,
// built when missing or stale. From kRingReuseMinRows rows on, a smaller
// batch uses an index already kept: checking it reads each vertex about as
// fast as testing a few points edge by edge does.
constexpr std::ptrdiff_t kRingIndexMinVertices = 64;
constexpr npy_intp kRingReuseMinRows = 4;

// The inside test's index kept on the polygon, reused while `outer` and the
// items of `holes` (a list) are the objects it was built from, holding the
// same bytes; else built from the views and kept. Empty without an exception
// when the batch or the rings are too small to repay it, or a ring is
// broadcast along its rows (its vertices are not in memory to copy).
Ref kept_ring_index(PyObject* self, npy_intp rows, const Ref& outer, PyObject* holes,
                    const PairsView& outer_view, const std::vector<PairsView>& hole_views) {
    if (rows < kRingReuseMinRows) return Ref();
    std::ptrdiff_t vertices = 0;
    std::vector<Ref> sources{outer};
    for (std::size_t h = 0; h <= hole_views.size(); ++h) {
        const PairsView& r = h == 0 ? outer_view : hole_views[h - 1];
        if (r.row_stride_bytes == 0 && r.n > 1) return Ref();
        vertices += r.n;
        if (h > 0) sources.push_back(borrow(PyList_GET_ITEM(holes, Py_ssize_t(h - 1))));
    }
    if (vertices < kRingIndexMinVertices) return Ref();
    const auto same = [&](const core::RingIndex& index) {
        return index.same_source(outer_view, hole_views.data(), hole_views.size());
    };
    PyObject** slot = &poly(self)->ring_index;
    if (rows <= core::kRingEdgeByEdgeMax) {
        return current_kept_index<core::RingIndex>(slot, kRingIndexCapsule, sources, same);
    }
    // The first build does only what this batch repays; once the batches
    // together would have repaid the crossing tree, it is built.
    bool grow = false;
    Ref kept = kept_index<core::RingIndex>(
        slot, kRingIndexCapsule, std::move(sources),
        [&](const core::RingIndex& index) {
            if (!same(index)) return false;
            grow = index.tree_would_pay(rows);
            return !grow;
        },
        [&] {
            return core::RingIndex(outer_view, hole_views.data(), hole_views.size(),
                                   grow ? -1 : rows);
        });
    return kept;
}

// Zero inside the polygon, the vector from the nearest boundary segment
// (outer ring or hole) everywhere else.
PyObject* polygon_repulsion_vector(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    QueryBatch q;
    npy_intp n;
    if (!query_rows(x, q, n)) return nullptr;
    PolygonObject* p = poly(self);
    if (p->S == 0) return zeros({n, 2}).release();
    // x is converted before the kernels are looked up.
    if (!kernels_lookup_is_plain() && !q.detach(x)) return nullptr;

    Ref rings = field_value(p->rings);
    Ref zero = py_int(0), one = py_int(1);
    Ref tail = one ? steal(PySlice_New(one.get(), nullptr, nullptr)) : Ref();
    Ref outer = zero && tail ? steal(PyObject_GetItem(rings.get(), zero.get())) : Ref();
    Ref holes = outer ? steal(PyObject_GetItem(rings.get(), tail.get())) : Ref();
    Ref pir = holes ? kernel_function("point_in_rings") : Ref();
    if (!pir) return nullptr;

    PairsView xv, outer_view;
    std::vector<PairsView> hole_views;
    bool native = q.fast && is_native_kernel(pir.get(), "point_in_rings") && q.reread(x, xv) &&
                  xv.n == n && pairs_view(outer.get(), outer_view) &&
                  PyList_CheckExact(holes.get());
    if (native) {
        const Py_ssize_t nh = PyList_GET_SIZE(holes.get());
        hole_views.resize(static_cast<std::size_t>(nh));
        for (Py_ssize_t h = 0; native && h < nh; ++h) {
            native = pairs_view(PyList_GET_ITEM(holes.get(), h), hole_views[h]);
        }
    }
    if (!native) {
        PyObject* batch = q.array(x);
        if (!batch) return nullptr;
        return polygon_repulsion_numpy(self, batch, n, outer.get(), holes.get(), pir.get());
    }

    // The inside test may release the interpreter lock: the metric the
    // nearest edge is picked under is read before it.
    const MetricTaken metric_at_start(field_value(p->metric));
    std::unique_ptr<bool[]> inside(new bool[n > 0 ? n : 1]);
    Ref kept = kept_ring_index(self, n, outer, holes.get(), outer_view, hole_views);
    if (!kept && PyErr_Occurred()) return nullptr;
    // The kept index holds its own copy of the rings: they are not read again.
    if (kept && (!q.reread(x, xv) || xv.n != n)) return resized_during_call();
    // A batch that may run on worker threads releases the interpreter lock,
    // and another thread may then write into x: both steps read one copy of
    // it, so that every row is answered for the same state of the batch.
    std::vector<double> own_x;
    if (n >= 2 * kMinRowsPerThread && configured_threads() > 1) {
        own_x = own_rows(xv);
        xv = PairsView::contiguous(own_x.data(), n);
    }
    points_in_rings_threaded(xv, outer_view, hole_views.data(), hole_views.size(), inside.get(),
                             kept ? &kept_index_of<core::RingIndex>(kept.get()) : nullptr);
    npy_intp m = 0;
    for (npy_intp i = 0; i < n; ++i) m += !inside[i];
    if (m == 0) return zeros({n, 2}).release();

    NearestSegments query(polygon_cache(self).segments, &p->metric);
    if (query.failed() || !query.prepare(m)) return nullptr;
    Ref out = zeros({n, 2});
    if (!out) return nullptr;
    // The lookups and allocations above may have run Python code: read x
    // again, unless the call reads its own copy.
    if (own_x.empty() && (!q.reread(x, xv) || xv.n != n)) return resized_during_call();
    if (query.native()) {
        std::vector<double> packed(core::scratch_size(m, 4));
        double* xo = packed.data();
        double* chosen = xo + 2 * m;
        pack_outside(xv, inside.get(), xo, nullptr);
        const Fast done =
            query.answer(PairsView::contiguous(xo, m), true, chosen, &metric_at_start);
        if (done == Fast::Error) return nullptr;
        if (done == Fast::Done) {
            double* o = f64_data(out.get());
            for (npy_intp i = 0, j = 0; i < n; ++i) {
                if (inside[i]) continue;
                o[2 * i] = chosen[2 * j];
                o[2 * i + 1] = chosen[2 * j + 1];
                ++j;
            }
            return out.release();
        }
    }
    Ref rows, xo;
    if (!pack_outside(xv, inside.get(), m, rows, xo)) return nullptr;
    Ref chosen = query.call_kernel(xo.get());
    if (!chosen || PyObject_SetItem(out.get(), rows.get(), chosen.get()) < 0) return nullptr;
    return out.release();
}

// --- export -------------------------------------------------------------------

// {"type": "Feature", "properties": properties, "geometry": {"type": RGJType,
// "coordinates": coords(), "repulsion": repulsion.tolist()}}, its parts read in
// that order.
template <class F>
PyObject* feature(PyObject* self, F coords) {
    Ref properties = field_value(as_geometry(self)->properties);
    Ref rgj_type = steal(PyObject_GetAttrString(self, "RGJType"));
    Ref coordinates = rgj_type ? coords() : Ref();
    Ref held = coordinates ? field_value(as_geometry(self)->repulsion) : Ref();
    Ref repulsion = held ? call_method(held.get(), "tolist") : Ref();
    if (!repulsion) return nullptr;
    Ref out = steal(PyDict_New());
    Ref geometry = steal(PyDict_New());
    Ref feature_type = steal(PyUnicode_InternFromString("Feature"));
    if (!out || !geometry || !feature_type ||
        PyDict_SetItemString(out.get(), "type", feature_type.get()) < 0 ||
        PyDict_SetItemString(out.get(), "properties", properties.get()) < 0 ||
        PyDict_SetItemString(geometry.get(), "type", rgj_type.get()) < 0 ||
        PyDict_SetItemString(geometry.get(), "coordinates", coordinates.get()) < 0 ||
        PyDict_SetItemString(geometry.get(), "repulsion", repulsion.get()) < 0 ||
        PyDict_SetItemString(out.get(), "geometry", geometry.get()) < 0) {
        return nullptr;
    }
    return out.release();
}

// "coordinates": each ring as nested lists, outer ring first.
PyObject* polygon_to_rgeojson(PyObject* self, const BoundArgs&) {
    return feature(self, [self] {
        return map_items(field_value(poly(self)->rings),
                         [](PyObject* r) { return call_method(r, "tolist"); });
    });
}

// --- MultiPolygonRGJ ------------------------------------------------------------

// The members' segment blocks joined, skipping members without segments.
Ref joined_segments(const Ref& polygons) {
    std::vector<Ref> blocks;
    Ref it = steal(PyObject_GetIter(polygons.get()));
    if (!it) return Ref();
    while (Ref m = steal(PyIter_Next(it.get()))) {
        std::int64_t count;
        Ref block;
        if (is_polygon(m.get())) {
            count = poly(m.get())->S;
            block = field_value(poly(m.get())->points_in_line_pair);
        } else {
            Ref s = steal(PyObject_GetAttrString(m.get(), "_S"));
            if (!s || !as_int64(s.get(), count)) return Ref();
            if (count > 0) {
                block = steal(PyObject_GetAttrString(m.get(), "points_in_line_pair"));
                if (!block) return Ref();
            }
        }
        if (count > 0) blocks.push_back(block);
    }
    if (PyErr_Occurred()) return Ref();
    if (blocks.empty()) return zeros({0, 2, 2});

    npy_intp total = 0;
    bool plain = true;
    std::vector<SegmentsView> views(blocks.size());
    for (std::size_t i = 0; plain && i < blocks.size(); ++i) {
        plain = segments_view(blocks[i].get(), views[i]);
        total += plain ? views[i].n : 0;
    }
    if (plain) {
        Ref out = new_float64({total, 2, 2});
        if (!out) return out;
        double* o = f64_data(out.get());
        for (const SegmentsView& s : views) {
            for (npy_intp i = 0; i < s.n; ++i) {
                for (int j = 0; j < 2; ++j) {
                    *o++ = s.at(i, j, 0);
                    *o++ = s.at(i, j, 1);
                }
            }
        }
        return out;
    }
    Ref list = steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
    Ref zero = py_int(0);
    if (!list || !zero) return Ref();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), blocks[i].release());
    }
    return np_call("concatenate", {list.get()}, {{"axis", zero.get()}});
}

// [[min x, min y], [max x, max y]] over every member's box.
Ref joined_box(const Ref& polygons) {
    Ref boxes =
        map_items(polygons, [](PyObject* m) { return steal(PyObject_GetAttrString(m, "bbox")); });
    if (!boxes) return boxes;
    const Py_ssize_t count = PyList_GET_SIZE(boxes.get());
    if (count == 0) return zeros({2, 2});
    core::Extremes e;
    bool plain = true;
    for (Py_ssize_t i = 0; plain && i < count; ++i) {
        PairsView b;
        plain = pairs_view(PyList_GET_ITEM(boxes.get(), i), b) && b.n == 2;
        if (plain) e.add(b);
    }
    if (plain) return box_array(e);
    Ref stacked = np_call("array", {boxes.get()});
    Ref rows = stacked ? reshape_pairs(stacked.get()) : Ref();
    return rows ? numpy_box(rows.get(), false) : Ref();
}

PyObject* multi_init(PyObject* self, const BoundArgs& a) {
    MultiPolygonObject* mp = multi(self);
    PyObject* repulsion = a.get(1, Py_None);
    PyObject* properties = a.get(2, Py_None);
    Ref two = py_int(2);
    if (!two) return nullptr;
    PyObject* optional_dim = a.get(3, two.get());
    PyObject* cls = reinterpret_cast<PyObject*>(polygon_type());
    if (cls == nullptr) return not_registered();
    Ref members = map_items(borrow(a[0]), [&](PyObject* entry) {
        return call(
            cls, {entry},
            {{"repulsion", repulsion}, {"properties", properties}, {"optional_dim", optional_dim}});
    });
    if (!members) return nullptr;
    set_field(mp->polygons, members.release());

    if (!assign_repulsion_state(self, repulsion, optional_dim, properties,
                                PropertiesAt::AfterGrad)) {
        return nullptr;
    }
    Ref pilp = joined_segments(field_value(mp->polygons));
    if (!pilp) return nullptr;
    set_field(mp->points_in_line_pair, pilp.release());
    if (!build_segment_cache(multi_cache(self))) return nullptr;

    Ref box = joined_box(field_value(mp->polygons));
    if (!box) return nullptr;
    set_field(mp->base.bbox, box.release());
    Py_RETURN_NONE;
}

// self.__init__(coordinates=..., repulsion=..., properties=..., optional_dim=len(repulsion))
PyObject* multi_set_coordinates(PyObject* self, const BoundArgs& a) {
    Ref init = steal(PyObject_GetAttrString(self, "__init__"));
    if (!init) return nullptr;
    Ref rep = field_value(multi(self)->base.repulsion);
    Ref props = field_value(multi(self)->base.properties);
    const Py_ssize_t dim = PyObject_Length(rep.get());
    if (dim < 0) return nullptr;
    Ref optional_dim = py_int(dim);
    Ref r = optional_dim ? call(init.get(), {},
                                {{"coordinates", a[0]},
                                 {"repulsion", rep.get()},
                                 {"properties", props.get()},
                                 {"optional_dim", optional_dim.get()}})
                         : Ref();
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// True when a single member's box holds the whole batch.
PyObject* multi_in_bbox(PyObject* self, const BoundArgs& a) {
    Ref polygons = field_value(multi(self)->polygons);
    Ref it = steal(PyObject_GetIter(polygons.get()));
    if (!it) return nullptr;
    while (Ref m = steal(PyIter_Next(it.get()))) {
        Ref r = call_method(m.get(), "in_bbox", {a[0]});
        const int yes = r ? truth(r.get()) : -1;
        if (yes < 0) return nullptr;
        if (yes) Py_RETURN_TRUE;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_FALSE;
}

// np.array([centers.min(0), centers.max(0)]).mean(0): the midpoint between the
// extreme member centres.
PyObject* multi_get_center_point(PyObject* self, const BoundArgs&) {
    Ref centers = map_items(field_value(multi(self)->polygons),
                            [](PyObject* m) { return call_method(m, "get_center_point"); });
    if (!centers) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(centers.get());
    core::Extremes e;
    bool plain = count > 0;
    for (Py_ssize_t i = 0; plain && i < count; ++i) {
        PairsView c;
        plain = pair_view(PyList_GET_ITEM(centers.get(), i), c);
        if (plain) e.add(c);
    }
    if (plain) {
        // mean(0) sums from +0.0, so two -0.0 give +0.0, then divides by the count.
        Ref out = new_float64({2});
        if (!out) return nullptr;
        double* o = f64_data(out.get());
        o[0] = ((0.0 + e.lo[0]) + e.hi[0]) / 2.0;
        o[1] = ((0.0 + e.lo[1]) + e.hi[1]) / 2.0;
        return out.release();
    }
    Ref stacked = np_call("array", {centers.get()});
    Ref both = stacked ? numpy_box(stacked.get(), false) : Ref();
    Ref zero = py_int(0);
    return both && zero ? call_method(both.get(), "mean", {zero.get()}).release() : nullptr;
}

// Per point the vector from the nearest segment of any member (no inside
// test), or with min_dist_select false every segment's vector.
PyObject* multi_repulsion_vector(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    QueryBatch q;
    npy_intp n;
    if (!query_rows(x, q, n)) return nullptr;
    if (multi(self)->S == 0) return zeros({n, 2}).release();
    return segment_repulsion_vector(self, module_class(kMultiPolygonIndex), x, q, a.get(1, nullptr),
                                    multi_cache(self).segments);
}

// "coordinates": each member's `rings` list itself.
PyObject* multi_to_rgeojson(PyObject* self, const BoundArgs&) {
    return feature(self, [self] {
        return map_items(field_value(multi(self)->polygons),
                         [](PyObject* m) { return steal(PyObject_GetAttrString(m, "rings")); });
    });
}

// --- tables -------------------------------------------------------------------

#define SIG(cls, name, ...)                      \
    Signature {                                  \
        cls "." name, kModule, true, __VA_ARGS__ \
    }

constexpr MethodDef kPolygonInit{"__init__",
                                 SIG("PolygonRGJ", "__init__",
                                     {{"coordinates", nullptr},
                                      {"repulsion", "None"},
                                      {"properties", "None"},
                                      {"optional_dim", "2"}},
                                     true),
                                 polygon_init};
constexpr MethodDef kPolygonBuildCache{"_build_segment_cache",
                                       SIG("PolygonRGJ", "_build_segment_cache", {}, false),
                                       polygon_build_segment_cache};
constexpr MethodDef kPolygonSetCoordinates{
    "set_coordinates", SIG("PolygonRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    polygon_set_coordinates};
constexpr MethodDef kPolygonSetRepulsion{
    "set_repulsion", SIG("PolygonRGJ", "set_repulsion", {{"new_repulsion", nullptr}}, false),
    polygon_set_repulsion};
constexpr MethodDef kPolygonInBbox{"in_bbox", SIG("PolygonRGJ", "in_bbox", {{"x", nullptr}}, false),
                                   polygon_in_bbox};
constexpr MethodDef kPolygonRepulsionVector{
    "repulsion_vector",
    SIG("PolygonRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    polygon_repulsion_vector};
constexpr MethodDef kPolygonToRGeoJSON{"toRGeoJSON", SIG("PolygonRGJ", "toRGeoJSON", {}, false),
                                       polygon_to_rgeojson};

constexpr MethodDef kMultiInit{"__init__",
                               SIG("MultiPolygonRGJ", "__init__",
                                   {{"coordinates", nullptr},
                                    {"repulsion", "None"},
                                    {"properties", "None"},
                                    {"optional_dim", "2"}},
                                   true),
                               multi_init};
constexpr MethodDef kMultiSetCoordinates{
    "set_coordinates", SIG("MultiPolygonRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    multi_set_coordinates};
constexpr MethodDef kMultiInBbox{
    "in_bbox", SIG("MultiPolygonRGJ", "in_bbox", {{"x", nullptr}}, false), multi_in_bbox};
constexpr MethodDef kMultiGetCenterPoint{"get_center_point",
                                         SIG("MultiPolygonRGJ", "get_center_point", {}, false),
                                         multi_get_center_point};
constexpr MethodDef kMultiRepulsionVector{
    "repulsion_vector",
    SIG("MultiPolygonRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    multi_repulsion_vector};
constexpr MethodDef kMultiToRGeoJSON{"toRGeoJSON", SIG("MultiPolygonRGJ", "toRGeoJSON", {}, false),
                                     multi_to_rgeojson};
#undef SIG

PyMethodDef kPolygonMethods[] = {
    method_entry<kPolygonBuildCache>(),      method_entry<kPolygonSetCoordinates>(),
    method_entry<kPolygonSetRepulsion>(),    method_entry<kPolygonInBbox>(),
    method_entry<kPolygonRepulsionVector>(), method_entry<kPolygonToRGeoJSON>(),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kMultiMethods[] = {
    method_entry<kMultiSetCoordinates>(), method_entry<kMultiInBbox>(),
    method_entry<kMultiGetCenterPoint>(), method_entry<kMultiRepulsionVector>(),
    method_entry<kMultiToRGeoJSON>(),     {nullptr, nullptr, 0, nullptr},
};

constexpr FieldDef kPolygonFields[] = {
    {"rings", FieldKind::List, offsetof(PolygonObject, rings)},
    {"points_in_line_pair", FieldKind::Object, offsetof(PolygonObject, points_in_line_pair)},
    {"_p1", FieldKind::Object, offsetof(PolygonObject, p1)},
    {"_v", FieldKind::Object, offsetof(PolygonObject, v)},
    {"_v_dot_v", FieldKind::Object, offsetof(PolygonObject, v_dot_v)},
    {"metric", FieldKind::Object, offsetof(PolygonObject, metric)},
    {"_S", FieldKind::Int64, offsetof(PolygonObject, S)},
};
constexpr FieldDef kMultiFields[] = {
    {"polygons", FieldKind::List, offsetof(MultiPolygonObject, polygons)},
    {"points_in_line_pair", FieldKind::Object, offsetof(MultiPolygonObject, points_in_line_pair)},
    {"_p1", FieldKind::Object, offsetof(MultiPolygonObject, p1)},
    {"_v", FieldKind::Object, offsetof(MultiPolygonObject, v)},
    {"_v_dot_v", FieldKind::Object, offsetof(MultiPolygonObject, v_dot_v)},
    {"_S", FieldKind::Int64, offsetof(MultiPolygonObject, S)},
};

// State order: field names in code-point order. bbox 6, coordinates 0,
// eye_repulsion 3, grad_matrix 4, inv_repulsion 2, properties 5, repulsion 1.
constexpr PickleDef kPolygonPickle{
    {&kPolygonFields[6], &kPolygonFields[2], &kPolygonFields[3], &kPolygonFields[4],
     &kBaseFields[6], &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2],
     &kPolygonFields[5], &kPolygonFields[1], &kBaseFields[5], &kBaseFields[1], &kPolygonFields[0]},
    {0x5381b98, 0x1976dbf, 0xbdeaa06}};
constexpr PickleDef kMultiPickle{
    {&kMultiFields[5], &kMultiFields[2], &kMultiFields[3], &kMultiFields[4], &kBaseFields[6],
     &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2], &kMultiFields[1],
     &kMultiFields[0], &kBaseFields[5], &kBaseFields[1]},
    {0xe734440, 0xc1cbf44, 0xd9d07e6}};

ClassDef kClasses[] = {
    {"PolygonRGJ", "Polygon", BaseRef::RGJGeometry, 0, sizeof(PolygonObject),
     instance_slots<kBaseObjectFields, kBaseObjectFields + 8>(), kPolygonFields, 7,
     &init_trampoline<kPolygonInit>, kPolygonMethods, &kPolygonPickle},
    {"MultiPolygonRGJ", "MultiPolygon", BaseRef::MultiRGJGeometry, 0, sizeof(MultiPolygonObject),
     instance_slots<kBaseObjectFields, kBaseObjectFields + 6>(), kMultiFields, 6,
     &init_trampoline<kMultiInit>, kMultiMethods, &kMultiPickle},
};

const ModuleDef kModuleDef{"polygon",
                           kModule,
                           "PolygonRGJ / MultiPolygonRGJ.",
                           {"RGJGeometry", "MultiRGJGeometry"},
                           true,
                           {"object", "super", nullptr},
                           kClasses,
                           2,
                           nullptr};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit_polygon() {
    return zelk::module_init(zelk::kModuleDef);
}
