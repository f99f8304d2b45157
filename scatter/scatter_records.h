// Shared records of the scattering laws and the scattering step: albedos and
// photon weight, law codes and parameters, the direction before the latest
// scattering, the photon's scattering counters and the tables of the power-law
// and tabulated laws. Tables are 1-based (entry 0 unused).
#pragma once

#include <cstdint>

namespace quillet {

constexpr int max_table = 10001;  // rows of the power-law and tabulated-law tables

struct com4_t {
    double ssca;    // albedo factor of the engine parameter file (default 1.0)
    double weight;  // photon weight: 1.0 at launch, times the albedo at each scattering
};
extern thread_local constinit com4_t com4;

struct com15_t {
    double ppar1, ppar2, ppar3;  // ring-particle law parameters (ppar3 = c_n for codes 7..10)
};
extern com15_t com15;

struct com15_haze_t {
    double ppar1_haze, ppar2_haze, ppar3_haze;
};
extern com15_haze_t com15_haze;

// Photon direction just before the latest scattering.
struct com16_t {
    double ex, ey, ez;
};
extern thread_local constinit com16_t com16;

// Scatterings of the current photon on ring and on haze particles.
struct com9_haze_t {
    std::int32_t ispart;
    std::int32_t ishaze;
};
extern thread_local constinit com9_haze_t com9_haze;

struct com_haze2_t {
    std::int32_t method_haze;  // haze scattering-law code
};
extern com_haze2_t com_haze2;

struct com_haze3_t {
    double ssca_part;  // single-scattering albedo of ring particles
    double ssca_haze;  // ... of haze particles
};
extern com_haze3_t com_haze3;

// Power law of the scattering angle, P = c_n * theta^n.
struct com_power1_t {
    double cum[max_table + 1];    // C_i, 0 .. 2 over i = 1..401
    double theta[max_table + 1];  // theta_i = (i-1)*pi/400
    double y2[max_table + 1];     // second derivatives of theta(C)
};
extern com_power1_t com_power1;

struct com_power2_t {
    double pow_n;  // exponent n
    double c_n;    // normalisation
};
extern com_power2_t com_power2;

// Tabulated phase function (ring particles; the haze set has the same layout).
struct com_mcphase1_t {
    double alpha[max_table + 1];     // phase angle, radians
    double phase[max_table + 1];     // P(alpha) as read
    double phase_y2[max_table + 1];  // second derivatives of P(alpha)
    double inte[max_table + 1];      // normalised cumulative integral of P sin(alpha)
    double alpha_y2[max_table + 1];  // second derivatives of alpha(inte)
};
extern com_mcphase1_t com_mcphase1;
extern com_mcphase1_t com_mcphase1_haze;

struct com_mcphase2_t {
    std::int32_t n_alpha;
};
extern com_mcphase2_t com_mcphase2;
extern com_mcphase2_t com_mcphase2_haze;

}  // namespace quillet
