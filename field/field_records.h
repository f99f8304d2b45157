// The table limits of the field, and records of the run that the engine,
// the scattering step and the result files read: the run counts and print
// level, the size controls of the deck and the debug switches. The field's
// build and the searches take what they need as arguments
// (field_build_options, search_settings).
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "format/text_field.h"

namespace quillet {

constexpr int max_part = 400000;   // ring + haze particles + edge copies
constexpr int max_cells = 160000;  // search-grid cells mx*my

struct com3_t {
    std::int32_t ntest;     // observer directions
    std::int32_t nbox;      // most boxes of a photon free path
    std::int32_t icheck;    // print level
    std::int32_t nboxvis;   // most boxes of an occlusion test
};
extern com3_t com3;

// Size controls from the deck.
struct maincom1_t {
    double sizemin;  // ring particles below this radius are dropped (when > 0)
    double s20;      // ring particles up to this radius are enlarged (when > 0)
    double f20;      // ... by this factor
};
extern maincom1_t maincom1;

// Debug state of the photon being traced.
struct debug1_t {
    std::int32_t iphot;   // photon number
    std::int32_t iscat;   // path search of the photon
    std::int32_t ibox;    // periodic box of the current segment search
    std::int32_t idebug;  // >= 1: diagnostic files and traces; = iphot: grid-search trace
};
extern thread_local constinit debug1_t debug1;

}  // namespace quillet
