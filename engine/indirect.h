// Peel-off: at each scattering, the part of the photon's weight that leaves
// straight toward each observer direction, after a visibility test along the
// way out.
#pragma once

#include <cstdint>

namespace quillet {

// (px, py, pz): the scattering point as scatter() left it; ipart: the
// particle; iscat: the scattering order (1 = first). Adds to com14, com7,
// com8, com8_haze and, with the image switch on, to the maps; leaves ipart in
// com12. check_reverse: whether a first scattering searches its reversed
// incoming path (the "IVIS3" check, which never changes a contribution).
void indirect(double px, double py, double pz, std::int32_t ipart, std::int32_t iscat, bool check_reverse = true);

}  // namespace quillet
