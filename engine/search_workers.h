// The driver's choice of search for the run (its working state is each
// worker's search_scratch, trace/search_scratch.h).
#pragma once

#include "trace/search_scratch.h"

namespace quillet {

// Set by the driver from its command line: test every grid cell (the
// straightforward scan, the reference) instead of only those near the ray.
struct search_options_t {
    bool full_scan;
};
extern search_options_t search_options;

}  // namespace quillet
