// The current particle of the photon (com12), which the scattering step
// stores and the photon loop hands to the next search as the particle it
// skips in the first periodic box (no_particle: none).
#pragma once

#include <cstdint>

namespace quillet {

constexpr std::int32_t no_particle = -999;

struct com12_t {
    std::int32_t ipart;   // particle of the current scattering, excluded from the next search
};
extern thread_local constinit com12_t com12;

}  // namespace quillet
