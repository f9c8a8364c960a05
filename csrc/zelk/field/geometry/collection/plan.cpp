#include "zelk/field/geometry/collection/plan.hpp"

#include "zelk/field/geometry/shared/kept_index.hpp"

#include "core/extremes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelk::collection {

namespace {

// The box and coordinate scale of everything a member can offer.
struct Extent {
    core::Extremes box;
    double scale = 0.0;
    bool finite = true;

    void cover(double x, double y) {
        box.add(x, y);
        finite = finite && std::isfinite(x) && std::isfinite(y);
        scale = std::max(scale, std::max(std::fabs(x), std::fabs(y)));
    }
    void cover(const PairsView& rows) {
        for (std::ptrdiff_t i = 0; i < rows.n; ++i) cover(rows.x(i), rows.y(i));
    }
};

Extent extent_of(const NativeView& mb) {
    Extent e;
    if (mb.kind == NativeKind::Point) e.cover(mb.px, mb.py);
    e.cover(mb.pts);
    e.cover(mb.outer);
    for (const PairsView& h : mb.holes) e.cover(h);
    // The candidate points lie between p1 and p1 + v (as computed); the
    // vectors enter the rounding of the candidates too.
    for (std::ptrdiff_t i = 0; i < mb.p1.n; ++i) {
        const double x0 = mb.p1.x(i), y0 = mb.p1.y(i), vx = mb.v.x(i), vy = mb.v.y(i);
        e.cover(x0, y0);
        e.cover(x0 + vx, y0 + vy);
        e.scale = std::max(e.scale, std::max(std::fabs(vx), std::fabs(vy)));
    }
    return e;
}

// Consecutive segments (or points) taken together under one box.
constexpr std::ptrdiff_t kRun = 16;

void set_box(const core::Extremes& e, core::ShapeBox& b) {
    b.lo[0] = e.lo[0], b.lo[1] = e.lo[1], b.hi[0] = e.hi[0], b.hi[1] = e.hi[1];
}

// The box of rows [first, first + count) of a segment cache: the candidate
// points lie between p1 and p1 + v as computed.
void segment_run_box(const NativeView& mb, std::ptrdiff_t first, std::ptrdiff_t count,
                     core::ShapeBox& b) {
    core::Extremes e;
    for (std::ptrdiff_t i = first; i < first + count; ++i) {
        const double x0 = mb.p1.x(i), y0 = mb.p1.y(i);
        e.add(x0, y0);
        e.add(x0 + mb.v.x(i), y0 + mb.v.y(i));
    }
    set_box(e, b);
}

void point_run_box(const PairsView& pts, std::ptrdiff_t first, std::ptrdiff_t count,
                   core::ShapeBox& b) {
    core::Extremes e;
    for (std::ptrdiff_t i = first; i < first + count; ++i) e.add(pts.x(i), pts.y(i));
    set_box(e, b);
}

// bound[f][i]: member i's bound under form f. The tree points into `bound`.
Plan make_plan(const std::vector<NativeView>& members, const std::vector<core::MetricBound>* bound,
               int forms) {
    const std::size_t m = members.size();

    // A member whose form cannot be bounded is asked for every point.
    std::vector<core::ShapeBox> boxes;
    std::vector<std::ptrdiff_t> always;
    for (std::size_t i = 0; i < m; ++i) {
        const NativeView& mb = members[i];
        const Extent ext = extent_of(mb);
        bool bounded = mb.kind != NativeKind::Zero && ext.finite && !ext.box.empty;
        core::ShapeBox s{};
        for (int f = 0; f < forms && bounded; ++f) {
            const core::MetricBound& b = bound[f][i];
            bounded = b.usable() && ext.scale <= b.coord_limit();
            s.bound[f] = &b;
        }
        if (!bounded) {
            always.push_back(static_cast<std::ptrdiff_t>(i));
            continue;
        }
        s.scale = ext.scale;
        s.id = static_cast<std::ptrdiff_t>(i);
        // The member's parts in runs, each under its own box: a point then
        // meets the members whose parts are near, not those whose whole box
        // merely spans it. A polygon also answers inside its outer ring.
        if (mb.kind == NativeKind::Point) {
            s.lo[0] = s.hi[0] = mb.px, s.lo[1] = s.hi[1] = mb.py;
            boxes.push_back(s);
        } else if (mb.kind == NativeKind::MultiPoint) {
            // A point set has no order to follow: each point is its own box.
            for (std::ptrdiff_t j = 0; j < mb.pts.n; ++j) {
                point_run_box(mb.pts, j, 1, s);
                boxes.push_back(s);
            }
        } else {
            // A run follows one chain of segments: it ends where the next
            // segment does not start at the end of the last, so that no box
            // spans the gap between two rings or line strings.
            std::ptrdiff_t first = 0;
            for (std::ptrdiff_t j = 1; j <= mb.p1.n; ++j) {
                const bool chained = j < mb.p1.n && j - first < kRun &&
                                     mb.p1.x(j) == mb.p1.x(j - 1) + mb.v.x(j - 1) &&
                                     mb.p1.y(j) == mb.p1.y(j - 1) + mb.v.y(j - 1);
                if (chained) continue;
                segment_run_box(mb, first, j - first, s);
                boxes.push_back(s);
                first = j;
            }
            if (mb.kind == NativeKind::Polygon && mb.outer.n > 0) {
                point_run_box(mb.outer, 0, mb.outer.n, s);
                boxes.push_back(s);
            }
        }
    }
    return Plan{core::BoxTree(std::move(boxes), forms), std::move(always), nullptr};
}

bool same_metric(const core::Metric2& a, const core::Metric2& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Cells a side of the grid the polygons' boxes are binned on.
constexpr int kCells = 128;

// The joint index over the members' segments, or null when the members do
// not allow one: every member a line work or polygon choosing under one
// metric, bit for bit the metric of every pick, which bounds its forms and
// keeps the orders' rounding small.
std::unique_ptr<Joint> make_joint(const std::vector<NativeView>& members,
                                  const std::vector<core::Metric2>* metric, int forms) {
    const std::size_t m = members.size();
    if (m == 0 || m > UINT32_MAX) return nullptr;
    const core::Metric2 select = members[0].select;
    std::ptrdiff_t total = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const NativeView& mb = members[i];
        if ((mb.kind != NativeKind::Segments && mb.kind != NativeKind::Polygon) ||
            !same_metric(mb.select, select)) {
            return nullptr;
        }
        for (int f = 0; f < forms; ++f) {
            if (!same_metric(metric[f][i], select)) return nullptr;
        }
        total += mb.p1.n;
    }
    const core::MetricBound bound(select);
    if (!bound.usable() || !(bound.order_spread() <= 0x1p-20) ||
        total >= (std::ptrdiff_t(1) << 31)) {
        return nullptr;
    }
    std::vector<double> p1(core::scratch_size(total, 2)), v(core::scratch_size(total, 2)),
        vdv(core::scratch_size(total, 1));
    std::vector<std::uint32_t> group(static_cast<std::size_t>(total));
    std::ptrdiff_t at = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const NativeView& mb = members[i];
        for (std::ptrdiff_t j = 0; j < mb.p1.n; ++j, ++at) {
            p1[2 * at] = mb.p1.x(j);
            p1[2 * at + 1] = mb.p1.y(j);
            v[2 * at] = mb.v.x(j);
            v[2 * at + 1] = mb.v.y(j);
            vdv[at] = mb.vdv[j];
            group[at] = static_cast<std::uint32_t>(i);
        }
    }
    auto joint = std::make_unique<Joint>(PairsView::contiguous(p1.data(), total),
                                         PairsView::contiguous(v.data(), total),
                                         core::ValuesView::contiguous(vdv.data(), total), select);
    if (!joint->segments.prunes(select)) return nullptr;
    joint->segments.set_groups(group.data());
    {
        // The segments' boxes as the index takes them (p1 and the computed
        // end point), and the largest magnitude it bounds forms with.
        std::vector<double> boxes(core::scratch_size(total, 4));
        double scale = 0.0;
        for (std::ptrdiff_t k = 0; k < total; ++k) {
            const double x = p1[2 * k], y = p1[2 * k + 1], ex = x + v[2 * k], ey = y + v[2 * k + 1];
            scale = std::max({scale, std::fabs(x), std::fabs(y), std::fabs(v[2 * k]),
                              std::fabs(v[2 * k + 1]), std::fabs(ex), std::fabs(ey)});
            boxes[4 * k] = std::min(x, ex), boxes[4 * k + 1] = std::min(y, ey);
            boxes[4 * k + 2] = std::max(x, ex), boxes[4 * k + 3] = std::max(y, ey);
        }
        // A point more than m / 2 from every box has every form above the
        // bound at that distance: far above the window of 0 (checked here,
        // for the largest magnitude such a point may have).
        const double m = scale * 0x1p-30;
        const double at_least = bound.lower_bound(0.25 * m * m, scale);
        const double tiny = (scale + 1.0) * 0x1p-960;
        if (m > 0x1p-900 && at_least * (1.0 - 8.0 * bound.order_spread()) > 2.0 * tiny) {
            joint->free = core::FreeCells(boxes.data(), total, m);
            joint->free_scale = scale;
        }
    }

    core::Extremes all;
    for (std::size_t i = 0; i < m; ++i) {
        const NativeView& mb = members[i];
        if (mb.kind != NativeKind::Polygon) continue;
        core::Extremes e;
        for (std::ptrdiff_t j = 0; j < mb.outer.n; ++j) e.add(mb.outer.x(j), mb.outer.y(j));
        // A ring without vertices holds no point.
        if (e.empty) continue;
        joint->polygon.push_back(static_cast<std::ptrdiff_t>(i));
        joint->box.insert(joint->box.end(), {e.lo[0], e.lo[1], e.hi[0], e.hi[1]});
        all.add(e.lo[0], e.lo[1]);
        all.add(e.hi[0], e.hi[1]);
    }
    if (joint->polygon.empty()) return joint;
    for (int c = 0; c < 2; ++c) {
        const double span = all.hi[c] - all.lo[c];
        joint->origin[c] = all.lo[c];
        joint->cells[c] = span > 0.0 && std::isfinite(kCells / span) ? kCells : 1;
        joint->to_cell[c] = joint->cells[c] > 1 ? kCells / span : 0.0;
    }
    const std::size_t cells = std::size_t(joint->cells[0]) * std::size_t(joint->cells[1]);
    joint->cell_start.assign(cells + 1, 0);
    const auto each_cell = [&](std::size_t k, auto&& visit) {
        const double* b = joint->box.data() + 4 * k;
        const int c0 = joint->cell_of(b[0], b[1]), c1 = joint->cell_of(b[2], b[3]);
        for (int cy = c0 / joint->cells[0]; cy <= c1 / joint->cells[0]; ++cy) {
            for (int cx = c0 % joint->cells[0]; cx <= c1 % joint->cells[0]; ++cx) {
                visit(std::size_t(cy) * std::size_t(joint->cells[0]) + std::size_t(cx));
            }
        }
    };
    for (std::size_t k = 0; k < joint->polygon.size(); ++k) {
        each_cell(k, [&](std::size_t c) { ++joint->cell_start[c + 1]; });
    }
    for (std::size_t c = 0; c < cells; ++c) joint->cell_start[c + 1] += joint->cell_start[c];
    joint->cell_polygons.resize(joint->cell_start[cells]);
    std::vector<std::uint32_t> next(joint->cell_start.begin(), joint->cell_start.end() - 1);
    for (std::size_t k = 0; k < joint->polygon.size(); ++k) {
        each_cell(k, [&](std::size_t c) { joint->cell_polygons[next[c]++] = std::uint32_t(k); });
    }
    return joint;
}

// What the collection's slot holds: what the plans were built from and the
// plans (one per set of metrics: the queries pick under different ones).
// The objects are compared by address only and never followed, so nothing
// is kept alive and no cycle through the collection can form; the bytes
// decide, so an address reused by an object holding the same bytes gives
// the same answers. Changed only with the interpreter lock held; a call
// holds its plan, which outlives a replacement of the slot meanwhile.
struct PlanSet {
    std::vector<const void*> objects;
    std::vector<double> bytes;
    mutable std::vector<std::shared_ptr<const KeptPlan>> plans;
};

constexpr const char kPlanCapsule[] = "zelk.field.collection_index";
constexpr std::size_t kKeptPlans = 4;

// Takes down what a plan was built from: Record into a PlanSet, Compare
// against one as it goes (nothing copied when the kept one is current).
struct Record {
    PlanSet& k;
    void object(const void* o) { k.objects.push_back(o); }
    void value(double v) { k.bytes.push_back(v); }
    void block(const char* data, std::ptrdiff_t count) {
        const std::size_t at = k.bytes.size();
        k.bytes.resize(at + static_cast<std::size_t>(count));
        if (count > 0)
            std::memcpy(&k.bytes[at], data, static_cast<std::size_t>(count) * sizeof(double));
    }
    bool same_so_far() const { return true; }
};

struct Compare {
    const PlanSet& k;
    std::size_t objects = 0, bytes = 0;
    bool same = true;
    void object(const void* o) {
        same = same && objects < k.objects.size() && k.objects[objects] == o;
        ++objects;
    }
    void value(double v) {
        // bit for bit: a NaN equals only the same NaN bits, -0.0 only -0.0
        same =
            same && bytes < k.bytes.size() && std::memcmp(&k.bytes[bytes], &v, sizeof(double)) == 0;
        ++bytes;
    }
    void block(const char* data, std::ptrdiff_t count) {
        const std::size_t c = static_cast<std::size_t>(count);
        same = same && c <= k.bytes.size() - std::min(bytes, k.bytes.size()) &&
               (c == 0 || std::memcmp(&k.bytes[bytes], data, c * sizeof(double)) == 0);
        bytes += c;
    }
    bool same_so_far() const { return same; }
    bool all() const { return same && objects == k.objects.size() && bytes == k.bytes.size(); }
};

template <class Sink>
void add_rows(const PairsView& rows, Sink& sink) {
    sink.value(static_cast<double>(rows.n));
    if (rows.packed()) {
        sink.block(rows.data, 2 * rows.n);
        return;
    }
    for (std::ptrdiff_t i = 0; i < rows.n && sink.same_so_far(); ++i) {
        sink.value(rows.x(i));
        sink.value(rows.y(i));
    }
}

// Every object the members were read from and every value a plan depends on.
template <class Sink>
void fingerprint(PyObject* rgjs, const std::vector<NativeView>& members, Sink& sink) {
    sink.object(rgjs);
    for (const NativeView& mb : members) {
        sink.object(Py_TYPE(mb.geometry));
        for (const Ref& r : mb.held) sink.object(r.get());
        sink.value(static_cast<double>(mb.kind));
        sink.value(mb.px);
        sink.value(mb.py);
        add_rows(mb.pts, sink);
        add_rows(mb.p1, sink);
        add_rows(mb.v, sink);
        // The joint index reads the squared lengths and the members' metric too.
        for (std::ptrdiff_t i = 0; i < mb.vdv.n && sink.same_so_far(); ++i) sink.value(mb.vdv[i]);
        for (const double e : {mb.select.m00, mb.select.m01, mb.select.m10, mb.select.m11}) {
            sink.value(e);
        }
        add_rows(mb.outer, sink);
        sink.value(static_cast<double>(mb.holes.size()));
        for (const PairsView& h : mb.holes) add_rows(h, sink);
        if (!sink.same_so_far()) return;
    }
}

bool same_metrics(const KeptPlan& kp, const std::vector<Pick>& picks) {
    if (kp.forms != static_cast<int>(picks.size())) return false;
    for (int f = 0; f < kp.forms; ++f) {
        const std::vector<core::Metric2>& a = kp.metric[f];
        const std::vector<core::Metric2>& b = picks[f].metric;
        if (a.size() != b.size() ||
            std::memcmp(a.data(), b.data(), a.size() * sizeof(core::Metric2)) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::shared_ptr<const KeptPlan> kept_plan(PyObject** slot, PyObject* rgjs,
                                          const std::vector<NativeView>& members,
                                          const std::vector<Pick>& picks) {
    const auto current = [&](const std::vector<NativeView>& from) {
        return [&](const PlanSet& k) {
            Compare compare{k};
            fingerprint(rgjs, from, compare);
            return compare.all();
        };
    };
    Ref held = current_kept_index<PlanSet>(slot, kPlanCapsule, {}, current(members));
    if (held) {
        for (const auto& p : kept_index_of<PlanSet>(held.get()).plans) {
            if (same_metrics(*p, picks)) return p;
        }
    }
    // A plan is built from a copy of the members, and that very copy is what
    // it records (or is checked against the record): a writer that needs no
    // interpreter lock (shared memory, another process) cannot leave a plan
    // built from one state and recorded as another.
    std::vector<NativeView> copy = members;
    for (NativeView& mb : copy) {
        mb.segment_index = nullptr;  // so that every view is copied
        mb.ring_index = nullptr;
        mb.point_index = nullptr;
        own_copies(mb);
    }
    held = kept_index<PlanSet>(slot, kPlanCapsule, {}, current(copy), [&] {
        PlanSet fresh;
        Record record{fresh};
        fingerprint(rgjs, copy, record);
        return fresh;
    });
    if (!held) return nullptr;
    auto made = std::make_shared<KeptPlan>();
    made->forms = static_cast<int>(picks.size());
    for (int f = 0; f < made->forms; ++f) {
        made->metric[f] = picks[f].metric;
        made->bound[f].reserve(picks[f].metric.size());
        for (const core::Metric2& m : picks[f].metric) made->bound[f].emplace_back(m);
    }
    made->plan = std::make_unique<Plan>(make_plan(copy, made->bound, made->forms));
    made->plan->joint = make_joint(copy, made->metric, made->forms);
    auto& plans = kept_index_of<PlanSet>(held.get()).plans;
    if (plans.size() >= kKeptPlans) plans.erase(plans.begin());
    plans.push_back(made);
    return made;
}

}  // namespace zelk::collection
