// The shadow tests of a scattering point, compiled per instruction set with
// the other searches that test spheres in vector lanes (sphere_lanes.cpp).
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "trace/search_scratch.h"
#include "trace/tab_choose.h"

namespace quillet {

// The shadow tests of one scattering point toward many observer directions
// (a packet): for each i < n with wanted[i], blocker[i] is the ipart of the
// occlusion search from (x0, y0, z0) along dirs[i] with `excluded` skipped in
// the first box: a particle >= 1 when the way is blocked (any one in the way;
// the first of the list in a traced run), else 0 or a wall code; 0 where not
// wanted.
// Directions whose way the field's shadow grid shows free of
// particles are not searched: they only step through their boxes, to the
// same wall code and slice count; where it finds a particle of the first
// box in the way, that one is the blocker.
void shadow_packet(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                   std::int32_t excluded, std::int32_t n, const search_direction* dirs, const bool* wanted,
                   std::int32_t* blocker);

// That pre-test for one direction from a scattering point on or in particle
// `excluded`: 0 where the occlusion search finds the way free, a particle
// that is in the way, or -1 where the pre-test cannot tell (it may be
// blocked, or the pre-test does not apply, as for a ray too flat for the
// shadow grid's reach).
std::int32_t shadow_pretest(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                            const search_direction& d, std::int32_t excluded);

}  // namespace quillet
