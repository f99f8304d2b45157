// The exact sphere test of the ray searches.
#pragma once

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field/field_records.h"

namespace quillet {

// An entry closer than this fraction of the radius is the start point itself.
inline constexpr double self_hit = 1.0e-9;

// a > b ? a : b and a < b ? a : b without a branch (SSE2 maxsd and minsd);
// both give b when either is NaN.
#if defined(__SSE2__)
inline double max_or_nan(double a, double b) { return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b))); }
inline double min_or_nan(double a, double b) { return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b))); }
#else
inline double max_or_nan(double a, double b) { return a > b ? a : b; }
inline double min_or_nan(double a, double b) { return a < b ? a : b; }
#endif

// Distance t > 0 at which the ray enters the sphere of centre (x, y, z),
// squared radius r2 and radius r, or a value <= 0 when it does not: the
// centre lies behind the start point, the ray misses, or the start point is
// inside or on the sphere.
inline double sphere_entry_at(double x, double y, double z, double r2, double r, double x0, double y0, double z0,
                              double ux, double uy, double uz) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    if (b < 0.0) return -1.0;
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + r2;
    if (disc < 0.0) return -1.0;
    const double t = b - std::sqrt(disc);
    // On the surface t is 0 in exact arithmetic; rounding leaves a few ulps.
    if (t <= self_hit * r) return -1.0;
    return t;
}

// The same value computed without a branch on the two early outs (whose
// outcomes a branch predictor cannot learn); the square root is taken of
// max(disc, 0), which is disc wherever the result is used.
inline double sphere_entry_unbranched(double x, double y, double z, double r2, double r, double x0, double y0,
                                      double z0, double ux, double uy, double uz) {
    const double dx = x0 - x, dy = y0 - y, dz = z0 - z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + r2;
    const double t = b - std::sqrt(max_or_nan(0.0, disc));  // disc < 0 ? 0 : disc (NaN stays NaN)
    const bool met = !(b < 0.0) & !(disc < 0.0) & !(t <= self_hit * r);
    return met ? t : -1.0;
}

// ... of particle k.
inline double sphere_entry(std::int32_t k, double x0, double y0, double z0, double ux, double uy, double uz) {
    return sphere_entry_at(com1.xpart[k], com1.ypart[k], com1.zpart[k], com1.rpart2[k], com1.rpart[k], x0, y0, z0,
                           ux, uy, uz);
}

}  // namespace quillet
