// Splitting a loop over independent rows across threads.
//
// The rows are cut into `pieces` contiguous ranges, handed out in order to
// the calling thread and up to threads - 1 workers, each taking the next
// range when it finishes one. Each row is computed exactly as a single
// thread computes it, so the results do not depend on the split.
//
// Every worker is joined before parallel_for returns, on every path. The
// first exception a range throws stops the hand-out of further ranges and is
// rethrown on the calling thread once all workers are joined. A worker that
// the system refuses to start leaves its share to the others.
//
// The calling thread may also ask should_stop() before each range it takes:
// once it answers true, no further range is handed out, every worker is
// joined and parallel_for returns false, the rows of the ranges never taken
// left unwritten. The core knows nothing of what the answer stands for (a
// signal the binding layer checks).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zelk::core {

// body(begin, end) for consecutive ranges covering [0, n); true when every
// range ran, false when should_stop() (asked on the calling thread only,
// before each of its ranges) stopped the hand-out. With threads <= 1 or a
// single piece, body runs once on the calling thread, should_stop() is not
// asked and no thread is started.
template <class Body, class Stop>
bool parallel_for(std::ptrdiff_t n, int threads, std::ptrdiff_t pieces, Body&& body,
                  Stop&& should_stop) {
    if (n <= 0) return true;
    pieces = std::clamp<std::ptrdiff_t>(pieces, 1, n);
    if (threads <= 1 || pieces == 1) {
        body(std::ptrdiff_t(0), n);
        return true;
    }
    const std::ptrdiff_t base = n / pieces, extra = n % pieces;
    const auto start = [=](std::ptrdiff_t k) { return k * base + std::min(k, extra); };

    std::atomic<std::ptrdiff_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_lock;
    std::exception_ptr failure;
    std::atomic<bool> stopped{false};
    const auto work = [&](bool caller) noexcept {
        while (!stop.load(std::memory_order_relaxed)) {
            if (caller) {
                bool asked = true;
                try {
                    asked = should_stop();
                } catch (...) {
                    const std::lock_guard<std::mutex> hold(failure_lock);
                    if (!failure) failure = std::current_exception();
                }
                if (asked) {
                    stopped.store(true, std::memory_order_relaxed);
                    stop.store(true, std::memory_order_relaxed);
                    return;
                }
            }
            const std::ptrdiff_t k = next.fetch_add(1, std::memory_order_relaxed);
            if (k >= pieces) return;
            try {
                body(start(k), start(k + 1));
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failure_lock);
                if (!failure) failure = std::current_exception();
                stop.store(true, std::memory_order_relaxed);
            }
        }
    };

    std::vector<std::thread> workers;
    // Joins on every way out of this scope, an exception included.
    struct JoinAll {
        std::vector<std::thread>& w;
        ~JoinAll() {
            for (std::thread& t : w) {
                if (t.joinable()) t.join();
            }
        }
    } join_all{workers};
    const int wanted = static_cast<int>(std::min<std::ptrdiff_t>(threads, pieces)) - 1;
    workers.reserve(static_cast<std::size_t>(wanted));
    for (int i = 0; i < wanted; ++i) {
        try {
            workers.emplace_back(work, false);
        } catch (...) {
            break;  // too many threads: the ones running share the rest
        }
    }
    work(true);
    for (std::thread& t : workers) t.join();
    if (failure) std::rethrow_exception(failure);
    return !stopped.load(std::memory_order_relaxed);
}

// The same with no way to stop it.
template <class Body>
void parallel_for(std::ptrdiff_t n, int threads, std::ptrdiff_t pieces, Body&& body) {
    parallel_for(n, threads, pieces, body, [] { return false; });
}

}  // namespace zelk::core
