// Sorts the particles into the horizontal search grid of mx x my cells.
#pragma once

namespace quillet {

void tab_init();

}  // namespace quillet
