// The run's uniform random numbers: three linear congruential generators, two
// building a single-precision deviate and the third choosing which of 97
// shuffle slots is handed out next. The draw order of a run is part of its
// result, so every single-precision step is kept exactly.
#pragma once

#include <cstdint>

#include "numeric/photon_stream.h"

namespace quillet {

struct ran1_state {
    std::int32_t ix1 = 0;
    std::int32_t ix2 = 0;
    std::int32_t ix3 = 0;
    float r[98] = {};  // shuffle slots 1..97
};

// The process-wide generator that every caller shares.
extern ran1_state ran1_global;

// A negative idum reseeds the state and is set to 1; any other value is only
// read. Returns a deviate in [0, 1] (both ends can occur).
float ran1(ran1_state& s, std::int32_t& idum);

inline float ran1(std::int32_t& idum) { return ran1(ran1_global, idum); }

// The stream of the photon a worker of a threaded run is tracing; null in the
// serial run, where every draw comes from the shared generator.
extern thread_local constinit photon_stream* photon_draws;

// The draw of the samplers and the photon loop: the current photon's stream
// in a threaded run, else the shared generator with a constant,
// non-reseeding seed.
inline double ran1_draw() {
    if (photon_draws) return photon_draws->next();
    std::int32_t one = 1;
    return ran1(ran1_global, one);
}

}  // namespace quillet
