// Power law of the scattering angle, P = c_n * theta^n (codes 7 to 10).
#pragma once

#include <cstdint>
#include <string>

#include "numeric/ran1.h"
#include "scatter/law_tables.h"

namespace quillet {

// "" when the exponent n gives a table that the sampler and the peel-off can
// use; otherwise what goes wrong (values beyond the range of a double).
std::string power_law_problem(double n);

// Builds the table of the exponent t.pow_n. method: the law code, and icheck:
// the trace level, for the set-up report (icheck >= 1 also writes the table
// to "SPLINE_TEST").
void init_callisto(power_table& t, std::int32_t method, std::int32_t icheck);
void e_callisto(const power_table& t, double& sine, double& cose, random_draws& rng);
void p_callisto(const power_table& t, double cose, double& phasef);

}  // namespace quillet
