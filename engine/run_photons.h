// Runs all photons of a run as its options say: serial or threaded (over
// the processes of a distributed run too), a part, a merge, or the replay of
// one photon.
#pragma once

#include "field/particle_field.h"

namespace quillet {

struct engine_run;

void run_photons(const particle_field& field, const engine_run& run);

}  // namespace quillet
