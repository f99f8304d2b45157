// Phase functions tabulated in "mcphase.dat" (ring particles) and
// "mcphase_haze.dat" (haze particles), codes 15 and 16.
#pragma once

#include <cstdint>

#include "numeric/ran1.h"
#include "scatter/law_tables.h"

namespace quillet {

// Read the file and build its table. method: the law code, and icheck: the
// trace level, for the set-up report (icheck >= 1 also writes the splines to
// "SPLINE_TEST" or "SPLINE_TEST_HAZE").
void init_mcphase(phase_table& t, std::int32_t method, std::int32_t icheck);
void e_mcphase(const phase_table& t, double& sine, double& cose, random_draws& rng);
void p_mcphase(const phase_table& t, double cose, double& phasef);

void init_mcphase_haze(phase_table& t, std::int32_t method_haze, std::int32_t icheck);
void e_mcphase_haze(const phase_table& t, double& sine, double& cose, random_draws& rng);
void p_mcphase_haze(const phase_table& t, double cose, double& phasef);

}  // namespace quillet
