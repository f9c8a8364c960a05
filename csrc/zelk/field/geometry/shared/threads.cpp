#include "zelk/field/geometry/shared/threads.hpp"

#include "core/rings.hpp"
#include "core/segments.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace zelk {

namespace {

// Below this many rows a ring test stays on the caller's thread (a strip
// lookup costs far less than a segment scan).
constexpr std::ptrdiff_t kMinRingRows = 1 << 14;
constexpr int kMaxThreads = 256;

}  // namespace

int threads_for(std::ptrdiff_t rows, double work) {
    const std::ptrdiff_t most = rows / kMinRowsPerThread;
    if (most < 2 || work < kMinSplitWork) return 1;
    return static_cast<int>(std::min<std::ptrdiff_t>(configured_threads(), most));
}

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

void points_in_rings_threaded(const PairsView& points, const PairsView& outer,
                              const PairsView* holes, std::size_t n_holes, bool* inside,
                              const core::RingIndex* index) {
    int threads = 1;
    if (points.n >= kMinRingRows) {
        // A ring broadcast along its rows claims vertices that are not in
        // memory: it is tested in place rather than copied.
        bool in_memory = outer.row_stride_bytes != 0 || outer.n <= 1;
        for (std::size_t h = 0; h < n_holes; ++h) {
            in_memory &= holes[h].row_stride_bytes != 0 || holes[h].n <= 1;
        }
        if (in_memory || index != nullptr) threads = threads_for(points.n, kMinSplitWork);
    }
    if (threads <= 1) {
        if (index != nullptr) {
            index->contains(points, 0, points.n, inside);
        } else {
            core::points_in_rings(points, outer, holes, n_holes, inside);
        }
        return;
    }
    // The index holds its own copy of the rings, which is all the threads
    // read of them.
    std::optional<core::RingIndex> built;
    if (index == nullptr) index = &built.emplace(outer, holes, n_holes);
    const std::vector<double> pts_copy = core::own_rows(points);
    const PairsView pts = PairsView::contiguous(pts_copy.data(), points.n);
    run_split(pts.n, threads, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        index->contains(pts, begin, end, inside);
    });
}

}  // namespace zelk
