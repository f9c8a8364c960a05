// zelk.field.geometry.linestring: LineStringRGJ and MultiLineStringRGJ.
//
// Both classes keep a segment cache (start points, segment vectors, squared
// lengths) built once per change of the vertices, so that a query is one
// kernel call or one pass over segments and query points. Plain float64
// inputs take C++ loops; anything else goes through the NumPy operations the
// loops stand for, so odd shapes broadcast and fail exactly as NumPy does.
#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/geometry.hpp"
#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/native.hpp"
#include "zelk/field/geometry/shared/segment_fields.hpp"

#include "core/extremes.hpp"
#include "core/segments.hpp"

#include <cstddef>
#include <vector>

namespace zelk {
namespace {

constexpr const char kModule[] = "zelk.field.geometry.linestring";
enum ClassIndex { kLineStringIndex, kMultiLineStringIndex };

struct LineStringObject {
    GeometryObject base;
    SegmentFields segments;
    Py_ssize_t lines_n;
};

// The object fields must follow the base's seven without a gap: the instance
// slots address them by index.
static_assert(offsetof(LineStringObject, segments) == sizeof(GeometryObject));
static_assert(sizeof(SegmentFields) == 5 * sizeof(PyObject*));
constexpr int kOwnObjectFields = 5;

LineStringObject* ls(PyObject* self) {
    return reinterpret_cast<LineStringObject*>(self);
}

Ref field(PyObject* slot) {
    return field_value(slot);
}

// --- views --------------------------------------------------------------------

// A plain float64 (n, 2) array whose rows follow each other in memory order,
// the layout under which NumPy's min(0) and max(0) visit the rows first to last.
bool row_major_view(PyObject* a, PairsView& out) {
    return pairs_view(a, out) && PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(a));
}

using core::Extremes;

// --- NumPy helpers ------------------------------------------------------------

// [a, b] (items borrowed)
Ref list_of_two(PyObject* a, PyObject* b) {
    Ref list = steal(PyList_New(2));
    if (!list) return list;
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(a));
    PyList_SET_ITEM(list.get(), 1, Py_NewRef(b));
    return list;
}

// obj[start:stop]
Ref slice_of(PyObject* obj, PyObject* start, PyObject* stop) {
    if (!start || !stop) return Ref();  // a bound that could not be made; its error is set
    Ref s = steal(PySlice_New(start, stop, nullptr));
    return s ? steal(PyObject_GetItem(obj, s.get())) : Ref();
}

// [np.array(c, dtype=np.float64) for c in coordinates]
Ref line_string_arrays(PyObject* coordinates) {
    Ref list = steal(PyList_New(0));
    Ref it = list ? steal(PyObject_GetIter(coordinates)) : Ref();
    if (!it) return Ref();
    while (Ref c = steal(PyIter_Next(it.get()))) {
        Ref f64 = float64_type();
        Ref arr = f64 ? np_call("array", {c.get()}, {{"dtype", f64.get()}}) : Ref();
        if (!arr || PyList_Append(list.get(), arr.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : list;
}

// The items of an exact list when each is a plain float64 (n, 2) array that
// `accept` takes; false (and nothing set) otherwise. The references keep the
// arrays alive whatever happens to the list.
template <class Accept>
bool list_of_pairs(PyObject* list, std::vector<Ref>& items, Accept accept) {
    if (!PyList_CheckExact(list)) return false;
    const Py_ssize_t k = PyList_GET_SIZE(list);
    items.clear();
    items.reserve(static_cast<std::size_t>(k));
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* c = PyList_GET_ITEM(list, i);
        PairsView view;
        if (!accept(c, view)) return false;
        items.push_back(borrow(c));
    }
    return true;
}

// --- segment cache ------------------------------------------------------------

// The arrays of a cache being built. `joined` lays the pairs out as the multi
// line string's concatenation does, (2, S, 2), to be seen through an axis swap.
struct CacheArrays {
    npy_intp segments = 0;
    Ref pairs, p1, v, v_dot_v;

    bool allocate(npy_intp s, bool joined) {
        segments = s;
        pairs = joined ? new_float64({2, s, 2}) : new_float64({s, 2, 2});
        p1 = pairs ? new_float64({s, 2}) : Ref();
        v = p1 ? new_float64({s, 2}) : Ref();
        v_dot_v = v ? new_float64({s}) : Ref();
        return static_cast<bool>(v_dot_v);
    }

    // Segments of one line string, vertex j paired with vertex j + 1, written
    // from segment `first` on; returns the next free segment.
    npy_intp fill(const PairsView& c, npy_intp first, bool joined) {
        double* pr = f64_data(pairs.get());
        double* sp = f64_data(p1.get());
        double* sv = f64_data(v.get());
        double* sd = f64_data(v_dot_v.get());
        npy_intp i = first;
        for (npy_intp j = 0; j + 1 < c.n; ++j, ++i) {
            const double x0 = c.x(j), y0 = c.y(j), x1 = c.x(j + 1), y1 = c.y(j + 1);
            double* start = joined ? pr + 2 * i : pr + 4 * i;
            double* end = joined ? pr + 2 * (segments + i) : pr + 4 * i + 2;
            start[0] = x0;
            start[1] = y0;
            end[0] = x1;
            end[1] = y1;
            core::segment_entry(x0, y0, x1, y1, sp + 2 * i, sv + 2 * i, sd + i);
        }
        return i;
    }
};

// Stores the cache in field order; `pairs` may be a view of cache.pairs.
void store_cache(PyObject* self, Ref pairs, CacheArrays& cache) {
    LineStringObject* o = ls(self);
    set_field(o->segments.points_in_line_pair, pairs.release());
    set_field(o->segments.p1, cache.p1.release());
    set_field(o->segments.v, cache.v.release());
    set_field(o->segments.v_dot_v, cache.v_dot_v.release());
}

SegmentSlots cache_slots(PyObject* self) {
    LineStringObject* o = ls(self);
    return o->segments.slots();
}

// The single line string's cache in C++ when `coordinates` is a plain float64
// (n, 2) array.
Outcome build_line_fast(PyObject* self, PyObject* coords) {
    PairsView c;
    if (!pairs_view(coords, c)) return Outcome::Declined;
    const npy_intp n = c.n;
    CacheArrays cache;
    if (!cache.allocate(n > 0 ? n - 1 : 0, false)) {
        ls(self)->lines_n = n - 1;  // counted before the pairing fails
        return Outcome::Error;
    }
    if (!pairs_view(coords, c) || c.n != n) return Outcome::Declined;
    ls(self)->lines_n = n - 1;
    cache.fill(c, 0, false);
    store_cache(self, cache.pairs, cache);
    return Outcome::Done;
}

PyObject* linestring_build_segments(PyObject* self, const BoundArgs&) {
    Ref coords = field(as_geometry(self)->coordinates);
    const Outcome fast = build_line_fast(self, coords.get());
    if (fast != Outcome::Declined) return fast == Outcome::Done ? Py_NewRef(Py_None) : nullptr;

    const Py_ssize_t n = PyObject_Length(coords.get());
    if (n < 0) return nullptr;
    ls(self)->lines_n = n - 1;
    Ref minus_one = py_int(-1), one = py_int(1);
    Ref head = slice_of(coords.get(), Py_None, minus_one.get());
    Ref tail = head ? slice_of(coords.get(), one.get(), Py_None) : Ref();
    Ref pair = tail ? list_of_two(head.get(), tail.get()) : Ref();
    Ref pairs = pair ? np_call("stack", {pair.get()}, {{"axis", one.get()}}) : Ref();
    if (!pairs) return nullptr;
    set_field(ls(self)->segments.points_in_line_pair, Ref(pairs).release());
    return store_segments_numpy(pairs.get(), cache_slots(self)) ? Py_NewRef(Py_None) : nullptr;
}

// sum(len(c) - 1 for c in coordinates), as a Python int would hold it until
// it is stored.
bool count_segments(PyObject* coordinates, Py_ssize_t& out) {
    Ref it = steal(PyObject_GetIter(coordinates));
    if (!it) return false;
    __int128 total = 0;  // cannot overflow: every term is at least -1 and below 2**63
    while (Ref c = steal(PyIter_Next(it.get()))) {
        const Py_ssize_t n = PyObject_Length(c.get());
        if (n < 0) return false;
        total += n - 1;
    }
    if (PyErr_Occurred()) return false;
    if (total > PY_SSIZE_T_MAX || total < PY_SSIZE_T_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        return false;
    }
    out = static_cast<Py_ssize_t>(total);
    return true;
}

// The joined cache in C++ when `coordinates` is a non-empty list of plain
// float64 (n, 2) arrays.
Outcome build_joined_fast(PyObject* self, PyObject* coords) {
    std::vector<Ref> items;
    if (!list_of_pairs(coords, items, pairs_view) || items.empty()) return Outcome::Declined;
    std::vector<npy_intp> rows;
    npy_intp segments = 0;
    for (const Ref& item : items) {
        PairsView c;
        pairs_view(item.get(), c);
        rows.push_back(c.n);
        segments += c.n > 0 ? c.n - 1 : 0;
    }
    CacheArrays cache;
    if (!cache.allocate(segments, true)) return Outcome::Error;
    std::vector<PairsView> views(items.size());
    for (std::size_t l = 0; l < items.size(); ++l) {
        if (!pairs_view(items[l].get(), views[l]) || views[l].n != rows[l])
            return Outcome::Declined;
    }
    npy_intp next = 0;
    for (const PairsView& c : views) next = cache.fill(c, next, true);
    Ref pairs = steal(PyArray_SwapAxes(reinterpret_cast<PyArrayObject*>(cache.pairs.get()), 0, 1));
    if (!pairs) return Outcome::Error;
    store_cache(self, pairs, cache);
    return Outcome::Done;
}

PyObject* multi_build_segments(PyObject* self, const BoundArgs&) {
    Py_ssize_t lines_n;
    if (!count_segments(field(as_geometry(self)->coordinates).get(), lines_n)) return nullptr;
    ls(self)->lines_n = lines_n;

    Ref coords = field(as_geometry(self)->coordinates);
    const Outcome fast = build_joined_fast(self, coords.get());
    if (fast != Outcome::Declined) return fast == Outcome::Done ? Py_NewRef(Py_None) : nullptr;

    // Segments are paired within each line string before the strings are
    // joined, so none runs from one string to the next.
    Ref blocks = steal(PyList_New(0));
    Ref it = blocks ? steal(PyObject_GetIter(coords.get())) : Ref();
    if (!it) return nullptr;
    Ref minus_one = py_int(-1), zero = py_int(0), one = py_int(1);
    while (Ref c = steal(PyIter_Next(it.get()))) {
        Ref head = slice_of(c.get(), Py_None, minus_one.get());
        Ref tail = head ? slice_of(c.get(), one.get(), Py_None) : Ref();
        Ref pair = tail ? list_of_two(head.get(), tail.get()) : Ref();
        if (!pair || PyList_Append(blocks.get(), pair.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref joined = np_call("concatenate", {blocks.get()}, {{"axis", one.get()}});
    Ref pairs = joined ? call_method(joined.get(), "swapaxes", {zero.get(), one.get()}) : Ref();
    if (!pairs) return nullptr;
    set_field(ls(self)->segments.points_in_line_pair, Ref(pairs).release());
    return store_segments_numpy(pairs.get(), cache_slots(self)) ? Py_NewRef(Py_None) : nullptr;
}

// --- repulsion_vector ---------------------------------------------------------

PyObject* linestring_repulsion_vector(PyObject* self, const BoundArgs& a) {
    PyObject* x = a[0];
    QueryBatch q;
    if (!convert_query(x, q)) return nullptr;
    if (ls(self)->lines_n <= 0) {
        npy_intp rows = q.view.n;
        if (!q.fast) {
            rows = PyObject_Length(q.array(x));
            if (rows < 0) return nullptr;
        }
        npy_intp dims[2] = {rows, 2};
        return PyArray_ZEROS(2, dims, NPY_DOUBLE, 0);
    }
    PyTypeObject* own = module_class(kMultiLineStringIndex) == Py_TYPE(self)
                            ? Py_TYPE(self)
                            : module_class(kLineStringIndex);
    return segment_repulsion_vector(self, own, x, q, a.get(1, nullptr), cache_slots(self));
}

// The native road's view of either class: its segment cache, picked under
// inv_repulsion (what its own get_dist_matrix() returns).
Outcome linestring_native_view(PyObject* self, NativeView& out) {
    LineStringObject* o = ls(self);
    return segment_cache_view(o->segments, o->lines_n, as_geometry(self)->inv_repulsion, out);
}

// --- LineStringRGJ construction -------------------------------------------------

// super(LineStringRGJ, self).<name>: the next class in the instance's MRO.
Ref parent_method(PyObject* self, const char* name) {
    PyObject* cls = reinterpret_cast<PyObject*>(module_class(kLineStringIndex));
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, self});
    return proxy ? steal(PyObject_GetAttrString(proxy.get(), name)) : Ref();
}

PyObject* linestring_init(PyObject* self, const BoundArgs& a) {
    if (!init_next_in_mro(module_class(kLineStringIndex), self, a)) return nullptr;
    Ref built = call_method(self, "_build_segments");
    return built ? Py_NewRef(Py_None) : nullptr;
}

PyObject* linestring_set_coordinates(PyObject* self, const BoundArgs& a) {
    Ref method = parent_method(self, "set_coordinates");
    Ref r = method ? call(method.get(), {a[0]}) : Ref();
    if (!r) return nullptr;
    Ref built = call_method(self, "_build_segments");
    return built ? Py_NewRef(Py_None) : nullptr;
}

// --- MultiLineStringRGJ -------------------------------------------------------

// bbox: each line string's column minima and maxima, stacked (2k, 2):
//   np.concatenate([np.array([c.min(0), c.max(0)]) for c in self.coordinates])
bool assign_joined_bbox(PyObject* self) {
    Ref coords = field(as_geometry(self)->coordinates);
    std::vector<Ref> items;
    const auto nonempty = [](PyObject* c, PairsView& v) { return row_major_view(c, v) && v.n > 0; };
    if (list_of_pairs(coords.get(), items, nonempty) && !items.empty()) {
        const npy_intp k = static_cast<npy_intp>(items.size());
        Ref box = new_float64({2 * k, 2});
        if (!box) return false;
        double* out = f64_data(box.get());
        bool intact = true;
        for (npy_intp l = 0; l < k && intact; ++l) {
            PairsView c;
            intact = nonempty(items[l].get(), c);
            if (!intact) break;
            Extremes e;
            e.add(c);
            out[4 * l] = e.lo[0];
            out[4 * l + 1] = e.lo[1];
            out[4 * l + 2] = e.hi[0];
            out[4 * l + 3] = e.hi[1];
        }
        if (intact) {
            set_field(as_geometry(self)->bbox, box.release());
            return true;
        }
    }

    Ref blocks = steal(PyList_New(0));
    Ref it = blocks ? steal(PyObject_GetIter(coords.get())) : Ref();
    if (!it) return false;
    Ref zero = py_int(0);
    while (Ref c = steal(PyIter_Next(it.get()))) {
        Ref lo = call_method(c.get(), "min", {zero.get()});
        Ref hi = lo ? call_method(c.get(), "max", {zero.get()}) : Ref();
        Ref pair = hi ? list_of_two(lo.get(), hi.get()) : Ref();
        Ref block = pair ? np_call("array", {pair.get()}) : Ref();
        if (!block || PyList_Append(blocks.get(), block.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    Ref box = np_call("concatenate", {blocks.get()});
    if (!box) return false;
    set_field(as_geometry(self)->bbox, box.release());
    return true;
}

PyObject* multi_init(PyObject* self, const BoundArgs& a) {
    Ref coords = line_string_arrays(a[0]);
    if (!coords) return nullptr;
    set_field(as_geometry(self)->coordinates, coords.release());
    Ref two = py_int(2);
    if (!two || !assign_repulsion_state(self, a.get(1, Py_None), a.get(3, two.get()),
                                        a.get(2, Py_None), PropertiesAt::BeforeGrad)) {
        return nullptr;
    }
    if (!assign_joined_bbox(self)) return nullptr;
    Ref built = call_method(self, "_build_segments");
    return built ? Py_NewRef(Py_None) : nullptr;
}

PyObject* multi_set_coordinates(PyObject* self, const BoundArgs& a) {
    Ref coords = line_string_arrays(a[0]);
    if (!coords) return nullptr;
    set_field(as_geometry(self)->coordinates, coords.release());
    if (!assign_joined_bbox(self)) return nullptr;
    Ref built = call_method(self, "_build_segments");
    return built ? Py_NewRef(Py_None) : nullptr;
}

// Centre of the box around all vertices of all line strings:
//   coords = np.concatenate([c.reshape((-1, 2)) for c in self.coordinates], axis=0)
//   (coords.min(0) + coords.max(0)) / 2.0
PyObject* multi_get_center_point(PyObject* self, const BoundArgs&) {
    Ref coords = field(as_geometry(self)->coordinates);
    std::vector<Ref> items;
    if (list_of_pairs(coords.get(), items, row_major_view)) {
        npy_intp total = 0;
        for (const Ref& item : items)
            total += PyArray_DIM(reinterpret_cast<PyArrayObject*>(item.get()), 0);
        if (total > 0) {
            Extremes e;
            bool intact = true;
            for (const Ref& item : items) {
                PairsView c;
                intact = intact && row_major_view(item.get(), c);
                if (intact) e.add(c);
            }
            if (intact && !e.empty) return box_centre(e).release();
        }
    }

    Ref parts = steal(PyList_New(0));
    Ref it = parts ? steal(PyObject_GetIter(coords.get())) : Ref();
    if (!it) return nullptr;
    Ref shape = steal(Py_BuildValue("(ii)", -1, 2));
    if (!shape) return nullptr;
    while (Ref c = steal(PyIter_Next(it.get()))) {
        Ref rows = call_method(c.get(), "reshape", {shape.get()});
        if (!rows || PyList_Append(parts.get(), rows.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref zero = py_int(0);
    Ref joined = np_call("concatenate", {parts.get()}, {{"axis", zero.get()}});
    Ref lo = joined ? call_method(joined.get(), "min", {zero.get()}) : Ref();
    Ref hi = lo ? call_method(joined.get(), "max", {zero.get()}) : Ref();
    Ref sum = hi ? steal(PyNumber_Add(lo.get(), hi.get())) : Ref();
    Ref half = py_float(2.0);
    return sum && half ? PyNumber_TrueDivide(sum.get(), half.get()) : nullptr;
}

// --- tables -------------------------------------------------------------------

constexpr MethodDef kLineStringInit{
    "__init__",
    SIG("LineStringRGJ", "__init__", {{"coordinates", nullptr}, {"repulsion", "None"}}, true),
    linestring_init};
constexpr MethodDef kLineStringBuild{"_build_segments",
                                     SIG("LineStringRGJ", "_build_segments", {}, false),
                                     linestring_build_segments};
constexpr MethodDef kLineStringSetCoordinates{
    "set_coordinates", SIG("LineStringRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    linestring_set_coordinates};
constexpr MethodDef kLineStringRepulsionVector{
    "repulsion_vector",
    SIG("LineStringRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    linestring_repulsion_vector};

constexpr MethodDef kMultiInit{"__init__",
                               SIG("MultiLineStringRGJ", "__init__",
                                   {{"coordinates", nullptr},
                                    {"repulsion", "None"},
                                    {"properties", "None"},
                                    {"optional_dim", "2"}},
                                   true),
                               multi_init};
constexpr MethodDef kMultiBuild{"_build_segments",
                                SIG("MultiLineStringRGJ", "_build_segments", {}, false),
                                multi_build_segments};
constexpr MethodDef kMultiSetCoordinates{
    "set_coordinates",
    SIG("MultiLineStringRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    multi_set_coordinates};
constexpr MethodDef kMultiGetCenterPoint{"get_center_point",
                                         SIG("MultiLineStringRGJ", "get_center_point", {}, false),
                                         multi_get_center_point};

PyMethodDef kLineStringMethods[] = {method_entry<kLineStringBuild>(),
                                    method_entry<kLineStringSetCoordinates>(),
                                    method_entry<kLineStringRepulsionVector>(),
                                    {nullptr, nullptr, 0, nullptr}};
PyMethodDef kMultiMethods[] = {method_entry<kMultiBuild>(),
                               method_entry<kMultiSetCoordinates>(),
                               method_entry<kMultiGetCenterPoint>(),
                               {nullptr, nullptr, 0, nullptr}};

// Declaration order.
constexpr FieldDef kOwnFields[5] = {
    segment_field(0, offsetof(LineStringObject, segments)),
    segment_field(1, offsetof(LineStringObject, segments)),
    segment_field(2, offsetof(LineStringObject, segments)),
    segment_field(3, offsetof(LineStringObject, segments)),
    lines_n_field(offsetof(LineStringObject, lines_n)),
};

// _p1, _v, _v_dot_v, bbox, coordinates, eye_repulsion, grad_matrix,
// inv_repulsion, lines_n, points_in_line_pair, properties, repulsion
constexpr PickleDef kPickle{{&kOwnFields[1], &kOwnFields[2], &kOwnFields[3], &kBaseFields[6],
                             &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2],
                             &kOwnFields[4], &kOwnFields[0], &kBaseFields[5], &kBaseFields[1]},
                            {0x6c1788e, 0xea76c65, 0x175d8fd}};

ClassDef kClasses[] = {
    {.name = "LineStringRGJ",
     .rgj_type = "LineString",
     .base = BaseRef::MultiRGJGeometry,
     .basicsize = sizeof(LineStringObject),
     .slots = instance_slots<kBaseObjectFields, kBaseObjectFields + kOwnObjectFields>(),
     .own_fields = kOwnFields,
     .init = &init_trampoline<kLineStringInit>,
     .methods = kLineStringMethods,
     .pickle = &kPickle,
     .native_view = &linestring_native_view},
    {.name = "MultiLineStringRGJ",
     .rgj_type = "MultiLineString",
     .base = BaseRef::Local,
     .local_base = kLineStringIndex,
     .init = &init_trampoline<kMultiInit>,
     .methods = kMultiMethods,
     .pickle = &kPickle,
     .native_view = &linestring_native_view},
};

const ModuleDef kModuleDef{.short_name = "linestring",
                           .full_name = kModule,
                           .doc = "LineStringRGJ / MultiLineStringRGJ.",
                           .base_types = {"MultiRGJGeometry", "RGJGeometry"},
                           .import_kernels = true,
                           .builtins = {"super", "sum", nullptr},
                           .classes = kClasses};

}  // namespace
}  // namespace zelk

PyMODINIT_FUNC PyInit_linestring() {
    return zelk::module_init(zelk::kModuleDef);
}
