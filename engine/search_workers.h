// The ray searches' working state of the engine's threads: each thread's
// search_scratch, reached through search_scratch_of_thread (the main
// thread's is search_scratch_main, made for the run's field by the set-up;
// a worker's is made from it by worker_records, see photon_state.h), and the
// driver's choice of search.
#pragma once

#include "trace/search_scratch.h"

namespace quillet {

// Set by the driver from its command line: test every grid cell (the
// straightforward scan, the reference) instead of only those near the ray.
struct search_options_t {
    bool full_scan;
};
extern search_options_t search_options;

extern search_scratch search_scratch_main;
extern thread_local constinit search_scratch* search_scratch_of_thread;

}  // namespace quillet
