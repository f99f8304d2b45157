// Power law of the scattering angle, P = c_n * theta^n (codes 7 to 10).
#pragma once

#include <string>

#include "numeric/ran1.h"

namespace quillet {

// "" when the exponent n gives a table that the sampler and the peel-off can
// use; otherwise what goes wrong (values beyond the range of a double).
std::string power_law_problem(double n);

void init_callisto();
void e_callisto(double& sine, double& cose, random_draws& rng);
void p_callisto(double cose, double& phasef);

}  // namespace quillet
