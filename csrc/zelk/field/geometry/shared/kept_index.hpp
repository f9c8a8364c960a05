// An index an instance keeps between queries, in a slot that is no Python
// attribute and is never pickled or copied. Fields are writable and arrays
// can be changed in place, so a kept index stands in for the arrays it was
// built from only while they are the same objects still holding its bytes;
// otherwise a new one is built and replaces it.
#pragma once

#include "zelk/field/geometry/shared/layout.hpp"
#include "zelk/field/geometry/shared/ref.hpp"

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

}  // namespace zelk
