// Folding a horizontal position into the central cell. Whole periods are
// counted in x first; each x period carries the shear sy, which is taken off y
// before the y periods are counted.
#include "field/retbox.h"

#include <cmath>
#include <cstdint>

#include "field/field_records.h"
#include "format/free_writer.h"

namespace quillet {

namespace {

// trunc of a value q >= 0 (or NaN): a conversion to a 64-bit integer and back
// where that is exact, which spares the library call of std::trunc.
inline double whole_part(double q) {
    return q < 9.0e18 ? double(std::int64_t(q)) : std::trunc(q);
}

// Whole periods of v (half-width l, reciprocal period rp): v + l divided by the
// period, toward zero, on the positive side; mirrored on the negative side.
// Kept as a double so that any finite position folds without integer overflow.
double periods(double v, double l, double rp) {
    if (v >= 0.0) return whole_part((v + l) * rp);
    return -whole_part((l - v) * rp) + 0.0;  // + 0.0: no negative zero, as an integer count has none
}

}  // namespace

void retbox(const particle_field& field, double& x0, double& y0) {
    const double i = periods(x0, field.xl, 1.0 / field.xl2);
    const double y1 = y0 - i * field.sy;
    const double j = periods(y1, field.yl, 1.0 / field.yl2);
    x0 = x0 - i * field.xl2;
    y0 = y1 - j * field.yl2;
    if (std::fabs(x0) > field.xl) say("abs(x0) > xl", x0);
    if (std::fabs(y0) > field.yl) say("abs(y0) > yl", y0);
}

}  // namespace quillet
