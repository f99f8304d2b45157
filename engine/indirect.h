// Peel-off: at each scattering, the part of the photon's weight that leaves
// straight toward each observer direction, after a visibility test along the
// way out.
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "engine/engine_records.h"
#include "trace/tab_choose.h"

namespace quillet {

// The observer directions prepared for the searches, kept while the photon's
// (rotated) directions stay the same: prepared once per photon instead of
// once per scattering and direction. A cache of this thread's (n = 0: empty).
struct prepared_directions {
    double ox[max_test + 1], oy[max_test + 1], oz[max_test + 1];
    search_direction dir[max_test];
    std::int32_t n;
};
extern thread_local constinit prepared_directions observers;

// Turns the photon's observer directions (com6) by its rot.
void turn_observers(std::int32_t ntest);

// (px, py, pz): the scattering point as scatter(field) left it; ipart: the
// particle; iscat: the scattering order (1 = first). Adds to com14, com7,
// com8, com8_haze and, with the image switch on, to the maps; leaves ipart in
// com12. check_reverse: whether a first scattering searches its reversed
// incoming path (the "IVIS3" check, which never changes a contribution).
void indirect(const particle_field& field, double px, double py, double pz, std::int32_t ipart, std::int32_t iscat,
              bool check_reverse = true);

}  // namespace quillet
