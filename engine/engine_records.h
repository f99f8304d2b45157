// Records of the imaging engine: observer vectors, the current photon's
// brightness, the launch-grid and entry-pixel state and the emulation flags,
// and the sizes of the result tables (which engine/tallies.h holds). The
// engine set-up fills them; the photon loop and the peel-off read them.
// Tables are 1-based (entry 0 unused).
#pragma once

#include <cstdint>

namespace quillet {

constexpr int max_test = 100;        // observer directions the engine stores
constexpr int max_order = 50;        // scattering orders kept apart
constexpr int max_ring_count = 20;   // ring scatterings kept apart in the haze table
constexpr int max_haze_count = 50;   // haze scatterings kept apart in the haze table
constexpr int max_phot = 1000000;        // photons per run (escape records)
constexpr int max_pix = 1024;            // image width and height
constexpr int n_image_planes = 10;       // orders 1..9, then all orders >= 10
constexpr int n_hist_fii = 180;          // escape histogram: 2-degree azimuth bins
constexpr int n_hist_lat = 90;           // ... 2-degree latitude bins
constexpr int n_hist_planes = 10;        // ... one plane per number of searches

// Pixel column (or row) of a folded coordinate v in [-l, l] on n pixels:
// int((v + l) / (2 l) * n) + 1, kept inside 1..n (a point that rounding
// leaves on the far edge belongs to the last pixel).
inline std::int32_t pixel_index(double v, double l, std::int32_t n) {
    std::int32_t i = std::int32_t((v + l) / (2.0 * l) * n) + 1;
    if (i > n) i = n;
    if (i < 1) i = 1;
    return i;
}

// Unit vectors toward the observer directions, rotated with the photon. The
// launch sets the photon's turn of the field (rot); obs_x and obs_y are turned
// by it when a scattering first needs them (turn_observers: a photon that
// never scatters needs none), from the cosines of the elevations and the
// azimuths of the deck (coslat, fii). Directions of one azimuth share its
// turn (same_fii: the first direction with that azimuth; cos_turn, sin_turn:
// the cosine and sine of its turned azimuth).
struct com6_t {
    double obs_x[max_test + 1];
    double obs_y[max_test + 1];
    double obs_z[max_test + 1];
    double coslat[max_test + 1];
    double fii[max_test + 1];
    std::int32_t same_fii[max_test + 1];
    double cos_turn[max_test + 1];
    double sin_turn[max_test + 1];
    double rot;
    bool turned;  // obs_x and obs_y are those of rot
};
extern thread_local constinit com6_t com6;

// Brightness toward each direction gathered during the current photon.
struct com14_t {
    double bphot[max_test + 1];
};
extern thread_local constinit com14_t com14;

struct imagecom2_t {
    std::int32_t nxpix;   // image switch: the maps are kept when >= 1
    std::int32_t ixphot;  // launch-grid column of the current photon
    std::int32_t iyphot;  // launch-grid row
};
extern thread_local constinit imagecom2_t imagecom2;

// Emulation flags: A widens the start distance (factor 1.01 instead of
// 1.000001); B stops the folding into the central cell after each scattering
// and before each visibility test.
struct aug2004a_t {
    std::int32_t emulate_a;
    std::int32_t emulate_b;
};
extern aug2004a_t aug2004a;

struct feb2006a_t {
    std::int32_t ix_entry;     // pixel column of the photon's entry point
    std::int32_t iy_entry;     // pixel row
    std::int32_t ntest_image;  // test images written: 1 when ntest > 1, else ntest
};
extern thread_local constinit feb2006a_t feb2006a;

struct nov2004a_t {
    std::int32_t nxpix;
    std::int32_t nypix;
    std::int32_t nxphot;
    std::int32_t nyphot;
};
extern nov2004a_t nov2004a;

}  // namespace quillet
