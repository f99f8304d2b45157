// The limits that the field's 32-bit numbers set: its tables are sized from
// the particle files and the deck, but particles and grid cells are counted
// in 32-bit integers.
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "format/text_field.h"

namespace quillet {

// Ring + haze particles + edge copies: 1-based 32-bit particle numbers, and
// the sphere tables run walk_lanes entries past the last one.
constexpr std::int64_t particle_number_limit = 2147483647 - walk_lanes - 1;
// Search-grid cells mx*my: 32-bit cell numbers, 1-based.
constexpr std::int64_t cell_number_limit = 2147483646;

}  // namespace quillet
