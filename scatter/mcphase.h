// Phase functions tabulated in "mcphase.dat" (ring particles) and
// "mcphase_haze.dat" (haze particles), codes 15 and 16.
#pragma once

#include "numeric/ran1.h"

namespace quillet {

void init_mcphase();
void e_mcphase(double& sine, double& cose, random_draws& rng);
void p_mcphase(double cose, double& phasef);

void init_mcphase_haze();
void e_mcphase_haze(double& sine, double& cose, random_draws& rng);
void p_mcphase_haze(double cose, double& phasef);

}  // namespace quillet
