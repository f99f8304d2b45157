#include "driver/viewing_geometry.h"

#include <cmath>

#include "driver/fixed_layout.h"
#include "format/free_writer.h"
#include "format/run_error.h"

namespace quillet {

namespace {

constexpr double rad = 0.017453292519943295;  // pi/180
constexpr double deg = 57.29577951308232;     // 180/pi

// An arccos argument this close beyond +-1 is rounding of a direction on the
// boundary (phase angle equal to the difference of the elevations, or their
// sum), where the exact value is +-1: up to a few units of the last place.
constexpr double acos_slack = 1.0e-12;

}  // namespace

std::string direction_line(double lat, double fii, double alpha) {
    return fortran_a("lat,fii,alpha", 16) + fortran_f(lat, 8, 3) + fortran_f(fii, 8, 3) + fortran_f(alpha, 12, 6);
}

phase_range_t phase_range(double bsun, double latobs) {
    return {std::fabs(bsun - latobs), 180.0 - std::fabs(bsun + latobs)};
}

namespace {

// Phase angles of (nearly) 0 keep the Sun's azimuth; they name the Sun's own
// direction, so the elevations must agree to the same tolerance.
constexpr double zero_phase = 1.0e-6;

std::string allowed_phases(double bsun, double phi) {
    const phase_range_t range = phase_range(bsun, phi);
    return "the phase angles an observer at elevation " + free_format(phi) + " can see with the Sun at elevation " +
           free_format(bsun) + " run from " + free_format(range.lowest) + " to " + free_format(range.highest) +
           " degrees";
}

}  // namespace

void viewing_geometry(double bsun, double lonsun, int ntest, double* fiiobs, const double* latobs,
                      const std::function<std::string(int)>& where_of) {
    const double sinb = std::sin(bsun * rad);
    const double cosb = std::cos(bsun * rad);
    for (int k = 1; k <= ntest; ++k) {
        const double phi = latobs[k];
        const double f = fiiobs[k];
        const auto reject = [&](const std::string& what) {
            throw input_error(where_of(k) + ": observer direction " + std::to_string(k) + " (latitude " +
                              free_format(phi) + ", " + (f < relative_azimuth_threshold ? "phase angle " : "fiiobs ") +
                              free_format(f) + ") " + what);
        };
        if (std::isfinite(phi) && (phi == 0.0 || std::fabs(phi) > 90.0))
            reject("cannot be seen: expected an observer elevation latobs from -90 to 90 degrees other than 0 "
                   "(the I/F of an observer in the ring plane divides by the sine of 0)");
        double alpha, delta;
        if (f < relative_azimuth_threshold) {
            alpha = f;
            if (std::fabs(alpha) <= zero_phase) {
                if (std::fabs(bsun - phi) > zero_phase)
                    reject("cannot be seen with the Sun at elevation " + free_format(bsun) +
                           ": a phase angle of 0 looks from the Sun's own direction; " + allowed_phases(bsun, phi));
                delta = 0.0;
            } else {
                double arg = (std::cos(alpha * rad) - sinb * std::sin(phi * rad)) / (cosb * std::cos(phi * rad));
                if (!(std::fabs(arg) <= 1.0 + acos_slack))
                    reject("cannot be seen with the Sun at elevation " + free_format(bsun) +
                           ": the arccos argument of its azimuth is " + free_format(arg) + ", outside -1..1; " +
                           allowed_phases(bsun, phi));
                delta = deg * std::acos(std::fmax(-1.0, std::fmin(1.0, arg)));
            }
        } else {
            delta = f - 1000.0;
            double arg = cosb * std::cos(phi * rad) * std::cos(delta * rad) + sinb * std::sin(phi * rad);
            // Bounded by 1 in exact arithmetic; only rounding can step past it.
            if (arg > 1.0) arg = 1.0;
            if (arg < -1.0) arg = -1.0;
            alpha = deg * std::acos(arg);
        }
        fiiobs[k] = lonsun + delta;
        if (!std::isfinite(phi) || !std::isfinite(fiiobs[k]) || !std::isfinite(alpha))
            throw input_error(where_of(k) + ": observer direction " + std::to_string(k) + " (latitude " +
                              free_format(phi) + ", fiiobs " + free_format(f) + ") with the Sun at elevation " +
                              free_format(bsun) + ", azimuth " + free_format(lonsun) +
                              " gives no finite azimuth and phase angle");
        say(direction_line(phi, fiiobs[k], alpha));
    }
}

void viewing_geometry(double bsun, double lonsun, int ntest, double* fiiobs, const double* latobs,
                      std::string_view where) {
    const std::string text(where);
    viewing_geometry(bsun, lonsun, ntest, fiiobs, latobs, [&](int) { return text; });
}

}  // namespace quillet
