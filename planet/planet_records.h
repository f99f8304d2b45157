// Shared records of the planet source: the source switch, the planet's
// distance and radius, its zone grid and photometric model (all from the
// deck), and the per-photon source directions made by saturn_illumination.
#pragma once

#include <cstdint>

namespace quillet {

constexpr int max_sat_phot = 1000000;  // planet photons per run
constexpr int max_nlat_sat = 200;      // latitude zones
constexpr int max_nfii_sat = 400;      // longitude zones

struct satcom1_t {
    std::int32_t isat;  // 0 Sun; 1 whole planet; 2 southern hemisphere; 3 northern
};
extern satcom1_t satcom1;

struct satcom2_t {
    double distance;  // of the particle field from the planet's centre
    double rsat;      // planet radius, 60.4, in the same unit
};
extern satcom2_t satcom2;

struct satcom3_t {
    std::int32_t nlat_sat;
    std::int32_t nfii_sat;
    std::int32_t model_sat;
};
extern satcom3_t satcom3;

// Unit vectors from the particle field toward the emitting zone, one per
// planet photon (entries 1..nphot_sat). nphot_sat is the number of valid
// entries, written by saturn_illumination (0 until it runs): the engine
// launches exactly that many planet photons. flux_sat is the planet-shine
// flux onto unit ring-plane area that those photons carry (the value
// saturn_illumination returns), in units of F where pi F is the solar flux:
// direct sunlight at elevation bsun gives pi * sin(bsun) in the same units.
// The engine turns its sums into I/F with it.
struct satcom4_t {
    double xsat[max_sat_phot + 1];
    double ysat[max_sat_phot + 1];
    double zsat[max_sat_phot + 1];
    std::int32_t nphot_sat;
    double flux_sat;
};
extern satcom4_t satcom4;

}  // namespace quillet
