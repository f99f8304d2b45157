#include "planet/saturn_illumination.h"

namespace quillet {

// Placeholder until the planet source is built: no planet photon.
void saturn_illumination(double, double, std::int32_t, std::int32_t& nphot, double& flux_sat) {
    nphot = 0;
    flux_sat = 0.0;
}

}  // namespace quillet
