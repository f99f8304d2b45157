// The pieces of the planet source that saturn_illumination puts together: the
// zone grid, the photometric laws of the planet's belts and zones, the zone
// flux table and the sharing of a photon budget among the zones.
#pragma once

#include <cstdint>

#include "planet/planet_records.h"

namespace quillet {

// Flux that zone (row i, column j) sends onto a unit area of the ring plane,
// entries [1..nlat_sat][1..nfii_sat]; cleared at each saturn_illumination call.
struct satzone_t {
    double zone_flux[max_nlat_sat + 1][max_nfii_sat + 1];
};
extern satzone_t satzone;

// Central latitude of row i (1 = southernmost) and central longitude of
// column j (longitude 0 faces the particle field), radians.
double zone_latitude(std::int32_t i, std::int32_t nlat_sat);
double zone_longitude(std::int32_t j, std::int32_t nfii_sat);

// Prepares the natural splines of the eight photometric tables.
void init_planet_laws();
// A_t and B_t of law t = 1..4 (blue belts, blue zones, red belts, red zones)
// at the phase angle alpha in degrees; init_planet_laws() must have run.
void planet_law(int t, double alpha, double& a, double& b);

// Shares nphot_ori among the zones of satzone with positive flux, in row then
// column order, each zone getting trunc(F * (nphot_ori * (1 / flux_sat)))
// photons, and writes their source directions into satcom4 from entry 1 on.
// nphot: the photons written.
void share_planet_photons(std::int32_t nlat_sat, std::int32_t nfii_sat, double distance, double rsat,
                          std::int32_t nphot_ori, double flux_sat, std::int32_t& nphot);

}  // namespace quillet
