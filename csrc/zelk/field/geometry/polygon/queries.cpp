// PolygonRGJ queries: the box test, the repulsion vector, the export.
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

// The native road's view of a polygon: its rings for the inside test, its
// segment cache and `metric` for the nearest edge, and its kept indexes.
Outcome polygon_native_view(PyObject* self, NativeView& out) {
    PolygonObject* p = poly(self);
    if (p->S == 0) {
        out.kind = NativeKind::Zero;
        return Outcome::Done;
    }
    Ref rings = field_value(p->rings), metric = field_value(p->metric);
    if (!out.rings(rings.get()) || !out.metric(metric.get()) || !view_segments(p->segments, out)) {
        return Outcome::Declined;
    }
    out.held.push_back(metric);
    out.kind = NativeKind::Polygon;
    out.slots.rings = &p->ring_index;
    return Outcome::Done;
}

// The inside test and the nearest edge in one pass per row over the
// polygon's native view, when both kernels are the package's own (found
// without running code) and the fields are plain: Declined otherwise,
// before anything is computed.
Outcome polygon_one_pass(PyObject* self, PyObject* x, const QueryBatch& q, npy_intp n, Ref& out) {
    // A few points cost less by the two steps below, which set nothing up.
    if (n < kSegmentIndexMinRows) return Outcome::Declined;
    if (!module_runs_natively(internal::current_module_object(),
                              {"segment_repulsion_vectors", "point_in_rings"})) {
        return Outcome::Declined;
    }
    NativeView view;
    view.track_arrays();
    if (polygon_native_view(self, view) != Outcome::Done || view.kind != NativeKind::Polygon) {
        return Outcome::Declined;
    }
    out = new_float64({n, 2});
    if (!out || !take_indexes(view, n)) return Outcome::Error;
    // The allocations may have run a finalizer: read x again, and keep to
    // the views only while their arrays are as they were.
    PairsView xv;
    if (!q.reread(x, xv) || xv.n != n) {
        resized_during_call();
        return Outcome::Error;
    }
    if (!view.intact()) return Outcome::Declined;
    native_offsets_split(view, xv, false, f64_data(out.get()));
    return Outcome::Done;
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

    try {
        Ref out;
        const Outcome done = polygon_one_pass(self, x, q, n, out);
        if (done == Outcome::Done) return out.release();
        if (done == Outcome::Error) return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }

    // A few points, a replaced segment kernel or odd cache fields: the
    // native inside test, then the segment query for the rows outside (the
    // core's when the kernel is the package's own), with the lock held.
    std::unique_ptr<bool[]> inside(new bool[n > 0 ? n : 1]);
    core::points_in_rings(xv, outer_view, hole_views.data(), hole_views.size(), inside.get());
    npy_intp m = 0;
    for (npy_intp i = 0; i < n; ++i) m += !inside[i];
    if (m == 0) return zeros({n, 2}).release();

    NearestSegments query(polygon_cache(self).segments, &p->metric);
    if (query.failed() || !query.prepare(m)) return nullptr;
    Ref out = zeros({n, 2});
    if (!out) return nullptr;
    // The lookups and allocations above may have run Python code: read x again.
    if (!q.reread(x, xv) || xv.n != n) return resized_during_call();
    if (query.native()) {
        std::vector<double> packed(core::scratch_size(m, 4));
        double* xo = packed.data();
        double* chosen = xo + 2 * m;
        pack_outside(xv, inside.get(), xo, nullptr);
        const Outcome done = query.answer(PairsView::contiguous(xo, m), true, chosen);
        if (done == Outcome::Error) return nullptr;
        if (done == Outcome::Done) {
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

// "coordinates": each ring as nested lists, outer ring first.
PyObject* polygon_to_rgeojson(PyObject* self, const BoundArgs&) {
    return feature(self, [self] {
        return map_items(field_value(poly(self)->rings),
                         [](PyObject* r) { return call_method(r, "tolist"); });
    });
}

}  // namespace zelk::polygon
