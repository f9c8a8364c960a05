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
//
// A split call stays interruptible: between its ranges the calling thread
// takes the lock back every kSignalCheckMs to run pending signal handlers
// (PyErr_CheckSignals). When one raises (KeyboardInterrupt on Ctrl-C), no
// further range is handed out, every worker is joined, and the exception
// comes out of the method. Ranges are at most kMaxRowsPerPiece rows, so none
// keeps a thread busy for long.
#pragma once

#include "zelk/field/geometry/shared/np.hpp"

#include "core/parallel.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>

namespace zelk {

// zelk.field's setting as it applies here: the count of the innermost
// zelk.field.num_threads block in the current context, else the process-wide
// one (set_num_threads); 1 when it cannot be read.
int configured_threads();

// How many threads a batch of `rows` rows should run on, given `work`, its
// cost counted in 2x2 forms (rows x candidates for a brute-force scan): 1
// for small batches (then the setting is not even read), else the setting,
// at most one thread per kMinRowsPerThread rows.
constexpr std::ptrdiff_t kMinRowsPerThread = 256;
constexpr double kMinSplitWork = double(1 << 18);
constexpr std::ptrdiff_t kMaxRowsPerPiece = 1 << 14;
constexpr int kSignalCheckMs = 50;
int threads_for(std::ptrdiff_t rows, double work);

// Thrown with the lock held once a signal handler raised during a split
// call: it takes that Python exception and puts it back when its last copy
// is destroyed, which is when the method body's guard has handled the throw
// (after the guard set its own error for an unknown C++ exception), so the
// method fails with the handler's exception itself.
class SignalRaised {
  public:
    SignalRaised();

  private:
    struct Held;
    std::shared_ptr<Held> held_;
};

// The calling thread's part in a split call: gives up the lock, and between
// ranges takes it back at most every kSignalCheckMs to check for signals.
class SignalWatch {
  public:
    void release() noexcept;
    void reacquire() noexcept;
    // Runs pending signal handlers when a check is due; true once one raised.
    bool raised() noexcept;
    bool has_raised() const noexcept { return raised_; }

  private:
    PyThreadState* saved_ = nullptr;
    std::chrono::steady_clock::time_point next_{};
    bool raised_ = false;
};

// body(begin, end) over consecutive ranges of [0, rows) on `threads`
// threads (core::parallel_for, several ranges per thread, so that a thread
// the system holds back leaves its later ranges to the others), with the interpreter
// lock released when threads > 1; with one thread it simply calls
// body(0, rows). The body must read only memory this call owns (copies
// taken beforehand, arrays it created) and must not touch Python objects.
// What it throws comes back once the lock is held again; a signal handler's
// exception comes back as SignalRaised, some rows then left unwritten.
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
    // Several ranges per thread, none longer than kMaxRowsPerPiece rows.
    const std::ptrdiff_t pieces = std::min<std::ptrdiff_t>(
        std::max<std::ptrdiff_t>(std::ptrdiff_t(threads) * 8,
                                 (rows + kMaxRowsPerPiece - 1) / kMaxRowsPerPiece),
        rows / kMinRowsPerThread);
    std::exception_ptr failure;
    SignalWatch watch;
    watch.release();
    try {
        core::parallel_for(rows, threads, pieces, body, [&watch] { return watch.raised(); });
    } catch (...) {
        failure = std::current_exception();
    }
    watch.reacquire();
    if (watch.has_raised()) throw SignalRaised();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zelk
