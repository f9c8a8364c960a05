#include "zelk/field/geometry/shared/threads.hpp"

#include "core/parallel.hpp"
#include "core/rings.hpp"
#include "core/segments.hpp"

#include <algorithm>
#include <exception>
#include <vector>

namespace zelk {

namespace {

// Below these a batch stays on the caller's thread: starting a thread costs
// about as much as tens of thousands of segment forms.
constexpr std::ptrdiff_t kMinRowsPerThread = 256;
constexpr double kMinSegmentWork = double(1 << 18);  // rows x segments
constexpr std::ptrdiff_t kMinRingRows = 1 << 14;
constexpr int kMaxThreads = 256;

// How many threads a batch of `rows` rows gets: at most the setting, and
// at least kMinRowsPerThread rows each.
int threads_for(std::ptrdiff_t rows) {
    const std::ptrdiff_t most = rows / kMinRowsPerThread;
    if (most < 2) return 1;
    return static_cast<int>(std::min<std::ptrdiff_t>(configured_threads(), most));
}

// Rows copied into call-owned contiguous storage.
std::vector<double> own_copy(const PairsView& v) {
    std::vector<double> c(core::scratch_size(v.n, 2));
    for (std::ptrdiff_t i = 0; i < v.n; ++i) {
        c[2 * i] = v.x(i);
        c[2 * i + 1] = v.y(i);
    }
    return c;
}

// f() with the interpreter lock released; what it throws comes back once
// the lock is held again.
template <class F>
void without_lock(F&& f) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS;
    try {
        f();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

int configured_threads() {
    static PyObject* module_name =
        PyUnicode_InternFromString("zelk.field");                       // kept for the process
    static PyObject* key = PyUnicode_InternFromString("_num_threads");  // kept for the process
    if (module_name == nullptr || key == nullptr) {
        PyErr_Clear();
        return 1;
    }
    // A plain dictionary read: no code of the caller's runs.
    Ref module = steal(PyImport_GetModule(module_name));
    PyObject* value = module && PyModule_Check(module.get())
                          ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), key)
                          : nullptr;
    long n = 1;
    if (value != nullptr && PyLong_CheckExact(value)) n = PyLong_AsLong(value);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        n = 1;
    }
    return static_cast<int>(std::clamp<long>(n, 1, kMaxThreads));
}

void nearest_segments_threaded(const PairsView& points, bool points_owned, const PairsView& p1,
                               const PairsView& v, const core::ValuesView& v_dot_v,
                               const core::Metric2& metric, double* out) {
    const double work = double(points.n) * double(p1.n);
    const int threads = work >= kMinSegmentWork ? threads_for(points.n) : 1;
    if (threads <= 1) {
        core::nearest_segment_offsets(points, p1, v, v_dot_v, metric, out);
        return;
    }
    const std::ptrdiff_t s = p1.n;
    std::vector<double> segments(core::scratch_size(s, 5));
    double* sp = segments.data();
    double* sv = sp + 2 * s;
    double* sd = sv + 2 * s;
    for (std::ptrdiff_t i = 0; i < s; ++i) {
        sp[2 * i] = p1.x(i);
        sp[2 * i + 1] = p1.y(i);
        sv[2 * i] = v.x(i);
        sv[2 * i + 1] = v.y(i);
        sd[i] = v_dot_v[i];
    }
    std::vector<double> copied;
    if (!points_owned) copied = own_copy(points);
    const PairsView pts = points_owned ? points : PairsView::contiguous(copied.data(), points.n);
    const PairsView cp1 = PairsView::contiguous(sp, s), cv = PairsView::contiguous(sv, s);
    const core::ValuesView cd = core::ValuesView::contiguous(sd, s);
    without_lock([&] {
        core::parallel_for(pts.n, threads, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            const PairsView part{pts.data + begin * pts.row_stride_bytes, end - begin,
                                 pts.row_stride_bytes, pts.col_stride_bytes};
            core::nearest_segment_offsets(part, cp1, cv, cd, metric, out + 2 * begin);
        });
    });
}

void points_in_rings_threaded(const PairsView& points, const PairsView& outer,
                              const PairsView* holes, std::size_t n_holes, bool* inside) {
    const int threads = points.n >= kMinRingRows ? threads_for(points.n) : 1;
    if (threads <= 1) {
        core::points_in_rings(points, outer, holes, n_holes, inside);
        return;
    }
    const std::vector<double> pts_copy = own_copy(points), outer_copy = own_copy(outer);
    std::vector<std::vector<double>> hole_copies;
    std::vector<PairsView> hole_views;
    hole_copies.reserve(n_holes);
    hole_views.reserve(n_holes);
    for (std::size_t h = 0; h < n_holes; ++h) {
        hole_copies.push_back(own_copy(holes[h]));
        hole_views.push_back(PairsView::contiguous(hole_copies.back().data(), holes[h].n));
    }
    const PairsView pts = PairsView::contiguous(pts_copy.data(), points.n);
    const PairsView ring = PairsView::contiguous(outer_copy.data(), outer.n);
    without_lock([&] {
        core::parallel_for(pts.n, threads, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            const PairsView part = PairsView::contiguous(pts_copy.data() + 2 * begin, end - begin);
            core::points_in_rings(part, ring, hole_views.data(), hole_views.size(), inside + begin);
        });
    });
}

}  // namespace zelk
