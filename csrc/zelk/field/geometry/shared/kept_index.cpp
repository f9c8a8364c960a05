#include "zelk/field/geometry/shared/kept_index.hpp"

namespace zelk {

namespace {

constexpr const char kSegmentCapsule[] = "zelk.field.segment_index";
constexpr const char kRingCapsule[] = "zelk.field.ring_index";
constexpr const char kPointCapsule[] = "zelk.field.point_index";

}  // namespace

Ref kept_segment_index(PyObject** slot, std::vector<Ref> sources, const PairsView& p1,
                       const PairsView& v, const core::ValuesView& v_dot_v) {
    return kept_index<core::SegmentIndex>(
        slot, kSegmentCapsule, std::move(sources),
        [&](const core::SegmentIndex& index) { return index.same_source(p1, v, v_dot_v); },
        [&] { return core::SegmentIndex(p1, v, v_dot_v); });
}

Ref kept_ring_index(PyObject** slot, std::vector<Ref> sources, std::ptrdiff_t rows,
                    const PairsView& outer, const std::vector<PairsView>& holes) {
    if (rows < kRingReuseMinRows) return Ref();
    std::ptrdiff_t vertices = outer.n;
    if (outer.broadcast()) return Ref();
    for (const PairsView& h : holes) {
        if (h.broadcast()) return Ref();
        vertices += h.n;
    }
    if (vertices < kRingIndexMinVertices) return Ref();
    const auto same = [&](const core::RingIndex& index) {
        return index.same_source(outer, holes.data(), holes.size());
    };
    if (rows <= core::kRingEdgeByEdgeMax) {
        return current_kept_index<core::RingIndex>(slot, kRingCapsule, sources, same);
    }
    // The first build does only what this batch repays; once the batches
    // together would have repaid the crossing tree, it is built.
    bool grow = false;
    return kept_index<core::RingIndex>(
        slot, kRingCapsule, std::move(sources),
        [&](const core::RingIndex& index) {
            if (!same(index)) return false;
            grow = index.tree_would_pay(rows);
            return !grow;
        },
        [&] { return core::RingIndex(outer, holes.data(), holes.size(), grow ? -1 : rows); });
}

Ref kept_point_index(PyObject** slot, Ref source, const PairsView& pts) {
    return kept_index<core::PointIndex>(
        slot, kPointCapsule, {std::move(source)},
        [&](const core::PointIndex& index) { return index.same_source(pts); },
        [&] { return core::PointIndex(pts); });
}

}  // namespace zelk
