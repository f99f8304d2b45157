// The sizes that the result files fix (scattering orders, image planes,
// histogram bins), the limits that 32-bit counts set, the photon blocks and
// the pixel of a folded coordinate. Everything else a run holds is sized from
// its deck and files at the set-up.
#pragma once

#include <cstdint>

namespace quillet {

constexpr int max_order = 50;        // scattering orders kept apart
constexpr int max_ring_count = 20;   // ring scatterings kept apart in the haze table
constexpr int max_haze_count = 50;   // haze scatterings kept apart in the haze table
// 32-bit counts: observer directions k = 1..ntest, photons 1..nphot, image
// cells 0..nxpix*nypix - 1.
constexpr std::int64_t direction_number_limit = 2147483646;
constexpr std::int64_t photon_number_limit = 2147483647;
constexpr std::int64_t image_cell_limit = 2147483647;
constexpr int n_image_planes = 10;       // orders 1..9, then all orders >= 10
constexpr int n_hist_fii = 180;          // escape histogram: 2-degree azimuth bins
constexpr int n_hist_lat = 90;           // ... 2-degree latitude bins
constexpr int n_hist_planes = 10;        // ... one plane per number of searches

// The photons of the threaded run in blocks, numbered from 0: photons per
// block are part of the result (the sums are formed per block), so fixed,
// whatever the number of threads or processes.
constexpr std::int32_t photons_per_block = 1000;
inline std::int64_t block_count(std::int64_t nphot) { return (nphot + photons_per_block - 1) / photons_per_block; }
inline std::int64_t first_photon(std::int64_t block) { return block * photons_per_block + 1; }
inline std::int64_t last_photon(std::int64_t block, std::int64_t nphot) {
    const std::int64_t last = (block + 1) * photons_per_block;
    return last < nphot ? last : nphot;
}

// Pixel column (or row) of a folded coordinate v in [-l, l] on n pixels:
// int((v + l) / (2 l) * n) + 1, kept inside 1..n (a point that rounding
// leaves on the far edge belongs to the last pixel).
inline std::int32_t pixel_index(double v, double l, std::int32_t n) {
    std::int32_t i = std::int32_t((v + l) / (2.0 * l) * n) + 1;
    if (i > n) i = n;
    if (i < 1) i = 1;
    return i;
}

}  // namespace quillet
