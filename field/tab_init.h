// Sorts the particles into the horizontal search grid of mx x my cells.
#pragma once

#include "field/particle_field.h"

namespace quillet {

// Builds the field's search grid (mx x my), its walk grid and its shadow grid
// from its particle tables.
void tab_init(particle_field& field);

}  // namespace quillet
