// Per-photon records of the scattering step: the albedo factor and the
// photon weight, the direction before the latest scattering and the photon's
// scattering counters. (The laws themselves, with their codes, parameters,
// albedos and tables, are the run's scattering_laws: law_table.h.)
#pragma once

#include <cstdint>

namespace quillet {

struct com4_t {
    double ssca;    // albedo factor of the engine parameter file (default 1.0)
    double weight;  // photon weight: 1.0 at launch, times the albedo at each scattering
};
extern thread_local constinit com4_t com4;

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

}  // namespace quillet
