#include "zelk/field/geometry/collection/indexed.hpp"

#include "zelk/field/geometry/shared/fields.hpp"
#include "zelk/field/geometry/shared/kernel_call.hpp"
#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/segments.hpp"
#include "zelk/field/geometry/shared/threads.hpp"

#include "core/box_tree.hpp"
#include "core/extremes.hpp"
#include "core/forms.hpp"
#include "core/parallel.hpp"
#include "core/point_index.hpp"
#include "core/points.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"
#include "core/segments.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace zelk::collection {
namespace {

constexpr const char kBaseModule[] = "zelk.field.geometry.base";
constexpr const char kPointModule[] = "zelk.field.geometry.point";
constexpr const char kLineModule[] = "zelk.field.geometry.linestring";
constexpr const char kPolygonModule[] = "zelk.field.geometry.polygon";
constexpr const char kCollectionModule[] = "zelk.field.geometry.collection";
constexpr const char kSegmentKernel[] = "segment_repulsion_vectors";
constexpr const char kRingKernel[] = "point_in_rings";

// --- recognising the package's own classes ------------------------------------

// The module a class was created in by the package's module set-up; nullptr
// for anything else. Python code cannot give a class such a module, so a
// subclass or a look-alike is never taken for one of the package's classes.
PyObject* defining_module(PyTypeObject* t, const char* module) {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
    PyObject* mod = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    if (mod == nullptr || !PyModule_Check(mod)) return nullptr;
    PyModuleDef* def = PyModule_GetDef(mod);
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, module) != 0) {
        return nullptr;
    }
    return mod;
}

bool is_own_class(PyTypeObject* t, const char* module, const char* name) {
    // Classes found to be the package's own, remembered by address: the
    // module set-up keeps its classes for the process, so such an address
    // never comes to stand for another type. (The names passed are constants.)
    struct Known {
        PyTypeObject* type;
        const char* module;
        const char* name;
    };
    static std::vector<Known> known;
    for (const Known& e : known) {
        if (e.type == t && e.module == module && e.name == name) return true;
    }
    if (defining_module(t, module) == nullptr) return false;
    // tp_name is "<module>.<name>"
    const std::size_t k = std::strlen(module);
    if (std::strncmp(t->tp_name, module, k) != 0 || t->tp_name[k] != '.' ||
        std::strcmp(t->tp_name + k + 1, name) != 0) {
        return false;
    }
    try {
        if (known.size() < 64) known.push_back({t, module, name});
    } catch (const std::bad_alloc&) {  // only not remembered
    }
    return true;
}

// The interned string `name`, made once per name for the process.
PyObject* interned(const char* name) {
    static std::vector<std::pair<const char*, PyObject*>> made;
    for (const auto& e : made) {
        if (e.first == name) return e.second;
    }
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    made.emplace_back(name, key);
    return key;
}

// Whether `name` looked up on t is still the method that the package's class
// `owner` of `module` defines: not replaced on the class or any base.
bool own_method(PyTypeObject* t, const char* name, const char* module, const char* owner) {
    PyObject* key = interned(name);
    if (key == nullptr) return false;
    PyObject* d = _PyType_Lookup(t, key);
    if (d == nullptr || !Py_IS_TYPE(d, &PyMethodDescr_Type)) return false;
    auto* md = reinterpret_cast<PyMethodDescrObject*>(d);
    return std::strcmp(md->d_method->ml_name, name) == 0 &&
           is_own_class(md->d_common.d_type, module, owner);
}

// The field `name` of one of the package's classes: the property that the
// module set-up made for it carries its definition.
const FieldDef* own_field(PyTypeObject* t, const char* name) {
    for (PyTypeObject* c = t; c != nullptr; c = c->tp_base) {
        if (!(c->tp_flags & Py_TPFLAGS_HEAPTYPE)) break;
        for (PyGetSetDef* g = c->tp_getset; g != nullptr && g->name != nullptr; ++g) {
            if (std::strcmp(g->name, name) == 0) return static_cast<const FieldDef*>(g->closure);
        }
    }
    return nullptr;
}

Ref object_field(PyObject* o, const FieldDef* f) {
    return field_value(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + f->offset));
}

bool integer_field(PyObject* o, const FieldDef* f, long long& out) {
    const char* at = reinterpret_cast<const char*>(o) + f->offset;
    if (f->kind == FieldKind::Ssize) {
        Py_ssize_t v;
        std::memcpy(&v, at, sizeof v);
        out = v;
        return true;
    }
    if (f->kind == FieldKind::Int64) {
        std::int64_t v;
        std::memcpy(&v, at, sizeof v);
        out = v;
        return true;
    }
    return false;
}

PyObject* numpy_module() {
    static PyObject* numpy = PyImport_ImportModule("numpy");  // kept for the process
    if (numpy == nullptr) PyErr_Clear();
    return numpy;
}

// Whether the module's global `np` is NumPy itself and, for each kernel
// named, its global `kernels` a plain module whose function of that name is
// the package's compiled one: what the member's own query checks before it
// runs the core routine on views.
bool module_runs_natively(PyObject* module, std::initializer_list<const char*> kernels) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* np_key = interned("np");
    PyObject* np = np_key != nullptr ? PyDict_GetItem(dict, np_key) : nullptr;
    if (np == nullptr || np != numpy_module()) return false;
    if (kernels.size() == 0) return true;
    PyObject* k_key = interned("kernels");
    PyObject* k = k_key != nullptr ? PyDict_GetItem(dict, k_key) : nullptr;
    if (k == nullptr || !PyModule_CheckExact(k)) return false;
    for (const char* name : kernels) {
        PyObject* f_key = interned(name);
        PyObject* f = f_key != nullptr ? PyDict_GetItem(PyModule_GetDict(k), f_key) : nullptr;
        if (f == nullptr || !is_native_kernel(f, name)) return false;
    }
    return true;
}

// --- members ------------------------------------------------------------------

enum class Kind { Point, MultiPoint, Segments, Polygon, Zero };

// A member as its own query sees it: the arrays it reads, the metric it picks
// its part with, and the box and coordinate scale of everything it can offer.
struct Member {
    Kind kind = Kind::Zero;
    PyObject* object = nullptr;  // borrowed from the snapshot of `rgjs`
    PyTypeObject* type = nullptr;
    PairsView pts{};               // MultiPoint
    double px = 0.0, py = 0.0;     // Point
    PairsView p1{}, v{};           // Segments, Polygon
    core::ValuesView vdv{};        // Segments, Polygon
    PairsView outer{};             // Polygon
    std::vector<PairsView> holes;  // Polygon
    core::Metric2 select{};        // MultiPoint, Segments, Polygon
    std::vector<Ref> held;         // the arrays above, kept alive
    SegmentSlots slots{};          // Segments, Polygon: where the member keeps its index
    // The member's own kept index over its segments, when it is large and
    // the batch repays one; held while it is read.
    Ref kept_index;
    const core::SegmentIndex* index = nullptr;
    std::vector<std::vector<double>> owned;  // copies the views read, when threaded
};

// The box and coordinate scale of everything a member can offer.
struct Extent {
    core::Extremes box;
    double scale = 0.0;
    bool finite = true;

    void cover(double x, double y) {
        box.add(x, y);
        finite = finite && std::isfinite(x) && std::isfinite(y);
        scale = std::max(scale, std::max(std::fabs(x), std::fabs(y)));
    }
    void cover(const PairsView& rows) {
        for (std::ptrdiff_t i = 0; i < rows.n; ++i) cover(rows.x(i), rows.y(i));
    }
};

Extent extent_of(const Member& mb) {
    Extent e;
    if (mb.kind == Kind::Point) e.cover(mb.px, mb.py);
    e.cover(mb.pts);
    e.cover(mb.outer);
    for (const PairsView& h : mb.holes) e.cover(h);
    // The candidate points lie between p1 and p1 + v (as computed); the
    // vectors enter the rounding of the candidates too.
    for (std::ptrdiff_t i = 0; i < mb.p1.n; ++i) {
        const double x0 = mb.p1.x(i), y0 = mb.p1.y(i), vx = mb.v.x(i), vy = mb.v.y(i);
        e.cover(x0, y0);
        e.cover(x0 + vx, y0 + vy);
        e.scale = std::max(e.scale, std::max(std::fabs(vx), std::fabs(vy)));
    }
    return e;
}

PyObject** slot_at(PyObject* o, Py_ssize_t offset) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

// A member's rows as a view, when they lie in memory one after another: rows
// broadcast with a zero stride can claim more than memory holds, and such
// members are left to the general path.
bool rows_view(PyObject* a, PairsView& v) {
    return pairs_view(a, v) && (v.row_stride_bytes != 0 || v.n <= 1);
}

bool metric_view(PyObject* a, core::Metric2& m) {
    double e[4];
    if (!matrix2_view(a, e)) return false;
    m = {e[0], e[1], e[2], e[3]};
    return true;
}

// The segment cache of a line string or polygon class as plain views. These
// classes keep their segment index in the slot right after the field
// `before_index` (their layouts assert it).
bool segment_views(Member& mb, PyObject* o, const char* before_index) {
    const FieldDef* f1 = own_field(mb.type, "_p1");
    const FieldDef* fv = own_field(mb.type, "_v");
    const FieldDef* fd = own_field(mb.type, "_v_dot_v");
    const FieldDef* fb = own_field(mb.type, before_index);
    if (f1 == nullptr || fv == nullptr || fd == nullptr || fb == nullptr) return false;
    mb.slots = {slot_at(o, f1->offset), slot_at(o, fv->offset), slot_at(o, fd->offset),
                slot_at(o, fb->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)))};
    Ref p1 = object_field(o, f1), v = object_field(o, fv), vdv = object_field(o, fd);
    if (!rows_view(p1.get(), mb.p1) || !rows_view(v.get(), mb.v) ||
        !values_view(vdv.get(), mb.vdv) || (mb.vdv.stride_bytes == 0 && mb.vdv.n > 1) ||
        mb.p1.n < 1 || mb.v.n != mb.p1.n || mb.vdv.n != mb.p1.n) {
        return false;
    }
    mb.held.push_back(p1);
    mb.held.push_back(v);
    mb.held.push_back(vdv);
    return true;
}

// Member i as its own query would read it; false when it is not one of the
// package's classes, something it reads is not plain, or its query would run
// anything but the core routine.
bool read_member(PyObject* o, Member& mb) {
    PyTypeObject* t = Py_TYPE(o);
    mb.object = o;
    mb.type = t;
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    if (!own_method(t, "squared_dist", kBaseModule, "RGJGeometry") ||
        !own_method(t, "get_dist_matrix", kBaseModule, "RGJGeometry")) {
        return false;
    }
    GeometryObject* g = as_geometry(o);
    const char* module = nullptr;
    if (is_own_class(t, kPointModule, "PointRGJ")) {
        module = kPointModule;
        if (!own_method(t, "repulsion_vector", kPointModule, "PointRGJ")) return false;
        Ref held = field_value(g->coordinates);
        PyObject* coords = held.get();
        PairsView c;
        if (pairs_view(coords, c) && c.n == 1) {
            mb.px = c.x(0), mb.py = c.y(0);
        } else if (is_plain_float64(coords, 1) &&
                   PyArray_DIM(reinterpret_cast<PyArrayObject*>(coords), 0) == 2) {
            auto* a = reinterpret_cast<PyArrayObject*>(coords);
            const char* base = static_cast<const char*>(PyArray_DATA(a));
            mb.px = core::load_double(base);
            mb.py = core::load_double(base + PyArray_STRIDE(a, 0));
        } else {
            return false;
        }
        mb.kind = Kind::Point;
    } else if (is_own_class(t, kPointModule, "MultiPointRGJ")) {
        module = kPointModule;
        if (!own_method(t, "repulsion_vector", kPointModule, "MultiPointRGJ")) return false;
        Ref coords = field_value(g->coordinates);
        if (!rows_view(coords.get(), mb.pts) || mb.pts.n < 1) return false;
        if (!metric_view(field_value(g->inv_repulsion).get(), mb.select)) return false;
        mb.held.push_back(coords);
        mb.kind = Kind::MultiPoint;
    } else if (is_own_class(t, kLineModule, "LineStringRGJ") ||
               is_own_class(t, kLineModule, "MultiLineStringRGJ")) {
        module = kLineModule;
        if (!own_method(t, "repulsion_vector", kLineModule, "LineStringRGJ")) return false;
        const FieldDef* lines = own_field(t, "lines_n");
        long long count;
        if (lines == nullptr || !integer_field(o, lines, count)) return false;
        if (count <= 0) {
            mb.kind = Kind::Zero;
        } else {
            if (!metric_view(field_value(g->inv_repulsion).get(), mb.select)) return false;
            if (!segment_views(mb, o, "_v_dot_v")) return false;
            mb.kind = Kind::Segments;
        }
    } else if (is_own_class(t, kPolygonModule, "MultiPolygonRGJ")) {
        module = kPolygonModule;
        if (!own_method(t, "repulsion_vector", kPolygonModule, "MultiPolygonRGJ")) return false;
        const FieldDef* s = own_field(t, "_S");
        long long count;
        if (s == nullptr || !integer_field(o, s, count)) return false;
        if (count == 0) {
            mb.kind = Kind::Zero;
        } else {
            if (!metric_view(field_value(g->inv_repulsion).get(), mb.select)) return false;
            if (!segment_views(mb, o, "_v_dot_v")) return false;
            mb.kind = Kind::Segments;
        }
    } else if (is_own_class(t, kPolygonModule, "PolygonRGJ")) {
        module = kPolygonModule;
        if (!own_method(t, "repulsion_vector", kPolygonModule, "PolygonRGJ")) return false;
        const FieldDef* s = own_field(t, "_S");
        long long count;
        if (s == nullptr || !integer_field(o, s, count)) return false;
        if (count == 0) {
            mb.kind = Kind::Zero;
        } else {
            const FieldDef* fr = own_field(t, "rings");
            const FieldDef* fm = own_field(t, "metric");
            if (fr == nullptr || fm == nullptr) return false;
            Ref rings_ref = object_field(o, fr);
            PyObject* rings = rings_ref.get();
            if (!PyList_CheckExact(rings) || PyList_GET_SIZE(rings) < 1) return false;
            mb.held.push_back(borrow(rings));
            const Py_ssize_t k = PyList_GET_SIZE(rings);
            if (!rows_view(PyList_GET_ITEM(rings, 0), mb.outer)) return false;
            mb.held.push_back(borrow(PyList_GET_ITEM(rings, 0)));
            for (Py_ssize_t h = 1; h < k; ++h) {
                PairsView hv;
                if (!rows_view(PyList_GET_ITEM(rings, h), hv)) return false;
                mb.held.push_back(borrow(PyList_GET_ITEM(rings, h)));
                mb.holes.push_back(hv);
            }
            if (!metric_view(object_field(o, fm).get(), mb.select)) return false;
            if (!segment_views(mb, o, "metric")) return false;
            mb.kind = Kind::Polygon;
        }
    } else {
        return false;
    }
    PyObject* mod = defining_module(t, module);
    if (module == kPointModule) return module_runs_natively(mod, {});
    if (module == kLineModule) return module_runs_natively(mod, {kSegmentKernel});
    return module_runs_natively(mod, {kSegmentKernel, kRingKernel});
}

// The members of `rgjs` when every one can be answered here.
bool read_members(PyObject* rgjs, std::vector<Member>& members) {
    if (rgjs == nullptr || !PyList_CheckExact(rgjs)) return false;
    const Py_ssize_t m = PyList_GET_SIZE(rgjs);
    if (m < 1 || m > INT32_MAX) return false;
    members.clear();
    members.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) {
        if (!read_member(PyList_GET_ITEM(rgjs, i), members[i])) return false;
        members[i].held.push_back(borrow(PyList_GET_ITEM(rgjs, i)));
    }
    return !PyErr_Occurred();
}

// The rows of a view copied into `store`, and the view pointed at the copy.
void own_rows(PairsView& v, std::vector<double>& store) {
    store = core::own_rows(v);
    v = PairsView::contiguous(store.data(), v.n);
}

// Everything a member's answer reads, as copies of this call's own: threads
// read them with the interpreter lock released, when no array of the
// caller's may be read. A kept segment index owns its copies already.
void own_member(Member& mb) {
    mb.owned.clear();
    mb.owned.resize(5 + mb.holes.size());
    own_rows(mb.pts, mb.owned[0]);
    own_rows(mb.p1, mb.owned[1]);
    own_rows(mb.v, mb.owned[2]);
    std::vector<double>& d = mb.owned[3];
    d.resize(static_cast<std::size_t>(mb.vdv.n));
    for (std::ptrdiff_t i = 0; i < mb.vdv.n; ++i) d[i] = mb.vdv[i];
    mb.vdv = core::ValuesView::contiguous(d.data(), mb.vdv.n);
    own_rows(mb.outer, mb.owned[4]);
    for (std::size_t h = 0; h < mb.holes.size(); ++h) own_rows(mb.holes[h], mb.owned[5 + h]);
}

// Consecutive segments (or points) taken together under one box.
constexpr std::ptrdiff_t kRun = 16;

// Members with fewer segments answer by one scan of them all.
constexpr std::ptrdiff_t kIndexFrom = 64;

// The box of rows [first, first + count) of a segment cache: the candidate
// points lie between p1 and p1 + v as computed.
void segment_run_box(const Member& mb, std::ptrdiff_t first, std::ptrdiff_t count,
                     core::ShapeBox& b) {
    core::Extremes e;
    for (std::ptrdiff_t i = first; i < first + count; ++i) {
        const double x0 = mb.p1.x(i), y0 = mb.p1.y(i);
        e.add(x0, y0);
        e.add(x0 + mb.v.x(i), y0 + mb.v.y(i));
    }
    b.lo[0] = e.lo[0], b.lo[1] = e.lo[1], b.hi[0] = e.hi[0], b.hi[1] = e.hi[1];
}

void point_run_box(const PairsView& pts, std::ptrdiff_t first, std::ptrdiff_t count,
                   core::ShapeBox& b) {
    core::Extremes e;
    for (std::ptrdiff_t i = first; i < first + count; ++i) e.add(pts.x(i), pts.y(i));
    b.lo[0] = e.lo[0], b.lo[1] = e.lo[1], b.hi[0] = e.hi[0], b.hi[1] = e.hi[1];
}

// The nearest segment's offsets for k contiguous points, through the
// member's index when it has one: the core's own query, with the same answers.
void nearest_segments(const Member& mb, const double* xy, std::ptrdiff_t k, double* out) {
    core::nearest_segment_offsets(PairsView::contiguous(xy, k), mb.p1, mb.v, mb.vdv, mb.select, out,
                                  mb.index);
}

// The member's repulsion vectors for k contiguous points xy, to out (k, 2):
// what its own repulsion_vector gives for those rows.
void member_vectors(Member& mb, const double* xy, std::ptrdiff_t k, double* out,
                    std::vector<double>& scratch, std::vector<unsigned char>& flags) {
    const PairsView pts = PairsView::contiguous(xy, k);
    switch (mb.kind) {
        case Kind::Zero:
            std::fill(out, out + 2 * k, 0.0);
            return;
        case Kind::Point:
            for (std::ptrdiff_t i = 0; i < k; ++i) {
                out[2 * i] = xy[2 * i] - mb.px;
                out[2 * i + 1] = xy[2 * i + 1] - mb.py;
            }
            return;
        case Kind::MultiPoint: {
            core::NearestOut o;
            o.offsets = out;
            core::nearest_points(pts, mb.pts, mb.select, 0, k, o);
            return;
        }
        case Kind::Segments:
            nearest_segments(mb, xy, k, out);
            return;
        case Kind::Polygon: {
            flags.resize(static_cast<std::size_t>(k));
            bool* inside = reinterpret_cast<bool*>(flags.data());
            core::points_in_rings(pts, mb.outer, mb.holes.data(), mb.holes.size(), inside);
            std::ptrdiff_t outside = 0;
            for (std::ptrdiff_t i = 0; i < k; ++i) outside += !inside[i];
            std::fill(out, out + 2 * k, 0.0);
            if (outside == 0) return;
            scratch.resize(core::scratch_size(outside, 4));
            double* packed = scratch.data();
            double* chosen = packed + 2 * outside;
            for (std::ptrdiff_t i = 0, j = 0; i < k; ++i) {
                if (inside[i]) continue;
                packed[2 * j] = xy[2 * i];
                packed[2 * j + 1] = xy[2 * i + 1];
                ++j;
            }
            nearest_segments(mb, packed, outside, chosen);
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

// --- picks --------------------------------------------------------------------

// The evaluation order of a pick's form, as the general path evaluates it.
enum class Order {
    VectorMatrixFromZero,  // the members' squared_dist
    MatrixVector,          // the collection's pick among the members' vectors
};

inline double form(Order order, const core::Metric2& m, double d0, double d1) {
    return order == Order::VectorMatrixFromZero ? core::form_vector_matrix_from_zero(m, d0, d1)
                                                : core::form_matrix_vector(m, d0, d1);
}

// Which of equal values stays: NumPy's argmin keeps the first member, the
// collection's np.min loop lets a later equal one replace it (the sign of a
// zero). Either way the first NaN, once there is one, stays.
enum class Ties { First, Last };

inline bool replaces(Ties ties, double v, std::ptrdiff_t i, double best, std::ptrdiff_t at) {
    if (at < 0) return true;
    const bool v_nan = v != v;
    if (best != best) return v_nan && i < at;
    if (v_nan) return true;
    if (v < best) return true;
    return v == best && (ties == Ties::First ? i < at : i > at);
}

// One pick over the members: the metric of each (the kept plan holds their
// bounds), and per point the best value so far, its member and, when wanted,
// its vector.
struct Pick {
    Order order;
    Ties ties;
    std::vector<core::Metric2> metric;
    double* value;    // (n,)
    npy_intp* index;  // (n,), -1 before the first answer
    double* vector;   // (n, 2) or nullptr
};

// What every range of points shares: the tree over the members' parts and
// the members it cannot hold. Built once per call.
struct Plan {
    core::BoxTree tree;
    std::vector<std::ptrdiff_t> always;
};

class Search {
  public:
    Search(std::vector<Member>& members, std::vector<Pick>& picks, const PairsView& x)
        : members_(members), picks_(picks), x_(x) {}

    // The picks for the rows [begin, end) of x.
    void run(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end);

  private:
    void evaluate(std::ptrdiff_t member, const std::ptrdiff_t* rows, std::ptrdiff_t k);
    void evaluate_grouped(std::vector<std::ptrdiff_t>& pairs);

    std::vector<Member>& members_;
    std::vector<Pick>& picks_;
    PairsView x_;
    std::vector<double> xy_, out_, scratch_;
    std::vector<unsigned char> flags_;
};

void Search::evaluate(std::ptrdiff_t member, const std::ptrdiff_t* rows, std::ptrdiff_t k) {
    if (k <= 0) return;
    xy_.resize(core::scratch_size(k, 2));
    out_.resize(core::scratch_size(k, 2));
    for (std::ptrdiff_t j = 0; j < k; ++j) {
        xy_[2 * j] = x_.x(rows[j]);
        xy_[2 * j + 1] = x_.y(rows[j]);
    }
    member_vectors(members_[member], xy_.data(), k, out_.data(), scratch_, flags_);
    for (Pick& p : picks_) {
        const core::Metric2& m = p.metric[member];
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            const std::ptrdiff_t l = rows[j];
            const double d0 = out_[2 * j], d1 = out_[2 * j + 1];
            const double v = form(p.order, m, d0, d1);
            if (!replaces(p.ties, v, member, p.value[l], p.index[l])) continue;
            p.value[l] = v;
            p.index[l] = member;
            if (p.vector != nullptr) {
                p.vector[2 * l] = d0;
                p.vector[2 * l + 1] = d1;
            }
        }
    }
}

// pairs holds (member, row) pairs; evaluates each member once on its rows.
void Search::evaluate_grouped(std::vector<std::ptrdiff_t>& pairs) {
    const std::size_t m = members_.size();
    const std::size_t count = pairs.size() / 2;
    std::vector<std::ptrdiff_t> start(m + 1, 0);
    for (std::size_t i = 0; i < count; ++i) ++start[pairs[2 * i] + 1];
    for (std::size_t i = 0; i < m; ++i) start[i + 1] += start[i];
    std::vector<std::ptrdiff_t> rows(count);
    std::vector<std::ptrdiff_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < count; ++i) rows[next[pairs[2 * i]]++] = pairs[2 * i + 1];
    pairs.clear();
    for (std::size_t i = 0; i < m; ++i) {
        evaluate(static_cast<std::ptrdiff_t>(i), rows.data() + start[i], start[i + 1] - start[i]);
    }
}

// Pairs gathered before they are evaluated: enough to give each member a
// batch worth its call, few enough to keep memory independent of the
// number of members.
constexpr std::size_t kPairBudget = std::size_t(1) << 20;

// bound[f][i]: member i's bound under form f. The tree points into `bound`.
Plan make_plan(const std::vector<Member>& members, const std::vector<core::MetricBound>* bound,
               int forms) {
    const std::size_t m = members.size();

    // A member whose form cannot be bounded is asked for every point.
    std::vector<core::ShapeBox> boxes;
    std::vector<std::ptrdiff_t> always;
    for (std::size_t i = 0; i < m; ++i) {
        const Member& mb = members[i];
        const Extent ext = extent_of(mb);
        bool bounded = mb.kind != Kind::Zero && ext.finite && !ext.box.empty;
        core::ShapeBox s{};
        for (int f = 0; f < forms && bounded; ++f) {
            const core::MetricBound& b = bound[f][i];
            bounded = b.usable() && ext.scale <= b.coord_limit();
            s.bound[f] = &b;
        }
        if (!bounded) {
            always.push_back(static_cast<std::ptrdiff_t>(i));
            continue;
        }
        s.scale = ext.scale;
        s.id = static_cast<std::ptrdiff_t>(i);
        // The member's parts in runs, each under its own box: a point then
        // meets the members whose parts are near, not those whose whole box
        // merely spans it. A polygon also answers inside its outer ring.
        auto add = [&](core::ShapeBox b) { boxes.push_back(b); };
        if (mb.kind == Kind::Point) {
            s.lo[0] = s.hi[0] = mb.px, s.lo[1] = s.hi[1] = mb.py;
            add(s);
        } else if (mb.kind == Kind::MultiPoint) {
            // A point set has no order to follow: each point is its own box.
            for (std::ptrdiff_t i = 0; i < mb.pts.n; ++i) {
                point_run_box(mb.pts, i, 1, s);
                add(s);
            }
        } else {
            // A run follows one chain of segments: it ends where the next
            // segment does not start at the end of the last, so that no box
            // spans the gap between two rings or line strings.
            std::ptrdiff_t first = 0;
            for (std::ptrdiff_t i = 1; i <= mb.p1.n; ++i) {
                const bool chained = i < mb.p1.n && i - first < kRun &&
                                     mb.p1.x(i) == mb.p1.x(i - 1) + mb.v.x(i - 1) &&
                                     mb.p1.y(i) == mb.p1.y(i - 1) + mb.v.y(i - 1);
                if (chained) continue;
                segment_run_box(mb, first, i - first, s);
                add(s);
                first = i;
            }
            if (mb.kind == Kind::Polygon) {
                point_run_box(mb.outer, 0, mb.outer.n, s);
                if (mb.outer.n > 0) add(s);
            }
        }
    }
    return Plan{core::BoxTree(std::move(boxes), forms), std::move(always)};
}

// --- the index kept between calls ----------------------------------------------

// A plan with the bounds its tree points into, for one set of pick metrics.
struct KeptPlan {
    int forms = 0;
    std::vector<core::Metric2> metric[core::kMaxForms];
    std::vector<core::MetricBound> bound[core::kMaxForms];
    std::unique_ptr<Plan> plan;
};

// What the collection's slot holds: what the plans were built from and the
// plans (one per set of metrics: the queries pick under different ones).
// The objects are compared by address only and never followed, so nothing
// is kept alive and no cycle through the collection can form; the bytes
// decide, so an address reused by an object holding the same bytes gives
// the same answers. Changed only with the interpreter lock held; a call
// holds its plan, which outlives a replacement of the slot meanwhile.
struct KeptIndex {
    std::vector<const void*> objects;
    std::vector<double> bytes;
    std::vector<std::shared_ptr<const KeptPlan>> plans;
};

constexpr const char kKeptCapsule[] = "zelk.field.collection_index";
constexpr std::size_t kKeptPlans = 4;

void free_kept_index(PyObject* capsule) {
    delete static_cast<KeptIndex*>(PyCapsule_GetPointer(capsule, kKeptCapsule));
}

// Takes down what a plan was built from: Record into a KeptIndex, Compare
// against one as it goes (nothing copied when the kept one is current).
struct Record {
    KeptIndex& k;
    void object(const void* o) { k.objects.push_back(o); }
    void value(double v) { k.bytes.push_back(v); }
    void block(const char* data, std::ptrdiff_t count) {
        const std::size_t at = k.bytes.size();
        k.bytes.resize(at + static_cast<std::size_t>(count));
        if (count > 0)
            std::memcpy(&k.bytes[at], data, static_cast<std::size_t>(count) * sizeof(double));
    }
    bool same_so_far() const { return true; }
};

struct Compare {
    const KeptIndex& k;
    std::size_t objects = 0, bytes = 0;
    bool same = true;
    void object(const void* o) {
        same = same && objects < k.objects.size() && k.objects[objects] == o;
        ++objects;
    }
    void value(double v) {
        // bit for bit: a NaN equals only the same NaN bits, -0.0 only -0.0
        same =
            same && bytes < k.bytes.size() && std::memcmp(&k.bytes[bytes], &v, sizeof(double)) == 0;
        ++bytes;
    }
    void block(const char* data, std::ptrdiff_t count) {
        const std::size_t c = static_cast<std::size_t>(count);
        same = same && c <= k.bytes.size() - std::min(bytes, k.bytes.size()) &&
               (c == 0 || std::memcmp(&k.bytes[bytes], data, c * sizeof(double)) == 0);
        bytes += c;
    }
    bool same_so_far() const { return same; }
    bool all() const { return same && objects == k.objects.size() && bytes == k.bytes.size(); }
};

// Rows whose coordinates lie one after another in memory, as one block.
bool packed(const PairsView& rows) {
    return rows.row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
           rows.col_stride_bytes == std::ptrdiff_t(sizeof(double));
}

template <class Sink>
void add_rows(const PairsView& rows, Sink& sink) {
    sink.value(static_cast<double>(rows.n));
    if (packed(rows)) {
        sink.block(rows.data, 2 * rows.n);
        return;
    }
    for (std::ptrdiff_t i = 0; i < rows.n && sink.same_so_far(); ++i) {
        sink.value(rows.x(i));
        sink.value(rows.y(i));
    }
}

// Every object the members were read from and every value a plan depends on.
template <class Sink>
void fingerprint(PyObject* rgjs, const std::vector<Member>& members, Sink& sink) {
    sink.object(rgjs);
    for (const Member& mb : members) {
        sink.object(mb.type);
        for (const Ref& r : mb.held) sink.object(r.get());
        sink.value(static_cast<double>(mb.kind));
        sink.value(mb.px);
        sink.value(mb.py);
        add_rows(mb.pts, sink);
        add_rows(mb.p1, sink);
        add_rows(mb.v, sink);
        add_rows(mb.outer, sink);
        sink.value(static_cast<double>(mb.holes.size()));
        for (const PairsView& h : mb.holes) add_rows(h, sink);
        if (!sink.same_so_far()) return;
    }
}

bool same_metrics(const KeptPlan& kp, const std::vector<Pick>& picks) {
    if (kp.forms != static_cast<int>(picks.size())) return false;
    for (int f = 0; f < kp.forms; ++f) {
        const std::vector<core::Metric2>& a = kp.metric[f];
        const std::vector<core::Metric2>& b = picks[f].metric;
        if (a.size() != b.size() ||
            std::memcmp(a.data(), b.data(), a.size() * sizeof(core::Metric2)) != 0) {
            return false;
        }
    }
    return true;
}

// The plan kept in `slot` for these members and picks, built and kept now
// when there is none or what it was built from differs in any object or
// byte. Empty with an exception set when the capsule cannot be made; throws
// std::bad_alloc. Runs no Python code (a capsule is not tracked by the
// collector and its destructor is ours).
std::shared_ptr<const KeptPlan> kept_plan(PyObject** slot, PyObject* rgjs,
                                          const std::vector<Member>& members,
                                          const std::vector<Pick>& picks) {
    Ref held = field_value(*slot);
    KeptIndex* k = nullptr;
    if (PyCapsule_IsValid(held.get(), kKeptCapsule)) {
        k = static_cast<KeptIndex*>(PyCapsule_GetPointer(held.get(), kKeptCapsule));
        Compare compare{*k};
        fingerprint(rgjs, members, compare);
        if (!compare.all()) k = nullptr;
    }
    if (k != nullptr) {
        for (const auto& p : k->plans) {
            if (same_metrics(*p, picks)) return p;
        }
    }
    // A plan is built from a copy of the members, and that very copy is what
    // it records (or is checked against the record): a writer that needs no
    // interpreter lock (shared memory, another process) cannot leave a plan
    // built from one state and recorded as another.
    std::vector<Member> copy = members;
    for (Member& mb : copy) own_member(mb);
    if (k != nullptr) {
        Compare compare{*k};
        fingerprint(rgjs, copy, compare);
        if (!compare.all()) k = nullptr;
    }
    if (k == nullptr) {
        auto fresh = std::make_unique<KeptIndex>();
        Record record{*fresh};
        fingerprint(rgjs, copy, record);
        Ref capsule = steal(PyCapsule_New(fresh.get(), kKeptCapsule, free_kept_index));
        if (!capsule) return nullptr;
        k = fresh.release();
        set_field(*slot, capsule.release());
    }
    auto made = std::make_shared<KeptPlan>();
    made->forms = static_cast<int>(picks.size());
    for (int f = 0; f < made->forms; ++f) {
        made->metric[f] = picks[f].metric;
        made->bound[f].reserve(picks[f].metric.size());
        for (const core::Metric2& m : picks[f].metric) made->bound[f].emplace_back(m);
    }
    made->plan = std::make_unique<Plan>(make_plan(copy, made->bound, made->forms));
    if (k->plans.size() >= kKeptPlans) k->plans.erase(k->plans.begin());
    k->plans.push_back(made);
    return made;
}

// Batches of this many points or more use the members' own segment indexes
// (built and kept by the member when missing or stale).
constexpr std::ptrdiff_t kMemberIndexFrom = 4;

// Each large member's kept segment index for this call; false with an
// exception set when one cannot be kept. Throws std::bad_alloc.
bool take_member_indexes(std::vector<Member>& members, std::ptrdiff_t points) {
    for (Member& mb : members) {
        mb.kept_index = Ref();
        mb.index = nullptr;
        if (points < kMemberIndexFrom || mb.p1.n < kIndexFrom ||
            (mb.kind != Kind::Segments && mb.kind != Kind::Polygon)) {
            continue;
        }
        const SegmentCache cache(mb.slots);
        mb.kept_index = cached_segment_index(mb.slots.index, cache, mb.p1, mb.v, mb.vdv);
        if (!mb.kept_index) return false;
        mb.index = &segment_index_of(mb.kept_index.get());
    }
    return true;
}

// The bits of v spread to the even bit positions.
std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0xffffffffu;
    v = (v | (v << 16)) & 0x0000ffff0000ffffu;
    v = (v | (v << 8)) & 0x00ff00ff00ff00ffu;
    v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fu;
    v = (v | (v << 2)) & 0x3333333333333333u;
    return (v | (v << 1)) & 0x5555555555555555u;
}

// The rows [begin, end) of x (as offsets from begin) along a Morton curve
// through their positions: neighbouring points walk the same paths of the
// trees, which the caches and branch predictors repay. The order changes no
// answer, since a row's picks depend only on the values and member numbers
// met, never on when. Rows that are not finite come first.
std::vector<std::uint32_t> curve_order(const PairsView& x, std::ptrdiff_t begin,
                                       std::ptrdiff_t end) {
    const std::ptrdiff_t n = end - begin;
    std::vector<std::uint32_t> order(static_cast<std::size_t>(n));
    for (std::ptrdiff_t l = 0; l < n; ++l) order[l] = static_cast<std::uint32_t>(l);
    if (n < 64 || n > std::ptrdiff_t(UINT32_MAX)) return order;
    core::Extremes box;
    for (std::ptrdiff_t r = begin; r < end; ++r) {
        if (std::isfinite(x.x(r)) && std::isfinite(x.y(r))) box.add(x.x(r), x.y(r));
    }
    if (box.empty) return order;
    double scale[2];
    for (int c = 0; c < 2; ++c) {
        const double span = box.hi[c] - box.lo[c];
        scale[c] = span > 0.0 && std::isfinite(span) ? 65535.0 / span : 0.0;
    }
    std::vector<std::uint64_t> keys(static_cast<std::size_t>(n));
    for (std::ptrdiff_t l = 0; l < n; ++l) {
        const double px = x.x(begin + l), py = x.y(begin + l);
        std::uint64_t code = 0;
        if (std::isfinite(px) && std::isfinite(py)) {
            const auto qx = static_cast<std::uint64_t>(
                std::min(65535.0, std::max(0.0, (px - box.lo[0]) * scale[0])));
            const auto qy = static_cast<std::uint64_t>(
                std::min(65535.0, std::max(0.0, (py - box.lo[1]) * scale[1])));
            code = spread_bits(qx) | (spread_bits(qy) << 1);
        }
        keys[l] = (code << 32) | static_cast<std::uint64_t>(l);
    }
    std::sort(keys.begin(), keys.end());
    for (std::ptrdiff_t l = 0; l < n; ++l) order[l] = static_cast<std::uint32_t>(keys[l]);
    return order;
}

void Search::run(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end) {
    const std::ptrdiff_t n = end - begin;
    const std::size_t m = members_.size();
    const int forms = static_cast<int>(picks_.size());
    const core::BoxTree& tree = plan.tree;

    std::vector<std::ptrdiff_t> all_rows;
    if (!plan.always.empty() || tree.empty()) {
        all_rows.resize(static_cast<std::size_t>(n));
        for (std::ptrdiff_t l = 0; l < n; ++l) all_rows[l] = begin + l;
        for (std::ptrdiff_t i : plan.always) evaluate(i, all_rows.data(), n);
    }
    if (tree.empty()) return;
    all_rows = std::vector<std::ptrdiff_t>();

    // Points are taken along a curve through their positions (see
    // curve_order). A first answer per point from the member whose part is
    // nearest, so that the search below has a value to prune by.
    const std::vector<std::uint32_t> order = curve_order(x_, begin, end);
    std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(n));
    std::vector<std::ptrdiff_t> pairs;
    pairs.reserve(std::min<std::size_t>(2 * kPairBudget, 2 * static_cast<std::size_t>(n)));
    std::int32_t leaf = -1;  // the previous point's: along the curve, a near one
    for (const std::uint32_t l : order) {
        first[l] = tree.first_guess(x_.x(begin + l), x_.y(begin + l), leaf);
    }
    {
        std::vector<std::ptrdiff_t> start(m + 1, 0);
        for (std::ptrdiff_t l = 0; l < n; ++l) ++start[first[l] + 1];
        for (std::size_t i = 0; i < m; ++i) start[i + 1] += start[i];
        std::vector<std::ptrdiff_t> rows(static_cast<std::size_t>(n));
        std::vector<std::ptrdiff_t> next(start.begin(), start.end() - 1);
        for (const std::uint32_t l : order) rows[next[first[l]]++] = begin + l;
        for (std::size_t i = 0; i < m; ++i) {
            evaluate(static_cast<std::ptrdiff_t>(i), rows.data() + start[i],
                     start[i + 1] - start[i]);
        }
    }

    // Then every other member that may still equal or beat a point's best.
    double best[core::kMaxForms];
    std::vector<std::ptrdiff_t> seen(m, -1);
    for (const std::uint32_t l : order) {
        const std::ptrdiff_t r = begin + l;
        for (int f = 0; f < forms; ++f) {
            const Pick& p = picks_[f];
            best[f] = p.index[r] < 0 ? std::numeric_limits<double>::infinity() : p.value[r];
        }
        tree.candidates(x_.x(r), x_.y(r), best, first[r - begin], [&](std::ptrdiff_t i) {
            if (seen[i] == r) return;  // met already through another of its runs
            seen[i] = r;
            pairs.push_back(i);
            pairs.push_back(r);
        });
        if (pairs.size() >= 2 * kPairBudget) evaluate_grouped(pairs);
    }
    evaluate_grouped(pairs);
}

// --- the queries --------------------------------------------------------------

// The stored matrix that get_dist_matrix(scaled, inverted) returns, for
// flags whose truth needs no code.
Ref dist_matrix(PyObject* o, PyObject* scaled, PyObject* inverted) {
    GeometryObject* g = as_geometry(o);
    if (!truth(scaled)) return field_value(g->eye_repulsion);
    return truth(inverted) ? field_value(g->inv_repulsion) : field_value(g->repulsion);
}

bool plain_flag(PyObject* f) {
    return f == Py_True || f == Py_False || f == Py_None;
}

Pick make_pick(Order order, Ties ties, std::size_t m) {
    Pick p{order, ties, {}, nullptr, nullptr, nullptr};
    p.metric.reserve(m);
    return p;
}

void add_metric(Pick& p, const core::Metric2& m) {
    p.metric.push_back(m);
}

// The (m, 2, 2) stack as metrics, when it is a plain float64 array.
bool stacked_metrics(PyObject* a, std::size_t m, std::vector<core::Metric2>& out) {
    if (!is_plain_float64(a, 3)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_DIM(arr, 0) != static_cast<npy_intp>(m) || PyArray_DIM(arr, 1) != 2 ||
        PyArray_DIM(arr, 2) != 2) {
        return false;
    }
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    out.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        double e[4];
        for (int j = 0; j < 2; ++j) {
            for (int k = 0; k < 2; ++k) {
                e[2 * j + k] =
                    core::load_double(base + i * PyArray_STRIDE(arr, 0) +
                                      j * PyArray_STRIDE(arr, 1) + k * PyArray_STRIDE(arr, 2));
            }
        }
        out[i] = {e[0], e[1], e[2], e[3]};
    }
    return true;
}

// The picks' own arrays when the caller does not keep them.
struct Scratch {
    std::vector<double> value, vector;
    std::vector<npy_intp> index;
};

// Batches from this size on are split across threads when there are several.
constexpr std::ptrdiff_t kThreadedFrom = 4096;

// Runs the search for the picks over x with the collection's kept plan;
// false with an exception set (MemoryError when memory runs out). A large batch on several threads
// runs on copies, with the interpreter lock released; each row's answer is the same either way.
bool search(PyObject** kept, PyObject* rgjs, std::vector<Member>& members, std::vector<Pick>& picks,
            const PairsView& x) {
    const int threads = x.n >= kThreadedFrom ? configured_threads() : 1;
    try {
        for (Pick& p : picks) std::fill(p.index, p.index + x.n, npy_intp(-1));
        if (!take_member_indexes(members, x.n)) return false;
        const std::shared_ptr<const KeptPlan> held = kept_plan(kept, rgjs, members, picks);
        if (!held) return false;
        const Plan& plan = *held->plan;
        if (threads <= 1) {
            Search(members, picks, x).run(plan, 0, x.n);
            return true;
        }
        PairsView points = x;
        std::vector<double> copy;
        own_rows(points, copy);
        for (Member& mb : members) own_member(mb);
        PyThreadState* released = PyEval_SaveThread();
        try {
            core::parallel_for(x.n, threads, 4 * std::ptrdiff_t(threads),
                               [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                                   Search(members, picks, points).run(plan, begin, end);
                               });
        } catch (...) {
            PyEval_RestoreThread(released);
            throw;
        }
        PyEval_RestoreThread(released);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// Below this many points a single query is answered member by member, which
// costs less than setting up the index (the gradient, which makes three
// queries in one pass, always takes the index).
constexpr std::ptrdiff_t kIndexedFrom = 16;

}  // namespace

Indexed squared_dist(PyObject** kept, PyObject* rgjs, PyObject* x, PyObject* scaled,
                     PyObject* inverted, bool with_reference, Ref& out) {
    if (!plain_flag(scaled) || !plain_flag(inverted)) return Indexed::Declined;
    PairsView q;
    std::vector<Member> members;
    if (!batch_in_place(x, q) || q.n < kIndexedFrom || !read_members(rgjs, members)) {
        return Indexed::Declined;
    }
    Pick pick = make_pick(Order::VectorMatrixFromZero, with_reference ? Ties::First : Ties::Last,
                          members.size());
    for (const Member& mb : members) {
        core::Metric2 d;
        if (!metric_view(dist_matrix(mb.object, scaled, inverted).get(), d))
            return Indexed::Declined;
        add_metric(pick, d);
    }
    const npy_intp n = q.n;
    Ref values = new_float64({n});
    Ref index = values ? steal(PyArray_SimpleNew(1, const_cast<npy_intp*>(&n), NPY_INTP)) : Ref();
    if (!index) return Indexed::Error;
    // The allocations may have run a finalizer: take every view again.
    if (!batch_in_place(x, q) || q.n != n || !read_members(rgjs, members)) return Indexed::Declined;
    pick.value = f64_data(values.get());
    pick.index =
        static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(index.get())));
    std::vector<Pick> picks{std::move(pick)};
    if (!search(kept, rgjs, members, picks, q)) return Indexed::Error;
    out = with_reference ? steal(PyTuple_Pack(2, values.get(), index.get())) : values;
    return out ? Indexed::Done : Indexed::Error;
}

Indexed repulsion_vector(PyObject** kept, PyObject* rgjs, PyObject* inv_repulsions, PyObject* x,
                         Ref& out) {
    PairsView q;
    std::vector<Member> members;
    std::vector<core::Metric2> stacked;
    if (!batch_in_place(x, q) || q.n < kIndexedFrom || !read_members(rgjs, members) ||
        !stacked_metrics(inv_repulsions, members.size(), stacked)) {
        return Indexed::Declined;
    }
    const npy_intp n = q.n;
    Ref vectors = new_float64({n, 2});
    if (!vectors) return Indexed::Error;
    if (!batch_in_place(x, q) || q.n != n || !read_members(rgjs, members) ||
        !stacked_metrics(inv_repulsions, members.size(), stacked)) {
        return Indexed::Declined;
    }
    try {
        Pick pick = make_pick(Order::MatrixVector, Ties::First, members.size());
        for (const core::Metric2& a : stacked) add_metric(pick, a);
        Scratch s;
        s.value.resize(static_cast<std::size_t>(n));
        s.index.resize(static_cast<std::size_t>(n));
        pick.value = s.value.data();
        pick.index = s.index.data();
        pick.vector = f64_data(vectors.get());
        std::vector<Pick> picks{std::move(pick)};
        if (!search(kept, rgjs, members, picks, q)) return Indexed::Error;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Indexed::Error;
    }
    out = vectors;
    return Indexed::Done;
}

Indexed gradient(PyObject** kept, PyObject* self_type, PyObject* rgjs, PyObject* inv_repulsions,
                 PyObject* grad_matrixes, PyObject* x, Ref& out) {
    auto* t = reinterpret_cast<PyTypeObject*>(self_type);
    if (!is_own_class(t, kCollectionModule, "GeometryCollectionRGJ") ||
        t->tp_getattro != PyObject_GenericGetAttr ||
        !own_method(t, "squared_dist", kCollectionModule, "GeometryCollectionRGJ") ||
        !own_method(t, "repulsion_vector", kCollectionModule, "GeometryCollectionRGJ") ||
        !own_method(t, "eval", kBaseModule, "RGJGeometry")) {
        return Indexed::Declined;
    }
    // eval's exponential is NumPy's, reached through the base module's np.
    PyObject* base_module = nullptr;
    for (PyTypeObject* c = t; c != nullptr && base_module == nullptr; c = c->tp_base) {
        base_module = defining_module(c, kBaseModule);
    }
    if (base_module == nullptr || !module_runs_natively(base_module, {})) {
        return Indexed::Declined;
    }
    PairsView q;
    std::vector<Member> members;
    std::vector<core::Metric2> stacked, grads;
    auto views = [&] {
        return batch_in_place(x, q) && read_members(rgjs, members) &&
               stacked_metrics(inv_repulsions, members.size(), stacked) &&
               stacked_metrics(grad_matrixes, members.size(), grads);
    };
    if (!views()) return Indexed::Declined;
    const npy_intp n = q.n;
    Ref negated = new_float64({n});
    Ref result = negated ? new_float64({n, 2}) : Ref();
    if (!result) return Indexed::Error;
    if (!views() || q.n != n) return Indexed::Declined;
    std::vector<npy_intp> nearest;
    std::vector<double> vectors;
    try {
        Pick dist = make_pick(Order::VectorMatrixFromZero, Ties::First, members.size());
        Pick rep = make_pick(Order::MatrixVector, Ties::First, members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            core::Metric2 d;
            if (!metric_view(field_value(as_geometry(members[i].object)->inv_repulsion).get(), d)) {
                return Indexed::Declined;
            }
            add_metric(dist, d);
            add_metric(rep, stacked[i]);
        }
        Scratch s;
        s.value.resize(static_cast<std::size_t>(n));
        nearest.resize(static_cast<std::size_t>(n));
        s.index.resize(static_cast<std::size_t>(n));
        vectors.resize(core::scratch_size(n, 2));
        dist.value = f64_data(negated.get());
        dist.index = nearest.data();
        rep.value = s.value.data();
        rep.index = s.index.data();
        rep.vector = vectors.data();
        std::vector<Pick> picks{std::move(dist), std::move(rep)};
        if (!search(kept, rgjs, members, picks, q)) return Indexed::Error;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Indexed::Error;
    }
    // eval: np.exp(-squared_dist); the argmin's value and np.min's differ at
    // most in the sign of a zero, which the exponential does not see.
    double* neg = f64_data(negated.get());
    for (npy_intp l = 0; l < n; ++l) neg[l] = -neg[l];
    Ref exp = steal(PyObject_GetAttrString(numpy_module(), "exp"));
    Ref e = exp ? call(exp.get(), {negated.get()}) : Ref();
    if (!e) return Indexed::Error;
    core::ValuesView ev;
    if (!values_view(e.get(), ev) || ev.n != n) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected result of numpy.exp");
        return Indexed::Error;
    }
    double* o = f64_data(result.get());
    for (npy_intp l = 0; l < n; ++l) {
        const double minus = -ev[l];
        const core::Metric2& G = grads[nearest[l]];
        const double r0 = vectors[2 * l], r1 = vectors[2 * l + 1];
        double applied[2];
        core::matrix_vector_from_zero(G, r0, r1, applied);
        o[2 * l] = minus * applied[0];
        o[2 * l + 1] = minus * applied[1];
    }
    out = result;
    return Indexed::Done;
}

}  // namespace zelk::collection
