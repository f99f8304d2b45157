// Shared records of the imaging engine: escape records, observer vectors,
// per-direction sums (in total, by scattering order and by numbers of ring and
// haze scatterings), the current photon's brightness, the images, the
// launch-grid and entry-pixel state and the emulation flags. The engine set-up
// fills or clears them, the photon loop and the peel-off accumulate into
// them, the output writes them. Tables are 1-based (entry 0 unused) except the
// scattering counts of the haze table, which start at 0.
#pragma once

#include <cstdint>

namespace quillet {

constexpr int max_test = 100;        // observer directions the engine stores
constexpr int max_order = 50;        // scattering orders kept apart
constexpr int max_ring_count = 20;   // ring scatterings kept apart in the haze table
constexpr int max_haze_count = 50;   // haze scatterings kept apart in the haze table
constexpr int max_phot = 1000000;        // photons per run (escape records)
constexpr int max_pix = 1024;            // image width and height
constexpr int image_cells = max_pix * max_pix;
constexpr int n_image_planes = 10;       // orders 1..9, then all orders >= 10
constexpr int n_hist_fii = 180;          // escape histogram: 2-degree azimuth bins
constexpr int n_hist_lat = 90;           // ... 2-degree latitude bins
constexpr int n_hist_planes = 10;        // ... one plane per number of searches

// Pixel (ix, iy) of an image, both 1-based: element (iy - 1) * 1024 + ix.
inline int pixel(int ix, int iy) { return (iy - 1) * max_pix + ix; }

// Pixel column (or row) of a folded coordinate v in [-l, l] on n pixels:
// int((v + l) / (2 l) * n) + 1, kept inside 1..n (a point that rounding
// leaves on the far edge belongs to the last pixel).
inline std::int32_t pixel_index(double v, double l, std::int32_t n) {
    std::int32_t i = std::int32_t((v + l) / (2.0 * l) * n) + 1;
    if (i > n) i = n;
    if (i < 1) i = 1;
    return i;
}

// Escape record of each photon, indexed by photon number (single precision).
struct com5_t {
    float esc_lat[max_phot + 1];     // asin(ez), radians
    float esc_fii[max_phot + 1];     // atan2(ey, ex) - rot, radians
    float esc_weight[max_phot + 1];  // photon weight at escape
    float esc_sca[max_phot + 1];     // number of scatterings
};
extern com5_t com5;

// Per-direction sums of the peel-off contributions.
struct com7_t {
    double testw[max_test + 1];      // sum of contributions
    double testw_sig[max_test + 1];  // sum of their squares; the spread after the run
    double testw_n[max_test + 1];    // number of contributions
};
extern thread_local constinit com7_t com7;

// Sum by scattering order: testw_order[order][itest]; order 50 collects all
// orders from 50 on.
struct com8_t {
    double testw_order[max_order + 1][max_test + 1];
};
extern thread_local constinit com8_t com8;

// Sum by numbers of scatterings of the photon so far on ring particles
// (n_ring, capped at 20) and on haze particles (n_haze, capped at 50):
// testw_haze[n_haze][n_ring][itest]. 0.9 MB: each worker keeps its own on the
// heap (engine/photon_state.h); this thread's is *com8_haze_of_thread, the
// main thread's com8_haze_main.
struct com8_haze_t {
    double testw_haze[max_haze_count + 1][max_ring_count + 1][max_test + 1];
};
extern com8_haze_t com8_haze_main;
extern thread_local constinit com8_haze_t* com8_haze_of_thread;

// Maps of where the light toward observer direction 1 was scattered, one per
// order 1..9 and one for all higher orders (single precision).
struct imagecom1_t {
    float test_image[n_image_planes + 1][image_cells + 1];
};
extern imagecom1_t imagecom1;

// x and y of every pixel centre (single precision).
struct imagecom3_t {
    float ximage[image_cells + 1];
    float yimage[image_cells + 1];
};
extern imagecom3_t imagecom3;

// First scatterings at each photon's entry pixel: visible from observer
// direction 1, and all of them.
struct imagecom11_t {
    std::int32_t vis_image[image_cells + 1];
    std::int32_t ill_image[image_cells + 1];
};
extern imagecom11_t imagecom11;

// Run-wide sums that only the engine reads: per-direction sums of each
// photon's brightness (after its first scattering and at its end) and of
// their squares, and the search count.
struct engine_sums_t {
    double sum_all[max_test + 1];
    double sumsq_all[max_test + 1];
    double sum_first[max_test + 1];
    double sumsq_first[max_test + 1];
    std::int64_t nsearch;  // path searches of all photons
    std::int32_t ndirect;  // photons that crossed the layer unscattered
};
extern thread_local constinit engine_sums_t engine_sums;

// Escape histogram: photon weight by escape direction, one plane per number
// of searches 2..10 (single precision).
struct escape_hist_t {
    float esc_hist[n_hist_planes + 1][n_hist_lat + 1][n_hist_fii + 1];  // [plane][lat][fii]
};
extern escape_hist_t escape_hist;

}  // namespace quillet
