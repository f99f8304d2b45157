// The exact sphere test of the ray searches.
#pragma once

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/particle_field.h"
#include "field/field_records.h"

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

// Distance t > 0 at which the ray enters the sphere of centre (x, y, z),
// squared radius r2 and radius r, or a value <= 0 when it does not: the
// centre lies behind the start point, the ray misses, or the start point is
// inside or on the sphere (the self-hit rule above, with the start point's
// reach).
inline double sphere_entry_at(double x, double y, double z, double r2, double r, double x0, double y0, double z0,
                              double ux, double uy, double uz, double reach) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    if (b < 0.0) return -1.0;
    const double dd = dx * dx + dy * dy + dz * dz;
    const double disc = b * b - dd + r2;
    if (disc < 0.0) return -1.0;
    const double t = b - std::sqrt(disc);
    // On the surface t is 0 in exact arithmetic; rounding leaves a few ulps.
    if (t <= 0.0 || (t <= self_hit * r && start_on_or_inside(dd, r2, r, reach))) return -1.0;
    return t;
}

// The same value computed without a branch on the two early outs (whose
// outcomes a branch predictor cannot learn); the square root is taken of
// max(disc, 0), which is disc wherever the result is used.
inline double sphere_entry_unbranched(double x, double y, double z, double r2, double r, double x0, double y0,
                                      double z0, double ux, double uy, double uz, double reach) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    const double dd = dx * dx + dy * dy + dz * dz;
    const double disc = b * b - dd + r2;
    const double t = b - std::sqrt(max_or_nan(0.0, disc));  // disc < 0 ? 0 : disc (NaN stays NaN)
    const bool self = (!(t > 0.0)) | ((t <= self_hit * r) & start_on_or_inside(dd, r2, r, reach));
    const bool met = !(b < 0.0) & !(disc < 0.0) & !self;
    return met ? t : -1.0;
}

// The same for a start point at a scattering point (unlimited reach: every
// entry within the self-hit distance is passed over), without the test of
// the start point.
inline double sphere_entry_from_scattering(double x, double y, double z, double r2, double r, double x0, double y0,
                                           double z0, double ux, double uy, double uz) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + r2;
    const double t = b - std::sqrt(max_or_nan(0.0, disc));
    const bool met = !(b < 0.0) & !(disc < 0.0) & !(t <= self_hit * r);
    return met ? t : -1.0;
}

// ... of particle k.
inline double sphere_entry(const particle_field& field, std::int32_t k, double x0, double y0, double z0, double ux,
                           double uy, double uz, double reach) {
    return sphere_entry_at(field.xpart[k], field.ypart[k], field.zpart[k], field.rpart2[k], field.rpart[k], x0, y0, z0,
                           ux, uy, uz, reach);
}

}  // namespace quillet
