// The planet as a photon source: the settings the deck gives (which half of
// the planet shines, its distance and radius, the zone grid and the
// photometric model) and what saturn_illumination makes of them, the zone
// fluxes and one source direction per planet photon. Both are values owned by
// the caller; nothing here outlives a run.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

// Zones of the planet zone grid, nlat_sat * nfii_sat: 32-bit zone numbers.
constexpr std::int64_t planet_zone_limit = 2147483646;

struct planet_settings {
    std::int32_t isat = 0;     // 0 Sun; 1 whole planet; 2 southern hemisphere; 3 northern
    double distance = 0.0;     // of the particle field from the planet's centre
    double rsat = 60.4;        // planet radius, in the same unit
    std::int32_t nlat_sat = 0;
    std::int32_t nfii_sat = 0;
    std::int32_t model_sat = 0;
};

// The planet photons of one run. Unit vectors from the particle field toward
// the emitting zone, one per photon, entries 1..nphot_sat (entry 0 unused):
// the engine launches exactly these. flux_sat is the planet-shine flux onto
// unit ring-plane area that they carry, in units of F where pi F is the solar
// flux (direct sunlight at elevation bsun gives pi * sin(bsun) in the same
// units); the engine turns its sums into I/F with it.
struct planet_photons {
    std::vector<double> xsat{0.0}, ysat{0.0}, zsat{0.0};
    std::int32_t nphot_sat = 0;
    double flux_sat = 0.0;
    // Appends `count` photons from the direction (ux, uy, uz).
    void add_photons(std::int32_t count, double ux, double uy, double uz) {
        xsat.insert(xsat.end(), std::size_t(count), ux);
        ysat.insert(ysat.end(), std::size_t(count), uy);
        zsat.insert(zsat.end(), std::size_t(count), uz);
        nphot_sat += count;
    }
    // Flux that zone (row i, column j) sends onto a unit area of the ring
    // plane, rows 1..nlat_sat, columns 1..nfii_sat; 0 for a zone that is
    // dark, below the field's horizon or outside the chosen hemisphere.
    std::int32_t nlat_sat = 0, nfii_sat = 0;
    std::vector<double> zone_flux;
    double& flux_of(std::int32_t i, std::int32_t j) { return zone_flux[std::size_t(i - 1) * nfii_sat + (j - 1)]; }
    double flux_of(std::int32_t i, std::int32_t j) const {
        return zone_flux[std::size_t(i - 1) * nfii_sat + (j - 1)];
    }
};

}  // namespace quillet
