// Power law of the scattering angle, P = c_n * theta^n (codes 7 to 10).
#pragma once

#include "numeric/ran1.h"

namespace quillet {

void init_callisto();
void e_callisto(double& sine, double& cose, random_draws& rng);
void p_callisto(double cose, double& phasef);

}  // namespace quillet
