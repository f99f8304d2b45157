// The threaded (and distributed) run. The photons are cut into fixed blocks
// (engine/photon_blocks.h); workers take the blocks in turn, every photon
// draws from its own counter-based stream keyed by the deck's seed and its
// photon number, and each block's sums start from zero and are added to the
// run's sums strictly in block order. The result files therefore do not
// depend on the number of threads or processes; they differ from the serial
// run's, which draws all photons from the run's one ran1 generator.
#pragma once

#include <cstdint>

#include "field/particle_field.h"

namespace quillet {

struct engine_run;

// The workers present in this process's CPU set (what --threads 0 means).
std::int32_t available_cores();

// Runs this process's blocks of the run (all of them, or its share of a
// distributed run or of a part) with run.options->parallel.threads workers,
// and hands them in block order to the run's tallies, the first process or
// the partial file; or merges the partial files.
void run_photons_parallel(const particle_field& field, const engine_run& run);

// --photon N: photon N of the threaded run alone, on this thread, from its
// own stream. The photons of its block before it run first with their report
// lines left out, so that it starts as it does in the whole run (a block
// carries the start distance from photon to photon when the source lies in
// the ring plane).
void replay_photon(const particle_field& field, const engine_run& run, std::int64_t n);

}  // namespace quillet
