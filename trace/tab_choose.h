// Grid candidate search: the particles a ray may meet in the central cell.
#pragma once

#include <cstdint>

namespace quillet {

// pottab receives particle numbers in entries 1..npot (room for max_part + 1).
void tab_choose(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t& npot,
                std::int32_t* pottab);

}  // namespace quillet
