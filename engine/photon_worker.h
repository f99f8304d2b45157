// What one worker (the calling thread of a serial run, each thread of a
// threaded one) keeps for the photons it runs: the peel-off's storage, sized
// for the run's directions, the tallies its photons score into and the
// working state of its searches.
#pragma once

#include "engine/peel_off.h"
#include "engine/tallies.h"
#include "trace/search_scratch.h"

namespace quillet {

struct photon_worker {
    photon_worker(const peel_off_settings& peel_set, tallies& t, search_scratch& scratch)
        : peel(peel_set.dirs), t(t), scratch(scratch) {}
    peel_off_state peel;
    tallies& t;                // its own in a threaded run, the run's total otherwise
    search_scratch& scratch;   // its own in a threaded run, the run's main one otherwise
};

}  // namespace quillet
