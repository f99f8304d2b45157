// A photon in flight, as one value: where it is and where it goes, what it
// carries, the particle it last scattered on, the counters of its path, its
// random draws and its brightness toward each observer direction. The launch
// makes it; the search, the scattering and the peel-off take it by reference.
#pragma once

#include <cstdint>

#include "numeric/ran1.h"
#include "trace/trace_records.h"

namespace quillet {

struct photon_direction {
    double ex, ey, ez;
};

struct photon {
    photon(std::int32_t iphot, random_draws rng, double* bphot) : iphot(iphot), rng(rng), bphot(bphot) {}

    double px = 0.0, py = 0.0, pz = 0.0;  // position
    double ex = 0.0, ey = 0.0, ez = 0.0;  // direction
    double weight = 1.0;                  // 1 at launch, times the albedo at each scattering
    double rot = 0.0;                     // the field's turn about the vertical for this photon, radians
    std::int32_t ipart = no_particle;     // particle of the latest scattering: the next search skips it
    std::int32_t iphot;                   // photon number
    std::int32_t iscat = 0;               // path search under way (1: from the launch)
    std::int32_t ispart = 0, ishaze = 0;  // scatterings on ring and on haze particles
    photon_direction before{};            // direction just before the latest scattering
    std::int32_t ixphot = 0, iyphot = 1;  // launch-grid column and row (a grid launch)
    std::int32_t ix_entry = 0, iy_entry = 0;  // pixel where it entered the cell
    random_draws rng;                     // its deviates, in the run's draw order
    double* bphot;                        // brightness toward directions 1..ntest (the worker's storage)
};

}  // namespace quillet
