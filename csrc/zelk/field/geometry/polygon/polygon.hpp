// The polygon module's classes, PolygonRGJ and MultiPolygonRGJ: their
// instance layouts and the functions their class tables name.
//
// Every operation has two routes that give the same result: C++ loops over
// views when the data are plain float64 arrays of the expected shapes, and
// the NumPy calls themselves for anything else, so that unusual inputs
// broadcast, convert and fail exactly as NumPy makes them.
#pragma once

#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/segment_fields.hpp"

#include <cstddef>
#include <cstdint>

namespace zelk::polygon {

inline constexpr char kModule[] = "zelk.field.geometry.polygon";
enum ClassIndex { kPolygonIndex, kMultiPolygonIndex };

struct PolygonObject {
    GeometryObject base;
    PyObject* rings;
    PyObject* metric;
    SegmentFields segments;
    PyObject* ring_index;  // no attribute: the inside test's index, kept between queries
    std::int64_t S;
};

struct MultiPolygonObject {
    GeometryObject base;
    PyObject* polygons;
    SegmentFields segments;
    std::int64_t S;
};

// The own object fields follow the seven base fields without a gap, which is
// what instance_slots<7, N> counts on.
static_assert(offsetof(PolygonObject, rings) == sizeof(GeometryObject), "layout");
static_assert(offsetof(PolygonObject, ring_index) == sizeof(GeometryObject) + 7 * sizeof(PyObject*),
              "layout");
static_assert(offsetof(MultiPolygonObject, polygons) == sizeof(GeometryObject), "layout");
static_assert(offsetof(MultiPolygonObject, S) == sizeof(GeometryObject) + 6 * sizeof(PyObject*),
              "layout");

inline PolygonObject* poly(PyObject* self) {
    return reinterpret_cast<PolygonObject*>(self);
}
inline MultiPolygonObject* multi(PyObject* self) {
    return reinterpret_cast<MultiPolygonObject*>(self);
}

inline PyTypeObject* polygon_type() {
    return module_class(kPolygonIndex);
}

inline PyObject* not_registered() {
    PyErr_SetString(PyExc_SystemError, "PolygonRGJ is not registered");
    return nullptr;
}

inline bool is_polygon(PyObject* o) {
    PyTypeObject* t = polygon_type();
    return t != nullptr && PyObject_TypeCheck(o, t);
}

// The segment cache fields of either class.
struct CacheSlots {
    PyObject** pilp;
    SegmentSlots segments;
    std::int64_t* S;
};

inline CacheSlots polygon_cache(PyObject* self) {
    PolygonObject* p = poly(self);
    return {&p->segments.points_in_line_pair, p->segments.slots(), &p->S};
}

inline CacheSlots multi_cache(PyObject* self) {
    MultiPolygonObject* m = multi(self);
    return {&m->segments.points_in_line_pair, m->segments.slots(), &m->S};
}

// _p1, _v, _v_dot_v and _S from points_in_line_pair; false with an
// exception set.
bool build_segment_cache(const CacheSlots& s);

// The np.where(~inside) packing of the rows outside, to xo (and their row
// numbers to `rows` when given).
void pack_outside(const PairsView& x, const bool* inside, double* xo, npy_intp* rows);

// The query batch converted as NumPy converts it, and its number of rows.
bool query_rows(PyObject* x, QueryBatch& q, npy_intp& n);

// a.reshape(-1, 2)
Ref reshape_pairs(PyObject* a);

// {"type": "Feature", "properties": properties, "geometry": {"type": RGJType,
// "coordinates": coords(), "repulsion": repulsion.tolist()}}, its parts read in
// that order.
template <class F>
inline PyObject* feature(PyObject* self, F coords) {
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

// PolygonRGJ
PyObject* polygon_init(PyObject* self, const BoundArgs& a);
PyObject* polygon_build_segment_cache(PyObject* self, const BoundArgs&);
PyObject* polygon_set_coordinates(PyObject* self, const BoundArgs& a);
PyObject* polygon_set_repulsion(PyObject* self, const BoundArgs& a);
PyObject* polygon_in_bbox(PyObject* self, const BoundArgs& a);
PyObject* polygon_repulsion_vector(PyObject* self, const BoundArgs& a);
PyObject* polygon_to_rgeojson(PyObject* self, const BoundArgs&);
Outcome polygon_native_view(PyObject* self, NativeView& out);

// MultiPolygonRGJ
PyObject* multi_init(PyObject* self, const BoundArgs& a);
PyObject* multi_set_coordinates(PyObject* self, const BoundArgs& a);
PyObject* multi_in_bbox(PyObject* self, const BoundArgs& a);
PyObject* multi_get_center_point(PyObject* self, const BoundArgs&);
PyObject* multi_repulsion_vector(PyObject* self, const BoundArgs& a);
PyObject* multi_to_rgeojson(PyObject* self, const BoundArgs&);
Outcome multipolygon_native_view(PyObject* self, NativeView& out);

}  // namespace zelk::polygon
