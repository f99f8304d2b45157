// Sorts the particles into the horizontal search grid of mx x my cells.
#pragma once

#include "field/particle_field.h"

namespace quillet {

// Builds the field's search grid (mx x my), its walk grid and its shadow grid
// from its particle tables, and puts the particle tables in the grid's cell
// order (ilist and place: the particles' numbers of the entries, and the
// entries of the numbers); with options.idebug >= 1 it writes the grid, with
// the particles' numbers, to testimage.CHECK_POS_LIST.
void tab_init(particle_field& field, const field_build_options& options = {});

}  // namespace quillet
