// The collection's search: per query point, the members whose parts may
// still equal or beat its best value, evaluated member by member on batches
// of rows through the members' own native road.
#pragma once

#include "zelk/field/geometry/collection/plan.hpp"

#include <cmath>
#include <vector>

namespace zelk::collection {

class Search {
  public:
    // `to_row`, when given, maps each row of x to the row of the picks it
    // answers (run_joint only, which needs it). With a finite `cap`, for
    // picks of values only, whose caller keeps nothing but exp(-value):
    // run_joint() may answer +inf for a row where every form in the joint
    // index's order is above the cap (so every value is far past where the
    // exponential is 0), with its member left at 0.
    Search(const std::vector<NativeView>& members, std::vector<Pick>& picks, const PairsView& x,
           const std::ptrdiff_t* to_row = nullptr, double cap = INFINITY)
        : members_(members), picks_(picks), x_(x), to_row_(to_row), cap_(cap) {
        for (const Pick& p : picks_) {
            if (p.vector != nullptr) cap_ = INFINITY;
        }
    }

    // The picks for the rows [begin, end) of x, through the member tree,
    // each member evaluated on its own.
    void run(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end);
    // The same through the plan's joint index, for rows of x already in the
    // order of compact patches (core::tile_order), mapped by `to_row` to the
    // picks' rows; the rows it cannot serve are added to `spill` (as rows of
    // the picks) for run_rows().
    void run_joint(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end,
                   std::vector<std::ptrdiff_t>& spill);
    // The rows given, through the member tree (x unmapped).
    void run_rows(const Plan& plan, const std::vector<std::ptrdiff_t>& rows);

  private:
    std::ptrdiff_t row(std::ptrdiff_t r) const { return to_row_ != nullptr ? to_row_[r] : r; }
    void evaluate(std::ptrdiff_t member, const std::ptrdiff_t* rows, std::ptrdiff_t k);
    void evaluate_grouped(std::vector<std::ptrdiff_t>& pairs);

    const std::vector<NativeView>& members_;
    std::vector<Pick>& picks_;
    PairsView x_;
    const std::ptrdiff_t* to_row_;
    double cap_;
    std::vector<double> xy_, out_;
    NativeScratch scratch_;
};

}  // namespace zelk::collection
