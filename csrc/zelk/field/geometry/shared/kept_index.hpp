// An index an instance keeps between queries, in a slot that is no Python
// attribute and is never pickled or copied. Fields are writable and arrays
// can be changed in place, so a kept index stands in for the arrays it was
// built from only while they are the same objects still holding its bytes;
// otherwise a new one is built and replaces it.
#pragma once

#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/np.hpp"
#include "zelk/field/geometry/shared/ref.hpp"

#include "core/point_index.hpp"
#include "core/rings.hpp"
#include "core/segment_index.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace zelk {

// What the slot holds: the index and the objects it stands for.
template <class Index>
struct KeptIndex {
    Index index;
    std::vector<Ref> sources;
};

template <class Index>
void free_kept_index(PyObject* capsule) {
    delete static_cast<KeptIndex<Index>*>(
        PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

// The capsule kept in `slot` (named `name`, a string literal) when its
// sources are exactly `sources` and same(index) confirms their bytes, else
// an empty Ref. The caller holds the capsule while the index is in use.
template <class Index, class Same>
Ref current_kept_index(PyObject** slot, const char* name, const std::vector<Ref>& sources,
                       Same&& same) {
    Ref kept = field_value(*slot);
    if (PyCapsule_IsValid(kept.get(), name)) {
        const auto* k =
            static_cast<const KeptIndex<Index>*>(PyCapsule_GetPointer(kept.get(), name));
        bool same_objects = k->sources.size() == sources.size();
        for (std::size_t i = 0; same_objects && i < sources.size(); ++i)
            same_objects = k->sources[i].get() == sources[i].get();
        if (same_objects && same(k->index)) return kept;
    }
    return Ref();
}

// current_kept_index(), else build() kept in `slot` with its sources. Empty
// with an exception set when the capsule cannot be made. Throws what build()
// throws (std::bad_alloc).
template <class Index, class Same, class Build>
Ref kept_index(PyObject** slot, const char* name, std::vector<Ref> sources, Same&& same,
               Build&& build) {
    if (Ref kept = current_kept_index<Index>(slot, name, sources, same)) return kept;
    auto fresh =
        std::unique_ptr<KeptIndex<Index>>(new KeptIndex<Index>{build(), std::move(sources)});
    Ref capsule = steal(PyCapsule_New(fresh.get(), name, free_kept_index<Index>));
    if (!capsule) return capsule;
    fresh.release();
    set_field(*slot, Ref(capsule).release());
    return capsule;
}

// The index in a capsule kept_index() returned.
template <class Index>
const Index& kept_index_of(PyObject* capsule) {
    return static_cast<const KeptIndex<Index>*>(
               PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)))
        ->index;
}

// --- the indexes the geometries keep ------------------------------------------
//
// When a batch builds or reuses an index, in one place. Checking a kept index
// compares its copy with the arrays byte for byte, about the cost of testing
// a few points against every part, so small batches scan.
//
// Segment index (line strings, polygon edges): from kSegmentIndexMinRows
// query points and kSegmentIndexMinSegments segments. Below 64 segments the
// scan of 8-segment leaves wins whatever the batch; a batch of 16 points
// against 64 segments costs about the same either way.
constexpr std::ptrdiff_t kSegmentIndexMinRows = 16;
constexpr std::ptrdiff_t kSegmentIndexMinSegments = 64;
// Ring index (the inside test): rings of kRingIndexMinVertices vertices in
// all; a batch of kRingReuseMinRows points reuses a kept one, a batch above
// core::kRingEdgeByEdgeMax builds one (the crossing tree only once batches
// together would have repaid it).
constexpr std::ptrdiff_t kRingIndexMinVertices = 64;
constexpr std::ptrdiff_t kRingReuseMinRows = 4;
// Point index (k-d tree over a point set): core::point_index_pays.

// The segment index kept in `slot` for the cache arrays `sources` (_p1, _v,
// _v_dot_v) viewed as p1, v and v_dot_v, built and kept when missing or
// stale. Empty with an exception set when the capsule cannot be made.
// Throws std::bad_alloc.
Ref kept_segment_index(PyObject** slot, std::vector<Ref> sources, const PairsView& p1,
                       const PairsView& v, const core::ValuesView& v_dot_v);

// The ring index kept in `slot` for `sources` (the outer ring's array and
// each hole's) viewed as outer and holes, for a batch of `rows` points:
// empty without an exception when the batch or the rings are too small to
// repay one, or a ring is broadcast along its rows (its vertices are not in
// memory to copy). Throws std::bad_alloc.
Ref kept_ring_index(PyObject** slot, std::vector<Ref> sources, std::ptrdiff_t rows,
                    const PairsView& outer, const std::vector<PairsView>& holes);

// The point index kept in `slot` for the points array `source` viewed as
// pts, built and kept when missing or stale. Throws std::bad_alloc.
Ref kept_point_index(PyObject** slot, Ref source, const PairsView& pts);

}  // namespace zelk
