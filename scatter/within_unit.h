// The evaluators take the angle from a cosine that the peel-off forms as a dot
// product of unit vectors; rounding can carry it a few units past +-1, where
// acos would return NaN and poison the brightness sums. Values inside
// [-1, 1] pass unchanged, so in-range results are bit for bit the same.
#pragma once

namespace quillet {

inline double within_unit(double cose) { return cose > 1.0 ? 1.0 : (cose < -1.0 ? -1.0 : cose); }

}  // namespace quillet
