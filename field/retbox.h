// Folds a horizontal position into the central periodic cell.
#pragma once

namespace quillet {

void retbox(double& x0, double& y0);

}  // namespace quillet
