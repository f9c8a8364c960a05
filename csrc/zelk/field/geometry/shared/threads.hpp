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

#include <cstddef>

namespace zelk {

// zelk.field's setting as it is now: 1 when it cannot be read.
int configured_threads();

// core::nearest_segment_offsets. `points_owned` says that `points` lies in
// memory this call created (so it needs no copy before the lock is
// released); `out` must be such memory. Views are read now, under the lock.
void nearest_segments_threaded(const PairsView& points, bool points_owned, const PairsView& p1,
                               const PairsView& v, const core::ValuesView& v_dot_v,
                               const core::Metric2& metric, double* out);

// core::points_in_rings; `inside` must be memory this call created.
void points_in_rings_threaded(const PairsView& points, const PairsView& outer,
                              const PairsView* holes, std::size_t n_holes, bool* inside);

}  // namespace zelk
