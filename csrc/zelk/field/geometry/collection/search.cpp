#include "zelk/field/geometry/collection/search.hpp"

#include "core/curve.hpp"
#include "core/extremes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace zelk::collection {

namespace {

// Pairs gathered before they are evaluated: enough to give each member a
// batch worth its call, few enough to keep memory independent of the
// number of members.
constexpr std::size_t kPairBudget = std::size_t(1) << 20;

// Points along the curve whose tree descent is shared.
constexpr std::size_t kTile = 16;
constexpr std::size_t kTileLeaves = 64;

// The rows [begin, end) of x (as offsets from begin) along a Morton curve
// through their positions: neighbouring points walk the same paths of the
// trees, which the caches and branch predictors repay. The order changes no
// answer, since a row's picks depend only on the values and member numbers
// met, never on when. Rows that are not finite come first.
std::vector<std::uint32_t> curve_order(const PairsView& x, std::ptrdiff_t begin,
                                       std::ptrdiff_t end) {
    const std::ptrdiff_t n = end - begin;
    std::vector<std::uint32_t> order(static_cast<std::size_t>(n));
    for (std::ptrdiff_t l = 0; l < n; ++l) order[l] = static_cast<std::uint32_t>(l);
    if (n < 64 || n > std::ptrdiff_t(UINT32_MAX)) return order;
    core::Extremes box;
    for (std::ptrdiff_t r = begin; r < end; ++r) {
        if (std::isfinite(x.x(r)) && std::isfinite(x.y(r))) box.add(x.x(r), x.y(r));
    }
    if (box.empty) return order;
    double scale[2];
    for (int c = 0; c < 2; ++c) {
        const double span = box.hi[c] - box.lo[c];
        scale[c] = span > 0.0 && std::isfinite(span) ? 65535.0 / span : 0.0;
    }
    std::vector<std::uint64_t> keys(static_cast<std::size_t>(n));
    for (std::ptrdiff_t l = 0; l < n; ++l) {
        const double px = x.x(begin + l), py = x.y(begin + l);
        std::uint64_t code = 0;
        if (std::isfinite(px) && std::isfinite(py)) {
            const auto qx = static_cast<std::uint32_t>(
                std::min(65535.0, std::max(0.0, (px - box.lo[0]) * scale[0])));
            const auto qy = static_cast<std::uint32_t>(
                std::min(65535.0, std::max(0.0, (py - box.lo[1]) * scale[1])));
            code = core::morton_index(qx, qy);
        }
        keys[l] = (code << 32) | static_cast<std::uint64_t>(l);
    }
    std::sort(keys.begin(), keys.end());
    for (std::ptrdiff_t l = 0; l < n; ++l) order[l] = static_cast<std::uint32_t>(keys[l]);
    return order;
}

// value(j) for j in [0, count) grouped by member key(j) < m, in order within
// a group: group i is grouped[start[i]] to grouped[start[i + 1] - 1].
template <class Key, class Value>
void group_by_member(std::size_t m, std::size_t count, Key&& key, Value&& value,
                     std::vector<std::ptrdiff_t>& start, std::vector<std::ptrdiff_t>& grouped) {
    start.assign(m + 1, 0);
    for (std::size_t j = 0; j < count; ++j) ++start[key(j) + 1];
    for (std::size_t i = 0; i < m; ++i) start[i + 1] += start[i];
    grouped.resize(count);
    std::vector<std::ptrdiff_t> next(start.begin(), start.end() - 1);
    for (std::size_t j = 0; j < count; ++j) grouped[next[key(j)]++] = value(j);
}

}  // namespace

void Search::evaluate(std::ptrdiff_t member, const std::ptrdiff_t* rows, std::ptrdiff_t k) {
    if (k <= 0) return;
    xy_.resize(core::scratch_size(k, 2));
    out_.resize(core::scratch_size(k, 2));
    for (std::ptrdiff_t j = 0; j < k; ++j) {
        xy_[2 * j] = x_.x(rows[j]);
        xy_[2 * j + 1] = x_.y(rows[j]);
    }
    native_offsets(members_[member], PairsView::contiguous(xy_.data(), k), out_.data(), scratch_);
    for (Pick& p : picks_) {
        const core::Metric2& m = p.metric[member];
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            const std::ptrdiff_t l = rows[j];
            const double d0 = out_[2 * j], d1 = out_[2 * j + 1];
            const double v = form(p.order, m, d0, d1);
            if (!replaces(p.ties, v, member, p.value[l], p.index[l])) continue;
            p.value[l] = v;
            p.index[l] = member;
            if (p.vector != nullptr) {
                p.vector[2 * l] = d0;
                p.vector[2 * l + 1] = d1;
            }
        }
    }
}

// pairs holds (member, row) pairs; evaluates each member once on its rows.
void Search::evaluate_grouped(std::vector<std::ptrdiff_t>& pairs) {
    const std::size_t m = members_.size();
    std::vector<std::ptrdiff_t> start, rows;
    group_by_member(
        m, pairs.size() / 2, [&](std::size_t j) { return pairs[2 * j]; },
        [&](std::size_t j) { return pairs[2 * j + 1]; }, start, rows);
    pairs.clear();
    for (std::size_t i = 0; i < m; ++i) {
        evaluate(static_cast<std::ptrdiff_t>(i), rows.data() + start[i], start[i + 1] - start[i]);
    }
}

namespace {

// Rows the joint road takes at a time, which bounds its scratch memory.
constexpr std::ptrdiff_t kJointBlock = 8192;
// Members within a point's window before the point takes the member tree.
constexpr int kJointHits = 8;

struct Candidate {
    std::ptrdiff_t member;
    std::ptrdiff_t original;  // its nearest segment; -1 when the point is inside it
};

}  // namespace

void Search::run_joint(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end,
                       std::vector<std::ptrdiff_t>& spill) {
    const Joint& joint = *plan.joint;
    // Per row of a block: the lowest and highest member holding the point,
    // and how many do (counted to 3).
    std::vector<std::int32_t> in_lo, in_hi;
    std::vector<std::uint8_t> in_count;
    std::vector<std::ptrdiff_t> pairs, start, rows;
    for (std::ptrdiff_t b0 = begin; b0 < end; b0 += kJointBlock) {
        const std::ptrdiff_t b1 = std::min(end, b0 + kJointBlock), n = b1 - b0;
        in_lo.assign(static_cast<std::size_t>(n), -1);
        in_hi.assign(static_cast<std::size_t>(n), -1);
        in_count.assign(static_cast<std::size_t>(n), 0);
        // The polygons whose outer box holds the point, then their inside
        // test, polygon by polygon.
        pairs.clear();
        for (std::ptrdiff_t l = 0; l < n && !joint.polygon.empty(); ++l) {
            const double x = x_.x(b0 + l), y = x_.y(b0 + l);
            if (!std::isfinite(x) || !std::isfinite(y)) continue;
            const int c = joint.cell_of(x, y);
            for (std::uint32_t at = joint.cell_start[c]; at < joint.cell_start[c + 1]; ++at) {
                const std::uint32_t k = joint.cell_polygons[at];
                const double* b = joint.box.data() + 4 * k;
                if (x >= b[0] && x <= b[2] && y >= b[1] && y <= b[3]) {
                    pairs.push_back(k);
                    pairs.push_back(l);
                }
            }
        }
        group_by_member(
            joint.polygon.size(), pairs.size() / 2, [&](std::size_t j) { return pairs[2 * j]; },
            [&](std::size_t j) { return pairs[2 * j + 1]; }, start, rows);
        for (std::size_t k = 0; k < joint.polygon.size(); ++k) {
            const std::ptrdiff_t first = start[k], count = start[k + 1] - first;
            if (count == 0) continue;
            xy_.resize(core::scratch_size(count, 2));
            scratch_.flags.resize(core::scratch_size(count, 1));
            for (std::ptrdiff_t j = 0; j < count; ++j) {
                xy_[2 * j] = x_.x(b0 + rows[first + j]);
                xy_[2 * j + 1] = x_.y(b0 + rows[first + j]);
            }
            bool* inside = reinterpret_cast<bool*>(scratch_.flags.data());
            const std::ptrdiff_t member = joint.polygon[k];
            native_inside(members_[member], PairsView::contiguous(xy_.data(), count), inside);
            for (std::ptrdiff_t j = 0; j < count; ++j) {
                if (!inside[j]) continue;
                const std::ptrdiff_t l = rows[first + j];
                if (in_lo[l] < 0 || member < in_lo[l]) in_lo[l] = std::int32_t(member);
                if (member > in_hi[l]) in_hi[l] = std::int32_t(member);
                if (in_count[l] < 3) ++in_count[l];
            }
        }

        // Per point, the members within the window of its nearest segment
        // and those holding it: every other member's form is above the
        // best, in each pick's order.
        core::SegmentIndex::TileState tiles;
        constexpr int kTile = core::SegmentIndex::kTile;
        core::SegmentIndex::GroupHit hits[kTile * kJointHits];
        int found[kTile];
        double xs[kTile], ys[kTile];
        std::ptrdiff_t tile_rows[kTile];
        Candidate cand[kJointHits + 2];
        double offsets[2 * (kJointHits + 2)];
        const auto answer = [&](std::ptrdiff_t at, const core::SegmentIndex::GroupHit* hit,
                                int count) {
            const std::ptrdiff_t l = at - b0;
            const double x = x_.x(at), y = x_.y(at);
            const std::ptrdiff_t r = row(at);
            int k = 0;
            const auto add = [&](std::ptrdiff_t member, std::ptrdiff_t original) {
                int at = k++;
                while (at > 0 && cand[at - 1].member > member) {
                    cand[at] = cand[at - 1];
                    --at;
                }
                cand[at] = {member, original};
            };
            for (int h = 0; h < count; ++h) {
                const std::ptrdiff_t member = hit[h].group;
                const bool inside = member == in_lo[l] || member == in_hi[l];
                add(member, inside ? std::ptrdiff_t(-1) : std::ptrdiff_t(hit[h].original));
            }
            for (const std::int32_t member : {in_lo[l], in_hi[l]}) {
                bool known = member < 0;
                for (int j = 0; j < k && !known; ++j) known = cand[j].member == member;
                if (!known) add(member, -1);
            }
            for (int j = 0; j < k; ++j) {
                double* d = offsets + 2 * j;
                if (cand[j].original < 0) {
                    d[0] = d[1] = 0.0;
                } else {
                    joint.segments.offset(cand[j].original, x, y, d);
                }
            }
            // The row has no answer yet: the pick is made here and written
            // once (the rows of a patch lie apart in the outputs).
            for (Pick& p : picks_) {
                double best = 0.0;
                std::ptrdiff_t at = -1;
                int chosen = 0;
                for (int j = 0; j < k; ++j) {
                    const std::ptrdiff_t member = cand[j].member;
                    const double v =
                        form(p.order, p.metric[member], offsets[2 * j], offsets[2 * j + 1]);
                    if (!replaces(p.ties, v, member, best, at)) continue;
                    best = v;
                    at = member;
                    chosen = j;
                }
                p.value[r] = best;
                p.index[r] = at;
                if (p.vector != nullptr) {
                    p.vector[2 * r] = offsets[2 * chosen];
                    p.vector[2 * r + 1] = offsets[2 * chosen + 1];
                }
            }
        };
        // Neighbours along the curve a tile at a time, which share one
        // descent of the tree.
        for (std::ptrdiff_t t0 = b0; t0 < b1;) {
            int k = 0;
            for (; t0 < b1 && k < kTile; ++t0) {
                const std::ptrdiff_t r = t0;
                const double x = x_.x(r), y = x_.y(r);
                // Not finite, or three or more holding it (which of them lie
                // between the first and last is not known here).
                if (!std::isfinite(x) || !std::isfinite(y) || in_count[r - b0] > 2) {
                    spill.push_back(row(r));
                    continue;
                }
                if (in_count[r - b0] > 0 && joint.far_from_segments(x, y)) {
                    answer(r, nullptr, 0);
                    continue;
                }
                xs[k] = x, ys[k] = y, tile_rows[k] = r;
                ++k;
            }
            joint.segments.nearest_groups_tile(xs, ys, k, joint.metric, joint.bound, tiles, hits,
                                               kJointHits, found, cap_);
            for (int j = 0; j < k; ++j) {
                if (found[j] == core::SegmentIndex::kBeyondCap) {
                    const std::ptrdiff_t r = row(tile_rows[j]);
                    for (Pick& p : picks_) {
                        p.value[r] = INFINITY;
                        p.index[r] = 0;
                    }
                    continue;
                }
                // (The nearest segment's member is always among the hits.)
                if (found[j] <= 0) {
                    spill.push_back(row(tile_rows[j]));
                } else {
                    answer(tile_rows[j], hits + j * kJointHits, found[j]);
                }
            }
        }
    }
}

// On a packed copy of the rows' points.
void Search::run_rows(const Plan& plan, const std::vector<std::ptrdiff_t>& rows) {
    const std::ptrdiff_t k = static_cast<std::ptrdiff_t>(rows.size());
    if (k == 0) return;
    std::vector<double> xy(core::scratch_size(k, 2));
    for (std::ptrdiff_t j = 0; j < k; ++j) {
        xy[2 * j] = x_.x(rows[j]);
        xy[2 * j + 1] = x_.y(rows[j]);
    }
    const std::size_t forms = picks_.size();
    std::vector<std::vector<double>> value(forms), vector(forms);
    std::vector<std::vector<npy_intp>> index(forms);
    std::vector<Pick> sub;
    sub.reserve(forms);
    for (std::size_t f = 0; f < forms; ++f) {
        const Pick& p = picks_[f];
        Pick& q = sub.emplace_back(p.order, p.ties, 0);
        q.metric = p.metric;
        value[f].resize(static_cast<std::size_t>(k));
        index[f].assign(static_cast<std::size_t>(k), -1);
        q.value = value[f].data();
        q.index = index[f].data();
        if (p.vector != nullptr) {
            vector[f].resize(core::scratch_size(k, 2));
            q.vector = vector[f].data();
        }
    }
    Search(members_, sub, PairsView::contiguous(xy.data(), k)).run(plan, 0, k);
    for (std::size_t f = 0; f < forms; ++f) {
        Pick& p = picks_[f];
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            const std::ptrdiff_t r = rows[j];
            p.value[r] = value[f][j];
            p.index[r] = index[f][j];
            if (p.vector != nullptr) {
                p.vector[2 * r] = vector[f][2 * j];
                p.vector[2 * r + 1] = vector[f][2 * j + 1];
            }
        }
    }
}

void Search::run(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end) {
    const std::ptrdiff_t n = end - begin;
    const std::size_t m = members_.size();
    const int forms = static_cast<int>(picks_.size());
    const core::BoxTree& tree = plan.tree;

    std::vector<std::ptrdiff_t> all_rows;
    if (!plan.always.empty() || tree.empty()) {
        all_rows.resize(static_cast<std::size_t>(n));
        for (std::ptrdiff_t l = 0; l < n; ++l) all_rows[l] = begin + l;
        for (std::ptrdiff_t i : plan.always) evaluate(i, all_rows.data(), n);
    }
    if (tree.empty()) return;
    all_rows = std::vector<std::ptrdiff_t>();

    // Points are taken along a curve through their positions (see
    // curve_order). A first answer per point from the member whose part is
    // nearest, so that the search below has a value to prune by.
    const std::vector<std::uint32_t> order = curve_order(x_, begin, end);
    std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(n));
    std::vector<std::ptrdiff_t> pairs;
    pairs.reserve(std::min<std::size_t>(2 * kPairBudget, 2 * static_cast<std::size_t>(n)));
    std::int32_t leaf = -1;  // the previous point's: along the curve, a near one
    for (const std::uint32_t l : order) {
        first[l] = tree.first_guess(x_.x(begin + l), x_.y(begin + l), leaf);
    }
    {
        std::vector<std::ptrdiff_t> start, rows;
        group_by_member(
            m, order.size(), [&](std::size_t j) { return first[order[j]]; },
            [&](std::size_t j) { return begin + std::ptrdiff_t(order[j]); }, start, rows);
        for (std::size_t i = 0; i < m; ++i) {
            evaluate(static_cast<std::ptrdiff_t>(i), rows.data() + start[i],
                     start[i + 1] - start[i]);
        }
    }

    // Then every other member that may still equal or beat a point's best.
    // Neighbours along the curve are taken a tile at a time: the tree is
    // descended once for the tile's box, and each of its points then tests
    // only the leaves found, with the test the descent would end on.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const auto best_of = [&](std::ptrdiff_t r, double* best) {
        for (int f = 0; f < forms; ++f) {
            const Pick& p = picks_[f];
            best[f] = p.index[r] < 0 ? kInf : p.value[r];
        }
    };
    // A member in the tree has usable metrics, so its forms are never
    // negative: once a point's best is 0 in every pick, it can only tie, and
    // a tie changes nothing where the later member is not the one kept (the
    // first rule) or where only the value is kept (the last rule, whose
    // value is +0.0 either way: a form summed from +0.0 is never -0.0).
    const auto settled = [&](std::ptrdiff_t r, std::ptrdiff_t i) {
        for (const Pick& p : picks_) {
            if (p.index[r] < 0 || !(p.value[r] == 0.0)) return false;
            if (p.ties == Ties::First ? i < p.index[r] : p.vector != nullptr) return false;
        }
        return true;
    };
    double best[core::kMaxForms];
    std::vector<std::ptrdiff_t> seen(m, -1);
    std::vector<std::int32_t> leaves;
    for (std::size_t t0 = 0; t0 < order.size(); t0 += kTile) {
        const std::size_t t1 = std::min(order.size(), t0 + kTile);
        core::Extremes box;
        double scale = 0.0, tile_best[core::kMaxForms];
        std::fill(tile_best, tile_best + forms, -kInf);
        bool finite = true;
        for (std::size_t k = t0; k < t1; ++k) {
            const std::ptrdiff_t r = begin + order[k];
            const double px = x_.x(r), py = x_.y(r);
            finite = finite && std::isfinite(px) && std::isfinite(py);
            box.add(px, py);
            scale = std::max(scale, std::max(std::fabs(px), std::fabs(py)));
            best_of(r, best);
            for (int f = 0; f < forms; ++f) {
                tile_best[f] = best[f] == best[f] ? std::max(tile_best[f], best[f]) : kInf;
            }
        }
        if (finite) tree.leaves_near(box.lo, box.hi, scale, tile_best, leaves);
        // Scattered points share little: past a few dozen leaves each one
        // descends on its own.
        const bool shared = finite && leaves.size() <= kTileLeaves;
        for (std::size_t k = t0; k < t1; ++k) {
            const std::uint32_t l = order[k];
            const std::ptrdiff_t r = begin + l;
            const auto emit = [&](std::ptrdiff_t i) {
                if (seen[i] == r || settled(r, i)) return;  // met already, or cannot change it
                seen[i] = r;
                pairs.push_back(i);
                pairs.push_back(r);
            };
            best_of(r, best);
            if (shared) {
                tree.candidates_among(leaves, x_.x(r), x_.y(r), best, first[l], emit);
            } else {
                tree.candidates(x_.x(r), x_.y(r), best, first[l], emit);
            }
        }
        if (pairs.size() >= 2 * kPairBudget) evaluate_grouped(pairs);
    }
    evaluate_grouped(pairs);
}

}  // namespace zelk::collection
