// The pieces of the planet source that saturn_illumination puts together: the
// zone grid, the photometric laws of the planet's belts and zones and the
// sharing of a photon budget among the zones.
#pragma once

#include <cstdint>

#include "planet/planet_source.h"

namespace quillet {

// Central latitude of row i (1 = southernmost) and central longitude of
// column j (longitude 0 faces the particle field), radians.
double zone_latitude(std::int32_t i, std::int32_t nlat_sat);
double zone_longitude(std::int32_t j, std::int32_t nfii_sat);

// The photometric laws of the belts and zones: natural splines through the
// A and B tables of each law, prepared when the object is made.
class planet_laws {
public:
    planet_laws();
    // A_t and B_t of law t = 1..4 (blue belts, blue zones, red belts, red
    // zones) at the phase angle alpha in degrees.
    void planet_law(int t, double alpha, double& a, double& b) const;

private:
    double atab_y2[5][7];
    double btab_y2[5][7];
};

// Shares nphot_ori among the zones of p.zone_flux with positive flux, in row
// then column order, each zone getting trunc(F * (nphot_ori * (1 / p.flux_sat)))
// photons, and writes their source directions into p from entry 1 on;
// p.nphot_sat becomes the photons written.
void share_planet_photons(planet_photons& p, double distance, double rsat, std::int32_t nphot_ori);

}  // namespace quillet
