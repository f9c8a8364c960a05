#include "core/forms.hpp"

#include "core/argmin.hpp"

#include <vector>

namespace zelk::core {

void forms_vector_matrix_from_zero(const PairsView& d, const Metric2& m, double* out) noexcept {
    for (std::ptrdiff_t i = 0; i < d.n; ++i)
        out[i] = form_vector_matrix_from_zero(m, d.x(i), d.y(i));
}

void pick_smallest_form(const PairsView* candidates, std::ptrdiff_t count, std::ptrdiff_t n,
                        const Metric2* metrics, double* out) {
    std::vector<double> q(scratch_size(count, 1));
    for (std::ptrdiff_t l = 0; l < n; ++l) {
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            q[i] = form_matrix_vector(metrics[i], candidates[i].x(l), candidates[i].y(l));
        }
        const PairsView& chosen = candidates[argmin_first(q.data(), count)];
        out[2 * l] = chosen.x(l);
        out[2 * l + 1] = chosen.y(l);
    }
}

}  // namespace zelk::core
