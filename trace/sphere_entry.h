// The exact sphere test of the ray searches.
#pragma once

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/particle_field.h"

namespace quillet {

// The self-hit rule. A search that starts on a sphere must not meet that
// sphere (or a periodic copy of it) at the start point again, although
// rounding leaves the start point a little off the surface: an entry closer
// than self_hit times the radius is passed over when the start point lies on
// the sphere within the reach of its rounding, or inside it.
// - A start point that is a scattering point (a particle is excluded) was
//   found as an entry point; its distance from the surface carries the
//   rounding of that search, up to about eps * b^2 / r for a sphere met at
//   distance b, so such an entry is taken to be its own sphere's surface.
// - Any other start point (a launch point, or the wall point where the ray
//   entered this box) carries only the rounding of a few additions of
//   coordinates, start_rounding times their size: a sphere whose surface lies
//   further ahead is met, however close (an entry just beyond a wall is met
//   in the next box).
inline constexpr double self_hit = 1.0e-9;
inline constexpr double start_rounding = 0x1p-48;  // 16 double epsilons

// How far from the start point a sphere's surface may lie while the start
// point still counts as on it (see above): unlimited for a scattering point,
// the rounding of the coordinates otherwise.
inline double start_reach(bool from_scattering, double x0, double y0, double z0) {
    return from_scattering ? HUGE_VAL : start_rounding * (std::fabs(x0) + std::fabs(y0) + std::fabs(z0));
}

// a > b ? a : b and a < b ? a : b without a branch (SSE2 maxsd and minsd);
// both give b when either is NaN.
#if defined(__SSE2__)
inline double max_or_nan(double a, double b) { return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b))); }
inline double min_or_nan(double a, double b) { return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b))); }
#else
inline double max_or_nan(double a, double b) { return a > b ? a : b; }
inline double min_or_nan(double a, double b) { return a < b ? a : b; }
#endif

// Whether the start point, at squared distance dd from the centre of a sphere
// of radius r (squared: r2), lies on the sphere within reach (start_reach)
// or inside it: |d| <= r + tol with tol = reach + start_rounding * r.
inline bool start_on_or_inside(double dd, double r2, double r, double reach) {
    const double tol = reach + start_rounding * r;
    return dd - r2 <= tol * (2.0 * r + tol);
}

// The ray-sphere test of every search: the distance t > 0 at which the ray
// from (x0, y0, z0) along the unit vector (ux, uy, uz) enters the sphere of
// centre (x, y, z), squared radius r2 and radius r, or a value <= 0 when it
// does not: the centre lies behind the start point, the ray misses, or the
// start point is inside or on the sphere (the self-hit rule above, with the
// start point's reach). A start at a scattering point (from_scattering:
// unlimited reach) passes over every entry within the self-hit distance and
// needs no test of the start point. Computed without a branch on the early
// outs, whose outcomes a branch predictor cannot learn; the square root is
// taken of max(disc, 0), which is disc wherever the result is used. The
// lanes' test (sphere_lanes-inl.h) makes the same operations in the same
// order, so that every search gives the same distances, bit for bit.
template <bool from_scattering>
inline double sphere_entry(double x, double y, double z, double r2, double r, double x0, double y0, double z0,
                           double ux, double uy, double uz, double reach = HUGE_VAL) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    const double dd = dx * dx + dy * dy + dz * dz;
    const double disc = b * b - dd + r2;
    const double t = b - std::sqrt(max_or_nan(0.0, disc));  // disc < 0 ? 0 : disc (NaN stays NaN)
    // On the surface t is 0 in exact arithmetic; rounding leaves a few ulps.
    bool self = t <= self_hit * r;
    if constexpr (!from_scattering) self = (!(t > 0.0)) | (self & start_on_or_inside(dd, r2, r, reach));
    const bool met = !(b < 0.0) & !(disc < 0.0) & !self;
    return met ? t : -1.0;
}

// ... of particle k, from a start point of the given reach (start_reach;
// HUGE_VAL for a scattering point, whose every entry within the self-hit
// distance is then passed over).
inline double sphere_entry(const particle_field& field, std::int32_t k, double x0, double y0, double z0, double ux,
                           double uy, double uz, double reach) {
    const double r = field.rpart[k];
    return sphere_entry<false>(field.xpart[k], field.ypart[k], field.zpart[k], r * r, r, x0, y0, z0, ux, uy, uz, reach);
}

}  // namespace quillet
