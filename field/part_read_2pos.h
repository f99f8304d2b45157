// Loads the particle field: the Particle position file (and an optional haze
// file) into the particle tables, with size cut, enlargement, optical depth,
// layer bounds and the edge copies that make the central cell self-contained.
#pragma once

#include "format/text_field.h"

namespace quillet {

// file: the Particle position file; file_haze: the haze file or "junk".
void part_read_2pos(const text80& file, const text80& file_haze);

}  // namespace quillet
