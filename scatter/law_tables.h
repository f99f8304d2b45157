// The tables of the scattering laws that need one, built before the photons
// run and read-only after: the power law's (codes 7 to 10, one table that
// ring and haze particles share) and the tabulated laws' (codes 15 and 16,
// one table per particle kind). Tables are 1-based (entry 0 unused).
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

// Power law of the scattering angle, P = c_n * theta^n: the cumulative
// distribution C_i (0 to 2) at the nodes theta_i = (i-1)*pi/400, i = 1..401,
// and the second derivatives of theta(C).
struct power_table {
    double pow_n = 0.0;  // exponent n
    double c_n = 0.0;    // normalisation
    std::vector<double> cum, theta, y2;
};

// Tabulated phase function, rows 1..n_alpha.
struct phase_table {
    std::int32_t n_alpha = 0;
    std::vector<double> alpha;     // phase angle, radians
    std::vector<double> phase;     // P(alpha) as read
    std::vector<double> phase_y2;  // second derivatives of P(alpha)
    std::vector<double> inte;      // normalised cumulative integral of P sin(alpha)
    std::vector<double> alpha_y2;  // second derivatives of alpha(inte)
};

struct law_tables {
    power_table power;
    phase_table mcphase;       // "mcphase.dat", ring particles
    phase_table mcphase_haze;  // "mcphase_haze.dat", haze particles
};

}  // namespace quillet
