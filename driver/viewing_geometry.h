// Viewing geometry: each observer direction of the deck, given by a phase
// angle or by an azimuth relative to the Sun, becomes an azimuth in the Sun's
// frame (the frame of lonsun). Angles are in degrees here and in the deck;
// only the trigonometry works in radians.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Deck values of fiiobs from this threshold up encode 1000 + the azimuth
// relative to the Sun; below it they are phase angles.
constexpr double relative_azimuth_threshold = 820.0;

// The report line of one direction, layout (a16,2f8.3,f12.6):
// "   lat,fii,alpha" then latitude, azimuth and phase angle.
std::string direction_line(double lat, double fii, double alpha);

// Converts fiiobs[1..ntest] in place into observer azimuths and prints one
// direction line per direction. A direction that has no real azimuth (a phase
// angle that cannot occur at that latitude) is rejected with an input_error
// whose message starts with `where` (source and deck records).
void viewing_geometry(double bsun, double lonsun, int ntest, double* fiiobs, const double* latobs,
                      std::string_view where);

}  // namespace quillet
