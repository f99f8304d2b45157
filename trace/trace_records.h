// The excluded particle of a search when there is none (a launch, a wall).
#pragma once

#include <cstdint>

namespace quillet {

constexpr std::int32_t no_particle = -999;

}  // namespace quillet
