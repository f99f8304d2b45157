// The current particle of the photon: the scattering step stores it, and the
// ray searches skip it in the first periodic box (-999: none).
#pragma once

#include <cstdint>

namespace quillet {

constexpr std::int32_t no_particle = -999;

struct com12_t {
    std::int32_t ipart;   // particle of the current scattering, excluded from the next search
    std::int32_t method;  // ring-particle scattering-law code
};
extern com12_t com12;

}  // namespace quillet
