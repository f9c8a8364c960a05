// The native road of the repulsion query, one per kind of geometry, over
// views: the class's own method and the collection call the same functions.
//
// A geometry of the package hands the road a NativeView of itself through
// its class table's native_view entry (its side of the contract): its arrays
// as validated views, the metric it picks its part with, and the slots where
// it keeps its indexes. Nothing else reads a geometry's instance layout.
#pragma once

#include "zelk/field/geometry/shared/module.hpp"
#include "zelk/field/geometry/shared/np.hpp"
#include "zelk/field/geometry/shared/outcome.hpp"

#include "core/point_index.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"

#include <vector>

namespace zelk {

enum class NativeKind {
    Zero,        // no part: every vector is zero (a line string or polygon without segments)
    Point,       // query minus the point
    MultiPoint,  // the nearest point minus the query
    Segments,    // query minus the nearest point of the nearest segment
    Polygon,     // zero inside the rings, else as Segments
};

// Where a geometry keeps its indexes between calls: slots that are no
// attributes, nullptr where it keeps none.
struct KeptSlots {
    PyObject** segments = nullptr;
    PyObject** rings = nullptr;
    PyObject** points = nullptr;
};

struct NativeView {
    NativeKind kind = NativeKind::Zero;
    PyObject* geometry = nullptr;  // set by native_view(), held in `held`
    double px = 0.0, py = 0.0;     // Point
    PairsView pts{};               // MultiPoint
    PairsView p1{}, v{};           // Segments, Polygon
    core::ValuesView vdv{};        // Segments, Polygon
    PairsView outer{};             // Polygon
    std::vector<PairsView> holes;  // Polygon
    core::Metric2 select{};        // MultiPoint, Segments, Polygon
    // Every object viewed, kept alive for the call (the collection's kept
    // plan compares them), and the arrays behind the views an index stands
    // in for.
    std::vector<Ref> held;
    // Where in `held` the segment cache (_p1, _v, _v_dot_v) and the rings
    // (outer first) stand; the point set's array.
    std::size_t segments_at = 0, rings_at = 0;
    Ref point_source;
    KeptSlots slots;
    // The indexes this call answers through, held while it runs.
    Ref kept_segments, kept_rings, kept_points;
    const core::SegmentIndex* segment_index = nullptr;
    const core::RingIndex* ring_index = nullptr;
    const core::PointIndex* point_index = nullptr;
    // Copies the views read instead of the arrays (see own_copies).
    std::vector<std::vector<double>> owned;

    // Reads the segment cache arrays _p1, _v and _v_dot_v as views; false
    // unless they are plain float64 (S, 2), (S, 2), (S,) arrays with one S >= 1
    // in memory (not broadcast).
    bool segment_cache(PyObject* p1, PyObject* v, PyObject* v_dot_v);
    // Reads a list of rings (outer ring first, then the holes), each a plain
    // float64 (k, 2) array in memory; false otherwise.
    bool rings(PyObject* list);
    // Reads the points of a point set, a plain float64 (m, 2) array of m >= 1
    // rows in memory; false otherwise.
    bool points(PyObject* a);
    // Reads a plain (2, 2) float64 metric; false otherwise.
    bool metric(PyObject* m);
    // Remember the memory and shape of every array viewed from now on, for
    // intact(); without it intact() checks nothing.
    void track_arrays() { track_ = true; }
    // Whether every array viewed still has the memory and shape it had when
    // it was viewed: code that ran since (a finalizer during an allocation)
    // may have resized one in place.
    bool intact() const;

  private:
    struct Seen {
        PyObject* array;
        void* data;
        int ndim;
        npy_intp dims[2], strides[2];
    };
    std::vector<Seen> seen_;
    bool track_ = false;
    void saw(PyObject* a);
};

// The view of `o` for a caller outside its class (the collection): when o is
// exactly one of the package's geometry classes whose queries run natively
// (its repulsion_vector, squared_dist and get_dist_matrix its class's own,
// its module's np NumPy and its kernels the package's). Declined otherwise.
Outcome native_view(PyObject* o, NativeView& out);

// The indexes kept on the geometry that a batch of `rows` points repays,
// built and kept when missing or stale. False with an exception set.
// Throws std::bad_alloc.
bool take_indexes(NativeView& v, std::ptrdiff_t rows);

// Points every view that no index stands in for at a copy of the call's own:
// the view may then be read with the interpreter lock released, when no
// array of the caller's may be. An index holds its own copies already.
// Throws std::bad_alloc.
void own_copies(NativeView& v);

// own_copies() of the rings alone (for native_inside()).
void own_ring_copies(NativeView& v);

// What one thread needs between calls of native_offsets.
struct NativeScratch {
    std::vector<double> xy;
    std::vector<unsigned char> flags;
};

// The repulsion vectors of the geometry for the rows of `pts`, to out
// (C-contiguous (pts.n, 2)): what its repulsion_vector(x) gives for them.
// Reads only the views and indexes; runs no Python code. Throws
// std::bad_alloc only.
void native_offsets(const NativeView& v, const PairsView& pts, double* out, NativeScratch& s);

// For a Polygon view: inside[i] = whether row i of pts lies inside its rings,
// as its repulsion_vector's inside test decides. Runs no Python code.
void native_inside(const NativeView& v, const PairsView& pts, bool* inside);

// native_offsets for a whole batch, split across threads with the
// interpreter lock released when the batch is large (after own_copies, and a
// copy of `pts` unless `pts_owned`: memory this call created). `out` must be
// memory this call created. Throws std::bad_alloc only.
void native_offsets_split(NativeView& v, const PairsView& pts, bool pts_owned, double* out);

// The field value and gradient from a pick's results, as eval and the
// collection's gradient compute them: value = np.exp(-squared) with NumPy's
// exponential; when `gradient` is given (C-contiguous (n, 2)), row l is
// -value[l] * (G r_l) with r the (n, 2) vectors and G = grads[nearest[l]]
// (grads[0] for every row when nearest is null). Empty with an exception set.
Ref value_and_gradient(PyObject* squared, const double* vectors, const core::Metric2* grads,
                       const npy_intp* nearest, double* gradient);

}  // namespace zelk
