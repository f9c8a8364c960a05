// The segment cache as the line strings, the polygon and the multi polygon
// lay it out: one block of object fields, the same in all three, followed
// elsewhere in each by its segment count (`lines_n` or `_S`).
#pragma once

#include "zelk/field/geometry/shared/fields.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/segments.hpp"

#include <cstddef>
#include <cstdint>

namespace zelk {

struct SegmentFields {
    PyObject* points_in_line_pair;
    PyObject* p1;
    PyObject* v;
    PyObject* v_dot_v;
    PyObject* index;  // no attribute: the index over the cache, kept between queries

    SegmentSlots slots() { return {&p1, &v, &v_dot_v, &index}; }
};

// The block's four attributes for the class table, i = 0 to 3, for a block
// at offset `block` of the instance.
constexpr FieldDef segment_field(int i, Py_ssize_t block) {
    constexpr const char* names[] = {"points_in_line_pair", "_p1", "_v", "_v_dot_v"};
    constexpr Py_ssize_t at[] = {offsetof(SegmentFields, points_in_line_pair),
                                 offsetof(SegmentFields, p1), offsetof(SegmentFields, v),
                                 offsetof(SegmentFields, v_dot_v)};
    return {names[i], FieldKind::Object, block + at[i]};
}

// The segment count: `lines_n`, a Py_ssize_t, in the line strings; `_S`, 64
// bits, in the polygon classes.
constexpr FieldDef lines_n_field(Py_ssize_t offset) {
    return {"lines_n", FieldKind::Ssize, offset};
}
constexpr FieldDef segment_count_field(Py_ssize_t offset) {
    return {"_S", FieldKind::Int64, offset};
}

// The cache as the native road's view of it, with its kept-index slot;
// false when the arrays are not plain.
inline bool view_segments(SegmentFields& f, NativeView& out) {
    Ref p1 = field_value(f.p1), v = field_value(f.v), vdv = field_value(f.v_dot_v);
    if (!out.segment_cache(p1.get(), v.get(), vdv.get())) return false;
    out.slots.segments = &f.index;
    return true;
}

// The view of a class whose query is its segment cache alone (the line
// strings, the multi polygon), picked under the metric field `metric`: no
// part when `count` is 0 or less.
inline Outcome segment_cache_view(SegmentFields& f, std::int64_t count, PyObject* metric,
                                  NativeView& out) {
    if (count <= 0) {
        out.kind = NativeKind::Zero;
        return Outcome::Done;
    }
    Ref m = field_value(metric);
    if (!out.metric(m.get()) || !view_segments(f, out)) return Outcome::Declined;
    out.held.push_back(m);
    out.kind = NativeKind::Segments;
    return Outcome::Done;
}

}  // namespace zelk
