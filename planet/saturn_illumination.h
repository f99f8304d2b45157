// Planet-shine as a photon source: the planet's sunlit zones seen from the
// particle field, their flux onto the ring plane, and one source direction per
// planet photon in satcom4.
#pragma once

#include <cstdint>

namespace quillet {

// bsun, lonsun: the Sun's elevation and azimuth in degrees; nphot_ori: the
// photon budget shared among the zones. Out: nphot, the planet photons
// written to satcom4, and flux_sat, the total planet-shine flux.
void saturn_illumination(double bsun, double lonsun, std::int32_t nphot_ori, std::int32_t& nphot,
                         double& flux_sat);

}  // namespace quillet
