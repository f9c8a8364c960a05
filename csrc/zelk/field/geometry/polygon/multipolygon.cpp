// MultiPolygonRGJ: polygons joined into one segment cache.
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
            block = field_value(poly(m.get())->segments.points_in_line_pair);
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
    set_field(mp->segments.points_in_line_pair, pilp.release());
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

// A multi polygon answers from its joined edges alone, picked under
// inv_repulsion (what its own get_dist_matrix() returns).
Outcome multipolygon_native_view(PyObject* self, NativeView& out) {
    MultiPolygonObject* m = multi(self);
    return segment_cache_view(m->segments, m->S, m->base.inv_repulsion, out);
}

}  // namespace zelk::polygon
