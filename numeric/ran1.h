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

// A negative idum reseeds the state and is set to 1; any other value is only
// read. Returns a deviate in [0, 1] (both ends can occur).
float ran1(ran1_state& s, std::int32_t& idum);

// True when ran1 can be in state s: each generator below its modulus and not
// negative, every shuffle slot a deviate in [0, 1] (a state read back from a
// file is checked with it).
bool ran1_state_valid(const ran1_state& s);

// Where the deviates of a photon come from, handed explicitly to the launch
// and to every sampler: in a threaded run the photon's own counter-based
// stream; in the serial run the run's one ran1 generator, which every photon
// draws from in turn (with a constant, non-reseeding seed).
class random_draws {
public:
    explicit random_draws(photon_stream& own) : stream_(&own) {}
    explicit random_draws(ran1_state& shared) : shared_(&shared) {}

    double next() {
        if (stream_) return stream_->next();
        std::int32_t one = 1;
        return ran1(*shared_, one);
    }

private:
    photon_stream* stream_ = nullptr;
    ran1_state* shared_ = nullptr;
};

}  // namespace quillet
