// Segment search: follows a ray box by box through the periodic field until it
// enters a particle, leaves the layer, or reaches the box limit.
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "trace/search_scratch.h"
#include "trace/tab_choose.h"

namespace quillet {

// The search of the field for `kind` (search_kind) from (x0, y0, z0): the
// start point is moved to the end point. ipart: particle entered (>= 1), 0
// when no box is allowed, or the last wall code (-1..-4). The particle
// `excluded` (the one a photon scattered on; no_particle: none) is skipped in
// the first box.
void path_segment(const particle_field& field, search_scratch& s, double& x0, double& y0, double& z0, double ux,
                  double uy, double uz, std::int32_t& ipart, search_kind kind, std::int32_t excluded);
// ... along a prepared direction (the same answer).
void path_segment(const particle_field& field, search_scratch& s, double& x0, double& y0, double& z0,
                  const search_direction& d, std::int32_t& ipart, search_kind kind, std::int32_t excluded);

}  // namespace quillet
