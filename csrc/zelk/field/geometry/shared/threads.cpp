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
    // Kept for the process.
    static PyObject* module_name = PyUnicode_InternFromString("zelk.field");
    static PyObject* key = PyUnicode_InternFromString("_num_threads");
    static PyObject* context_key = PyUnicode_InternFromString("_thread_context");
    if (module_name == nullptr || key == nullptr || context_key == nullptr) {
        PyErr_Clear();
        return 1;
    }
    // Plain dictionary and context reads: no code of the caller's runs.
    Ref module = steal(PyImport_GetModule(module_name));
    PyObject* dict =
        module && PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
    Ref value;
    PyObject* var = dict ? PyDict_GetItemWithError(dict, context_key) : nullptr;
    if (var != nullptr && PyContextVar_CheckExact(var)) {
        PyObject* got = nullptr;
        if (PyContextVar_Get(var, nullptr, &got) == 0) value = steal(got);
    }
    if ((!value || value.get() == Py_None) && dict && !PyErr_Occurred()) {
        value = borrow(PyDict_GetItemWithError(dict, key));
    }
    long n = 1;
    if (value && PyLong_CheckExact(value.get())) n = PyLong_AsLong(value.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        n = 1;
    }
    return static_cast<int>(std::clamp<long>(n, 1, kMaxThreads));
}

// The exception a signal handler raised, restored when the last copy of the
// SignalRaised carrying it goes; that happens under the lock, in the guard.
struct SignalRaised::Held {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc;
    Held() : exc(PyErr_GetRaisedException()) {}
    ~Held() { PyErr_SetRaisedException(exc); }
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    Held() { PyErr_Fetch(&type, &value, &traceback); }
    ~Held() { PyErr_Restore(type, value, traceback); }
#endif
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

SignalRaised::SignalRaised() : held_(std::make_shared<Held>()) {}

void SignalWatch::release() noexcept {
    next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSignalCheckMs);
    saved_ = PyEval_SaveThread();
}

void SignalWatch::reacquire() noexcept {
    PyEval_RestoreThread(saved_);
}

bool SignalWatch::raised() noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (raised_ || now < next_) return raised_;
    PyEval_RestoreThread(saved_);
    // Only the main thread runs handlers; elsewhere this returns 0 at once.
    raised_ = PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSignalCheckMs);
    return raised_;
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
