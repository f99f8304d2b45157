// The table limits of the field.
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "format/text_field.h"

namespace quillet {

constexpr int max_part = 400000;   // ring + haze particles + edge copies
constexpr int max_cells = 160000;  // search-grid cells mx*my

}  // namespace quillet
