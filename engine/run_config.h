// The run configuration: every value of one run, as the parameter deck gives
// it (driver/parameter_deck) or a caller in the same process sets it, built
// and checked once and const while photons run. The engine takes it, with the
// planet photons when the planet is the source, and hands back its results.
// Names are the deck's; angles are in degrees; per-direction lists are
// 1-based like every table of the run (entry 0 unused).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_records.h"
#include "format/text_field.h"
#include "planet/planet_source.h"

namespace quillet {

class tallies;

struct run_config {
    text80 posfile;                  // particle position file
    double bsun = 0.0;               // Sun elevation above the ring plane
    double lonsun = 0.0;             // Sun azimuth
    // Observer directions k = 1..ntest: elevation, and azimuth in the Sun's
    // frame (the deck's phase angle or relative azimuth after the viewing
    // geometry).
    std::int32_t ntest = 0;
    std::vector<double> latobs{0.0};
    std::vector<double> fiiobs{0.0};
    std::int32_t nxphot = 0, nyphot = 0;  // photon grid
    std::int32_t mx = 0, my = 0;          // search grid (1, 1: none)
    text80 parfile;                  // engine parameter file or junk
    text80 outfile, epsfile, wfile;  // escape, histogram and direction files
    std::int32_t method = 0;         // ring-particle scattering law
    double ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
    text80 posfile_haze;             // haze particle file or junk
    std::int32_t method_haze = 0;
    double ppar1_haze = 0.0, ppar2_haze = 0.0, ppar3_haze = 0.0;
    double ssca_part = 0.0, ssca_haze = 0.0;  // single-scattering albedos
    std::int32_t icheck = 0;         // trace level
    std::int32_t idum = 0;           // random seed
    double sredu = 1.0, zredu = 1.0; // ring-particle radius and height factors
    double sizemin = 0.0;            // ring particles below this radius are dropped (when > 0)
    double s20 = 0.0, f20 = 0.0;     // ring particles up to s20 are enlarged by f20 (when s20 > 0)
    planet_settings planet;          // isat, distance, rsat, nlat_sat, nfii_sat, model_sat
    std::int32_t irot = 0;           // 1: each photon sees the field turned by a random azimuth
    std::int32_t isquare = 0;        // launch grid switch
    text80 testimage;                // name prefix of the test image and the diagnostic files
    std::int32_t nxpix = 0, nypix = 0;
    std::int32_t idebug = 0;
    std::int32_t iemulate = 0;

    // Sets the observer directions (1-based lists of ntest + 1 entries).
    void set_directions(std::vector<double> lat, std::vector<double> fii) {
        latobs = std::move(lat);
        fiiobs = std::move(fii);
        ntest = std::int32_t(latobs.size()) - 1;
    }
};

// What the engine hands back: the per-direction results of the whole run and
// its totals.
struct engine_result {
    std::int32_t ntest = 0;
    // Per direction k = 1..ntest: the sum of the peel-off contributions, the
    // spread of the per-photon brightness, the number of contributions.
    std::vector<double> testw, testd_corr, testw_n;
    // Sums by order 1..max_order (order max_order: all orders from it up) and
    // by ring and haze scatterings (n_ring 0..max_ring_count, n_haze
    // 0..haze_rows - 1: 0 alone for a field without haze), direction
    // innermost.
    std::vector<double> order_sums, haze_sums;
    std::int32_t haze_rows = 0;
    // The spread of each order's sum (as testd_corr is testw's), laid out as
    // order_sums.
    std::vector<double> order_spread;
    double w_order(int order, int k) const { return order_sums[std::size_t(order) * (ntest + 1) + k]; }
    double w_haze(int n_haze, int n_ring, int k) const {
        if (n_haze >= haze_rows) return 0.0;
        return haze_sums[(std::size_t(n_haze) * (max_ring_count + 1) + n_ring) * (ntest + 1) + k];
    }
    std::int32_t npart = 0;     // entries of the particle tables, edge copies included
    std::int32_t npartori = 0;  // ring particles the position file states
    double npot_mean = 0.0;     // candidates per slice search
    double nbox_mean = 0.0;     // boxes per free path
    double iscat_mean = 0.0;    // path searches per photon
    double tau = 0.0;           // optical depth of the layer
    std::int32_t ndirect = 0;   // photons that crossed the layer unscattered
    // CPU seconds of whole engine calls elsewhere: the other processes of a
    // distributed run, the parts of a merge, the earlier segments of a resumed
    // run.
    double cpu_elsewhere = 0.0;
    // The run's result tables as the photons left them (escape records,
    // images, histogram, the sums by order with their squares).
    std::shared_ptr<const tallies> totals;
};

}  // namespace quillet
