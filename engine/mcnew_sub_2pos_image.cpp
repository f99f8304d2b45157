#include "engine/mcnew_sub_2pos_image.h"

namespace quillet {

// Placeholder until the engine is built: every out-argument is zero.
void mcnew_sub_2pos_image(
    std::int32_t&, std::int32_t&, text80&, text80&, text80&, double&, double&, std::int32_t& ntest,
    double*, double*, double* testw, double* testd_corr, double* testw_n, order_table& w_order,
    std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t& npart,
    std::int32_t& npartori, double& npot_mean, double& nbox_mean, double& iscat_mean, std::int32_t&,
    text80&, text80&, double&, double& tau, std::int32_t& ndirect, double&, double&, double&, double&,
    text80&, std::int32_t&, double&, double&, double&, double&, double&, haze_table& w_haze,
    std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&, text80&, std::int32_t&, std::int32_t&) {
    for (int k = 1; k <= ntest && k <= max_test; ++k) testw[k] = testd_corr[k] = testw_n[k] = 0.0;
    for (auto& row : w_order)
        for (double& v : row) v = 0.0;
    for (auto& plane : w_haze)
        for (auto& row : plane)
            for (double& v : row) v = 0.0;
    npart = npartori = 0;
    npot_mean = nbox_mean = iscat_mean = tau = 0.0;
    ndirect = 0;
}

}  // namespace quillet
