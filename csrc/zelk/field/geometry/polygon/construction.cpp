// PolygonRGJ construction: rings, the segment cache, the box.
#include "zelk/field/geometry/polygon/polygon.hpp"

#include "zelk/field/geometry/polygon/arrays.hpp"
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/items.hpp"
#include "zelk/field/geometry/shared/kernel_call.hpp"
#include "zelk/field/geometry/shared/kept_index.hpp"
#include "zelk/field/geometry/shared/internal.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/own_class.hpp"
#include "zelk/field/geometry/shared/segment_fields.hpp"
#include "zelk/field/geometry/shared/segments.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/rings.hpp"
#include "core/segments.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelk::polygon {

using namespace polygon_arrays;

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
    set_field(p->segments.points_in_line_pair, pilp.release());
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

}  // namespace zelk::polygon
