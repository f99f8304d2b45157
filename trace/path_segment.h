// Segment search: follows a ray box by box through the periodic field until it
// enters a particle, leaves the layer, or reaches the box limit.
#pragma once

#include <cstdint>

namespace quillet {

// The start point is moved to the end point. ipart: particle entered (>= 1),
// 0 when no box is allowed, or the last wall code (-1..-4).
void path_segment(double& x0, double& y0, double& z0, double ux, double uy, double uz, std::int32_t& ipart,
                  std::int32_t mode);

}  // namespace quillet
