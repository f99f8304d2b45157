// Planet-shine as a photon source: the planet's sunlit zones seen from the
// particle field, their flux onto the ring plane, and one source direction per
// planet photon.
#pragma once

#include <cstdint>

#include "planet/planet_source.h"

namespace quillet {

// Whether a planet model code has a zone brightness factor (1-6 mixtures and
// Lambert, 11-14 single laws); any other code makes the planet send no light.
constexpr bool planet_model_sends_light(std::int32_t model_sat) {
    return (model_sat >= 1 && model_sat <= 6) || (model_sat >= 11 && model_sat <= 14);
}

// bsun, lonsun: the Sun's elevation and azimuth in degrees; nphot_ori: the
// photon budget shared among the zones. Prints the "SATURN:" report line.
planet_photons saturn_illumination(double bsun, double lonsun, std::int32_t nphot_ori, const planet_settings& s);

}  // namespace quillet
