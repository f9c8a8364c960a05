#include "zelk/field/geometry/shared/native.hpp"

#include "zelk/field/geometry/shared/kept_index.hpp"
#include "zelk/field/geometry/shared/own_class.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/curve.hpp"
#include "core/forms.hpp"
#include "core/points.hpp"
#include "core/segments.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace zelk {

bool NativeView::segment_cache(PyObject* a1, PyObject* av, PyObject* avdv) {
    if (!pairs_view(a1, p1) || !pairs_view(av, v) || !values_view(avdv, vdv) || p1.n < 1 ||
        v.n != p1.n || vdv.n != p1.n || p1.broadcast() || v.broadcast() ||
        (vdv.stride_bytes == 0 && vdv.n > 1)) {
        return false;
    }
    segments_at = held.size();
    saw(a1);
    saw(av);
    saw(avdv);
    for (PyObject* a : {a1, av, avdv}) held.push_back(borrow(a));
    return true;
}

bool NativeView::rings(PyObject* list) {
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) < 1) return false;
    held.push_back(borrow(list));
    const Py_ssize_t k = PyList_GET_SIZE(list);
    holes.resize(static_cast<std::size_t>(k - 1));
    rings_at = held.size();
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* r = PyList_GET_ITEM(list, i);
        PairsView& view = i == 0 ? outer : holes[static_cast<std::size_t>(i - 1)];
        if (!pairs_view(r, view) || view.broadcast()) return false;
        held.push_back(borrow(r));
        saw(r);
    }
    return true;
}

bool NativeView::points(PyObject* a) {
    if (!pairs_view(a, pts) || pts.n < 1 || pts.broadcast()) return false;
    point_source = borrow(a);
    held.push_back(point_source);
    saw(a);
    return true;
}

void NativeView::saw(PyObject* a) {
    if (!track_) return;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    Seen s{a, PyArray_DATA(arr), PyArray_NDIM(arr), {0, 0}, {0, 0}};
    for (int i = 0; i < s.ndim && i < 2; ++i) {
        s.dims[i] = PyArray_DIM(arr, i);
        s.strides[i] = PyArray_STRIDE(arr, i);
    }
    seen_.push_back(s);
}

bool NativeView::intact() const {
    for (const Seen& s : seen_) {
        auto* a = reinterpret_cast<PyArrayObject*>(s.array);
        if (PyArray_DATA(a) != s.data || PyArray_NDIM(a) != s.ndim) return false;
        for (int i = 0; i < s.ndim && i < 2; ++i) {
            if (PyArray_DIM(a, i) != s.dims[i] || PyArray_STRIDE(a, i) != s.strides[i])
                return false;
        }
    }
    return true;
}

bool NativeView::metric(PyObject* m) {
    double e[4];
    if (!matrix2_view(m, e)) return false;
    select = {e[0], e[1], e[2], e[3]};
    return true;
}

namespace {

// Whether t's repulsion_vector is the one a class of `module`'s table defines.
bool own_query(PyTypeObject* t, PyObject* module) {
    PyObject* key = interned("repulsion_vector");
    PyObject* d = key != nullptr ? _PyType_Lookup(t, key) : nullptr;
    if (d == nullptr || !Py_IS_TYPE(d, &PyMethodDescr_Type)) return false;
    auto* md = reinterpret_cast<PyMethodDescrObject*>(d);
    PyObject* owner_module = nullptr;
    const ClassDef* owner = own_class_def(md->d_common.d_type, &owner_module);
    if (owner == nullptr || owner_module != module) return false;
    for (PyMethodDef* m = owner->methods; m != nullptr && m->ml_name != nullptr; ++m) {
        if (m == md->d_method) return std::strcmp(m->ml_name, "repulsion_vector") == 0;
    }
    return false;
}

}  // namespace

Outcome native_view(PyObject* o, NativeView& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t->tp_getattro != PyObject_GenericGetAttr) return Outcome::Declined;
    PyObject* module = nullptr;
    const ClassDef* def = own_class_def(t, &module);
    if (def == nullptr || def->native_view == nullptr || !own_query(t, module) ||
        !own_method(t, "squared_dist", kBaseModule, "RGJGeometry") ||
        !own_method(t, "get_dist_matrix", kBaseModule, "RGJGeometry")) {
        return Outcome::Declined;
    }
    const ModuleDef* mdef = package_module_def(module);
    const bool natively =
        mdef->import_kernels
            ? module_runs_natively(module, {"segment_repulsion_vectors", "point_in_rings"})
            : module_runs_natively(module, {});
    if (!natively) return Outcome::Declined;
    out.held.reserve(8);
    const Outcome r = def->native_view(o, out);
    if (r == Outcome::Done) {
        out.geometry = o;
        out.held.push_back(borrow(o));
    }
    return r;
}

namespace {

std::vector<Ref> held_range(const NativeView& v, std::size_t at, std::size_t count) {
    return {v.held.begin() + std::ptrdiff_t(at), v.held.begin() + std::ptrdiff_t(at + count)};
}

}  // namespace

bool take_indexes(NativeView& v, std::ptrdiff_t rows) {
    v.kept_segments = v.kept_rings = v.kept_points = Ref();
    v.segment_index = nullptr;
    v.ring_index = nullptr;
    v.point_index = nullptr;
    const bool segments = v.kind == NativeKind::Segments || v.kind == NativeKind::Polygon;
    if (segments && v.slots.segments != nullptr && rows >= kSegmentIndexMinRows &&
        v.p1.n >= kSegmentIndexMinSegments) {
        v.kept_segments =
            kept_segment_index(v.slots.segments, held_range(v, v.segments_at, 3), v.p1, v.v, v.vdv);
        if (!v.kept_segments) return false;
        v.segment_index = &kept_index_of<core::SegmentIndex>(v.kept_segments.get());
    }
    if (v.kind == NativeKind::Polygon && v.slots.rings != nullptr) {
        v.kept_rings = kept_ring_index(v.slots.rings, held_range(v, v.rings_at, 1 + v.holes.size()),
                                       rows, v.outer, v.holes);
        if (!v.kept_rings && PyErr_Occurred()) return false;
        if (v.kept_rings) v.ring_index = &kept_index_of<core::RingIndex>(v.kept_rings.get());
    }
    if (v.kind == NativeKind::MultiPoint && v.slots.points != nullptr &&
        core::point_index_pays(v.pts.n, rows) && core::PointIndex::prunes(v.select)) {
        v.kept_points = kept_point_index(v.slots.points, v.point_source, v.pts);
        if (!v.kept_points) return false;
        v.point_index = &kept_index_of<core::PointIndex>(v.kept_points.get());
    }
    return true;
}

void own_copies(NativeView& v) {
    v.owned.clear();
    v.owned.reserve(5 + v.holes.size());
    const auto own = [&](PairsView& r) {
        v.owned.push_back(core::own_rows(r));
        r = PairsView::contiguous(v.owned.back().data(), r.n);
    };
    if (v.point_index == nullptr) own(v.pts);
    if (v.segment_index != nullptr) {
        v.p1 = v.segment_index->p1();
        v.v = v.segment_index->v();
        v.vdv = v.segment_index->v_dot_v();
    } else {
        own(v.p1);
        own(v.v);
        std::vector<double>& d = v.owned.emplace_back(core::scratch_size(v.vdv.n, 1));
        for (std::ptrdiff_t i = 0; i < v.vdv.n; ++i) d[i] = v.vdv[i];
        v.vdv = core::ValuesView::contiguous(d.data(), v.vdv.n);
    }
    if (v.ring_index == nullptr) {
        own(v.outer);
        for (PairsView& h : v.holes) own(h);
    }
}

void own_ring_copies(NativeView& v) {
    if (v.ring_index != nullptr) return;
    v.owned.reserve(v.owned.size() + 1 + v.holes.size());
    const auto own = [&](PairsView& r) {
        v.owned.push_back(core::own_rows(r));
        r = PairsView::contiguous(v.owned.back().data(), r.n);
    };
    own(v.outer);
    for (PairsView& h : v.holes) own(h);
}

void native_inside(const NativeView& v, const PairsView& pts, bool* inside) {
    if (v.ring_index != nullptr) {
        v.ring_index->contains(pts, 0, pts.n, inside);
    } else {
        core::points_in_rings(pts, v.outer, v.holes.data(), v.holes.size(), inside);
    }
}

void native_offsets(const NativeView& v, const PairsView& pts, double* out, NativeScratch& s) {
    const std::ptrdiff_t k = pts.n;
    switch (v.kind) {
        case NativeKind::Zero:
            std::fill(out, out + 2 * k, 0.0);
            return;
        case NativeKind::Point:
            for (std::ptrdiff_t i = 0; i < k; ++i) {
                out[2 * i] = pts.x(i) - v.px;
                out[2 * i + 1] = pts.y(i) - v.py;
            }
            return;
        case NativeKind::MultiPoint:
            if (v.point_index != nullptr) {
                core::NearestOut to;
                to.offsets = out;
                v.point_index->nearest(pts, v.select, 0, k, to);
            } else {
                core::nearest_point_offsets(pts, v.pts, v.select, out);
            }
            return;
        case NativeKind::Segments:
            core::nearest_segment_offsets(pts, v.p1, v.v, v.vdv, v.select, out, v.segment_index);
            return;
        case NativeKind::Polygon: {
            s.flags.resize(core::scratch_size(k, 1));
            bool* inside = reinterpret_cast<bool*>(s.flags.data());
            native_inside(v, pts, inside);
            std::ptrdiff_t outside = 0;
            for (std::ptrdiff_t i = 0; i < k; ++i) outside += !inside[i];
            std::fill(out, out + 2 * k, 0.0);
            if (outside == 0) return;
            s.xy.resize(core::scratch_size(outside, 4));
            double* packed = s.xy.data();
            double* chosen = packed + 2 * outside;
            for (std::ptrdiff_t i = 0, j = 0; i < k; ++i) {
                if (inside[i]) continue;
                packed[2 * j] = pts.x(i);
                packed[2 * j + 1] = pts.y(i);
                ++j;
            }
            core::nearest_segment_offsets(PairsView::contiguous(packed, outside), v.p1, v.v, v.vdv,
                                          v.select, chosen, v.segment_index);
            for (std::ptrdiff_t i = 0, j = 0; i < k; ++i) {
                if (inside[i]) continue;
                out[2 * i] = chosen[2 * j];
                out[2 * i + 1] = chosen[2 * j + 1];
                ++j;
            }
            return;
        }
    }
}

namespace {

// The cost of one row in 2x2 forms: a search through an index tries a few
// dozen parts, a scan every one.
double row_cost(const NativeView& v) {
    switch (v.kind) {
        case NativeKind::Zero:
        case NativeKind::Point:
            return 1.0;
        case NativeKind::MultiPoint:
            return v.point_index != nullptr ? 64.0 : double(v.pts.n);
        case NativeKind::Segments:
        case NativeKind::Polygon:
            return v.segment_index != nullptr ? 64.0 : double(v.p1.n);
    }
    return 1.0;
}

// A batch split across threads goes in the order of a Hilbert curve when
// the geometry has at least kReorderedPartsMin parts (below, its index stays
// in cache whatever the order, and the reordering would cost more than it
// saves) and at most kReorderedRowsMax rows (beyond, each range is dense
// enough as it comes, and the order would cost memory in proportion).
constexpr std::ptrdiff_t kReorderedPartsMin = std::ptrdiff_t(1) << 14;
constexpr std::ptrdiff_t kReorderedRowsMax = std::ptrdiff_t(1) << 22;

bool worth_reordering(const NativeView& v, std::ptrdiff_t rows) {
    if (rows > kReorderedRowsMax) return false;
    switch (v.kind) {
        case NativeKind::MultiPoint:
            return v.pts.n >= kReorderedPartsMin;
        case NativeKind::Segments:
        case NativeKind::Polygon:
            return v.p1.n >= kReorderedPartsMin;
        default:
            return false;
    }
}

// Rows broadcast along a zero stride claim more than memory holds: they are
// read in place, on the caller's thread, never copied.
bool copyable(const NativeView& v) {
    bool ok = !v.pts.broadcast() && !v.p1.broadcast() && !v.v.broadcast() &&
              !(v.vdv.stride_bytes == 0 && v.vdv.n > 1);
    if (v.ring_index == nullptr) {
        ok = ok && !v.outer.broadcast();
        for (const PairsView& h : v.holes) ok = ok && !h.broadcast();
    }
    return ok;
}

}  // namespace

void native_offsets_split(NativeView& v, const PairsView& pts, bool pts_owned, double* out) {
    int threads = threads_for(pts.n, double(pts.n) * row_cost(v));
    if (threads > 1 && (!copyable(v) || (!pts_owned && pts.broadcast()))) threads = 1;
    if (threads <= 1) {
        NativeScratch s;
        native_offsets(v, pts, out, s);
        return;
    }
    // Split without a kept index, the call builds its own: each thread
    // would otherwise scan every part.
    std::optional<core::SegmentIndex> segments;
    std::optional<core::RingIndex> rings;
    const bool has_segments = v.kind == NativeKind::Segments || v.kind == NativeKind::Polygon;
    if (has_segments && v.segment_index == nullptr && v.p1.n >= kSegmentIndexMinSegments) {
        v.segment_index = &segments.emplace(v.p1, v.v, v.vdv);
    }
    if (v.kind == NativeKind::Polygon && v.ring_index == nullptr) {
        v.ring_index = &rings.emplace(v.outer, v.holes.data(), v.holes.size());
    }
    own_copies(v);
    std::vector<double> copy;
    PairsView p = pts;
    if (!pts_owned) {
        copy = core::own_rows(pts);
        p = PairsView::contiguous(copy.data(), pts.n);
    }
    if (!worth_reordering(v, p.n)) {
        run_split(p.n, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            NativeScratch s;
            const PairsView part{p.data + begin * p.row_stride_bytes, end - begin,
                                 p.row_stride_bytes, p.col_stride_bytes};
            native_offsets(v, part, out + 2 * begin, s);
        });
        return;
    }
    // Each range a thread takes is a stretch of a Hilbert curve through the
    // points, a compact patch: consecutive rows of scattered points would
    // spread every range over the whole batch, and each point's descent
    // would start far from the last one's. Rows are answered the same in any
    // order; each range writes only its own rows.
    const std::vector<std::ptrdiff_t> order = core::cell_order(p, 0, p.n);
    run_split(p.n, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        NativeScratch s;
        std::vector<double> part(core::scratch_size(end - begin, 2)), got(part.size());
        for (std::ptrdiff_t k = begin; k < end; ++k) {
            part[2 * (k - begin)] = p.x(order[k]);
            part[2 * (k - begin) + 1] = p.y(order[k]);
        }
        native_offsets(v, PairsView::contiguous(part.data(), end - begin), got.data(), s);
        for (std::ptrdiff_t k = begin; k < end; ++k) {
            out[2 * order[k]] = got[2 * (k - begin)];
            out[2 * order[k] + 1] = got[2 * (k - begin) + 1];
        }
    });
}

Ref value_and_gradient(PyObject* squared, const double* vectors, const core::Metric2* grads,
                       const npy_intp* nearest, double* gradient) {
    Ref neg = steal(PyNumber_Negative(squared));
    Ref exp = neg ? steal(PyObject_GetAttrString(numpy_module(), "exp")) : Ref();
    Ref e = exp ? call(exp.get(), {neg.get()}) : Ref();
    if (!e) return e;
    core::ValuesView ev;
    core::ValuesView sv;
    if (!values_view(e.get(), ev) || !values_view(squared, sv) || ev.n != sv.n) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected result of numpy.exp");
        return Ref();
    }
    if (gradient == nullptr) return e;
    for (npy_intp l = 0; l < ev.n; ++l) {
        const double minus = -ev[l];
        const core::Metric2& G = grads[nearest != nullptr ? nearest[l] : 0];
        double applied[2];
        core::matrix_vector_from_zero(G, vectors[2 * l], vectors[2 * l + 1], applied);
        gradient[2 * l] = minus * applied[0];
        gradient[2 * l + 1] = minus * applied[1];
    }
    return e;
}

}  // namespace zelk
