// Shared records of a run that the field's build and the searches read
// beside the field itself (particle_field.h): the run counts, the size
// controls of the deck, the search counters and the debug switches.
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

// Output name prefix of the test image and of the diagnostic files.
struct aug2004b_t {
    text80 testimage;
};
extern aug2004b_t aug2004b;

// The search counters (64-bit: a long run passes 2^31 candidates).
struct com11_t {
    std::int64_t npot_sum;    // candidates returned by tab_choose
    std::int64_t ntab_calls;  // calls of tab_choose
    std::int64_t nseg_calls;  // photon free paths searched by path_segment
    std::int64_t nbox_sum;    // boxes visited by those searches
};
extern thread_local constinit com11_t com11;

}  // namespace quillet
