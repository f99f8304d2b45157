// Folds a horizontal position into the central periodic cell.
#pragma once

#include "field/particle_field.h"

namespace quillet {

void retbox(const particle_field& field, double& x0, double& y0);

}  // namespace quillet
