// Viewing geometry: each observer direction of the deck, given by a phase
// angle or by an azimuth relative to the Sun, becomes an azimuth in the Sun's
// frame (the frame of lonsun). Angles are in degrees here and in the deck;
// only the trigonometry works in radians.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillet {

// Deck values of fiiobs from this threshold up encode 1000 + the azimuth
// relative to the Sun; below it they are phase angles.
constexpr double relative_azimuth_threshold = 820.0;

// The report line of one direction, layout (a16,2f8.3,f12.6):
// "   lat,fii,alpha" then latitude, azimuth and phase angle.
std::string direction_line(double lat, double fii, double alpha);

// The phase angles that an observer at elevation latobs can see with the Sun
// at elevation bsun (degrees): from |bsun - latobs| (observer at the Sun's
// azimuth) to 180 - |bsun + latobs| (at the opposite azimuth).
struct phase_range_t {
    double lowest;
    double highest;
};
phase_range_t phase_range(double bsun, double latobs);

// Converts fiiobs[1..ntest] in place into observer azimuths and prints one
// direction line per direction. A direction that cannot be observed is
// rejected with an input_error whose message starts with where_of(k) (source,
// line and deck record of direction k): an elevation of 0 (the observer in the
// ring plane: the I/F divides by the sine of the elevation) or beyond +-90
// degrees, a phase angle that cannot occur at that elevation, or a phase
// angle of 0 (the Sun's own direction) at an elevation other than the Sun's.
void viewing_geometry(double bsun, double lonsun, int ntest, double* fiiobs, const double* latobs,
                      const std::function<std::string(int)>& where_of);

// The same, every direction located by one text.
void viewing_geometry(double bsun, double lonsun, int ntest, double* fiiobs, const double* latobs,
                      std::string_view where);

}  // namespace quillet
