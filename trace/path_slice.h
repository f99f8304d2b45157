// Slice search: the first particle (or the wall) a ray meets in the central cell.
#pragma once

#include <cstdint>

namespace quillet {

// mode 1: photon free path (nearest particle, diagnostics); >= 2: occlusion
// test (first particle found); other: nearest particle, no diagnostics.
// ipart: particle number >= 1, or a wall code -1..-4; tmin: distance.
void path_slice(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t& ipart,
                double& tmin, std::int32_t mode);

}  // namespace quillet
