// Planet-shine as a photon source: the planet's sunlit zones seen from the
// particle field, their flux onto the ring plane, and one source direction per
// planet photon in satcom4.
#pragma once

#include <cstdint>

namespace quillet {

// bsun, lonsun: the Sun's elevation and azimuth in degrees; nphot_ori: the
// photon budget shared among the zones. Out: nphot, the planet photons
// written to satcom4, and flux_sat, the total planet-shine flux.
// Whether a planet model code has a zone brightness factor (1-6 mixtures and
// Lambert, 11-14 single laws); any other code makes the planet send no light.
constexpr bool planet_model_sends_light(std::int32_t model_sat) {
    return (model_sat >= 1 && model_sat <= 6) || (model_sat >= 11 && model_sat <= 14);
}

void saturn_illumination(double bsun, double lonsun, std::int32_t nphot_ori, std::int32_t& nphot,
                         double& flux_sat);

}  // namespace quillet
