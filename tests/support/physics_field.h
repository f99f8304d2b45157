// Particle fields for the physics validation, made in the test itself: a
// horizontally periodic slab of equal spheres placed independently (the
// random medium of classical radiative transfer) or without overlaps (random
// sequential addition, for dense layers), and the unscattered fraction of a
// field computed from its particles alone, by projecting every sphere onto
// the mid-plane along the beam.
#pragma once

#include <cstdint>
#include <vector>

#include "support/engine_fixture.h"

namespace quillet::physics {

using testing_support::field_spec;
using testing_support::sphere;

// A slab of equal spheres of radius r in the cell [-xl, xl] x [-yl, yl]
// (shear sy). The count is the nearest whole number to tau * 4 xl yl / (pi r^2)
// and the centres are uniform in the cell and in z in [-h/2, h/2], with h
// chosen so that the volume filling factor, particle volume over cell area
// times h, is `filling`: h = 4 tau r / (3 filling).
struct slab_request {
    double xl = 100.0, yl = 100.0, sy = 0.0;
    double r = 1.0;
    double tau = 0.5;
    double filling = 0.01;
    bool overlap = true;  // false: no two spheres overlap (periodic distances)
    std::uint64_t seed = 1;
};

struct slab_field {
    field_spec field;
    double tau = 0.0;       // sum of pi r^2 over the cell area
    double filling = 0.0;   // particle volume / (cell area * h)
    double h = 0.0;         // height range of the centres
    double zmin = 0.0, zmax = 0.0;  // lowest bottom, highest top of the spheres
};

// Throws std::runtime_error when random sequential addition cannot place a
// sphere within 100000 tries.
slab_field make_slab(const slab_request& req);

// Fraction of launch points (uniform over the cell, on the mid-plane z = 0)
// whose straight line along the unit direction (ex, ey, ez) meets no sphere of
// the periodic field: each sphere, and each of its periodic images, casts an
// ellipse onto the mid-plane; the fraction is counted on a raster of pixel
// centres of size `pixel`.
double unblocked_fraction(const field_spec& f, double ex, double ey, double ez, double pixel);

}  // namespace quillet::physics

namespace quillet::physics {

// Finite-D correction of single scattering in a random medium of spheres of
// radius 1 (centres placed independently, n per unit volume, n = 3 D / 4 pi).
// Classical transfer attenuates a ray of length L from a point scatterer by
// exp(-n pi L): the centres in the cylinder of radius 1 around it. In the
// field a photon that reached its scattering point P along the way in (from
// the Sun, along s) found no centre within 1 of that half-line (the capsule
// around it); the simulator's way out toward the observer starts at S (P for
// the "-point" and surface laws, the sphere's centre for the "-center" laws)
// and is blocked by the centres in the cylinder ahead of S except those whose
// sphere holds S (a ray leaving a sphere is not stopped by it). Given the way
// in, the way out is free with the probability exp(-n (cylinder - V)), so
// single scattering is brighter than the classical result by the factor
// exp(n V), with V = 2 pi / 3 (the front half-ball around S that never
// blocks) plus the volume of the blocking cylinder inside the capsule of the
// way in. For "-center" laws the impact point is uniform over the disc seen
// from the Sun. V (in units of the radius cubed) by Monte Carlo.
double shared_shadow_volume(double alpha, bool from_centre, int samples, std::uint64_t seed);

}  // namespace quillet::physics
