// The process-wide thread setting and the core loops that run on it.
//
// The setting lives in the package module: zelk.field.set_num_threads(n) and
// get_num_threads(), first read from ZELK_FIELD_NUM_THREADS at import. Each
// compiled module reads it from zelk.field's namespace only when a batch is
// large enough to split, so a small batch costs nothing extra.
//
// Large batches run on worker threads with the interpreter lock released.
// While it is released the core reads only memory that no Python code can
// free, resize or change: copies of the caller's arrays taken beforehand and
// arrays the call created itself. With one thread nothing is copied, the
// lock is kept and everything runs on the caller's thread. The results are
// the same bits in every case: rows are computed independently.
//
// These run inside a method body: a C++ exception (std::bad_alloc from a
// copy) is thrown with the lock held again, for the body's guard to turn
// into a Python exception.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

#include "core/parallel.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"

#include <algorithm>
#include <cstddef>
#include <exception>

namespace zelk {

// zelk.field's setting as it is now: 1 when it cannot be read.
int configured_threads();

// How many threads a batch of `rows` rows should run on, given `work`, its
// cost counted in 2x2 forms (rows x candidates for a brute-force scan): 1
// for small batches (then the setting is not even read), else the setting,
// at most one thread per kMinRowsPerThread rows.
constexpr std::ptrdiff_t kMinRowsPerThread = 256;
constexpr double kMinSplitWork = double(1 << 18);
int threads_for(std::ptrdiff_t rows, double work);

// body(begin, end) over consecutive ranges of [0, rows) on `threads`
// threads (core::parallel_for, several ranges per thread, so that a thread
// the system holds back leaves its later ranges to the others), with the interpreter
// lock released when threads > 1; with one thread it simply calls
// body(0, rows). The body must read only memory this call owns (copies
// taken beforehand, arrays it created) and must not touch Python objects.
// What it throws comes back once the lock is held again.
template <class Body>
void run_split(std::ptrdiff_t rows, int threads, Body&& body);

// core::points_in_rings; `inside` must be memory this call created.
// `index`, when given, is one built from these very rings: it answers
// instead, and a split batch needs no copy of the rings.
void points_in_rings_threaded(const PairsView& points, const PairsView& outer,
                              const PairsView* holes, std::size_t n_holes, bool* inside,
                              const core::RingIndex* index = nullptr);

template <class Body>
void run_split(std::ptrdiff_t rows, int threads, Body&& body) {
    if (threads <= 1) {
        if (rows > 0) body(std::ptrdiff_t(0), rows);
        return;
    }
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS;
    try {
        const std::ptrdiff_t pieces =
            std::min<std::ptrdiff_t>(std::ptrdiff_t(threads) * 8, rows / kMinRowsPerThread);
        core::parallel_for(rows, threads, pieces, body);
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zelk
