// Peel-off: at each scattering, the part of the photon's weight that leaves
// straight toward each observer direction, after a visibility test along the
// way out.
#pragma once

#include "engine/peel_off.h"
#include "engine/photon_worker.h"
#include "field/particle_field.h"
#include "scatter/law_table.h"
#include "scatter/photon.h"

namespace quillet {

// Photon ph has just scattered (scatter(field) left its position, the
// particle ph.ipart and its direction before, ph.before) at its search
// ph.iscat, the scattering order (1 = first). Adds to its brightness, to the
// worker's tallies and, with the image switch on, to its maps. check_reverse: whether a
// first scattering searches its reversed incoming path (the "IVIS3" check,
// which never changes a contribution).
void indirect(const particle_field& field, photon& ph, const scattering_laws& laws, const peel_off_settings& set,
              photon_worker& worker, bool check_reverse = true);

}  // namespace quillet
