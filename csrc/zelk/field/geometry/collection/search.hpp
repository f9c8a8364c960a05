// The collection's search: per query point, the members whose parts may
// still equal or beat its best value, evaluated member by member on batches
// of rows through the members' own native road.
#pragma once

#include "zelk/field/geometry/collection/plan.hpp"

#include <vector>

namespace zelk::collection {

class Search {
  public:
    Search(const std::vector<NativeView>& members, std::vector<Pick>& picks, const PairsView& x)
        : members_(members), picks_(picks), x_(x) {}

    // The picks for the rows [begin, end) of x.
    void run(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end);

  private:
    // Through the member tree, each member evaluated on its own.
    void run_tree(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end);
    // Through the joint index; rows it cannot serve take run_tree.
    void run_joint(const Plan& plan, std::ptrdiff_t begin, std::ptrdiff_t end);
    void run_rows(const Plan& plan, const std::vector<std::ptrdiff_t>& rows);
    void evaluate(std::ptrdiff_t member, const std::ptrdiff_t* rows, std::ptrdiff_t k);
    void evaluate_grouped(std::vector<std::ptrdiff_t>& pairs);

    const std::vector<NativeView>& members_;
    std::vector<Pick>& picks_;
    PairsView x_;
    std::vector<double> xy_, out_;
    NativeScratch scratch_;
};

}  // namespace zelk::collection
