// Natural and clamped cubic splines over tables indexed 1..n (element 0 of
// each array is unused): spline() prepares the second derivatives once per
// table, splint() evaluates by bisection. Outside the table the end interval's
// cubic is extended; nothing is clamped.
#pragma once

namespace quillet {

// A first derivative above this single-precision threshold marks a natural end.
constexpr double spline_natural = 1.0e30;

// x, y: n points, x strictly increasing; yp1, ypn: end derivatives or a value
// above 0.99e30 for a natural end; y2: receives n second derivatives.
void spline(const double* x, const double* y, int n, double yp1, double ypn, double* y2);

// Value at x of the spline given by xa, ya, y2a (n points).
void splint(const double* xa, const double* ya, const double* y2a, int n, double x, double& y);

}  // namespace quillet
