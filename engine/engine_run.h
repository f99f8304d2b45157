// The run as the engine sees it after its set-up: the run configuration's
// values, the engine parameter file, the seed as the generator left it and the
// derived switches. mcnew_sub_2pos_image fills it; the photon loop and the
// output read it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine_records.h"
#include "engine/peel_off.h"
#include "format/result_file.h"
#include "format/text_field.h"
#include "numeric/ran1.h"
#include "scatter/law_table.h"
#include "planet/planet_source.h"

namespace quillet {

class tallies;
class exact_totals;
class run_session;
struct run_options;
struct search_scratch;

struct engine_run {
    std::int32_t nxphot = 0, nyphot = 0;
    std::int32_t nphot = 0;  // photons launched: nxphot * nyphot, or the planet's count
    bool planet_source = false;
    const planet_photons* planet = nullptr;  // the planet photons, with the planet as source
    text80 posfile, outfile, epsfile, wfile, posfile_haze, testimage;
    double lonsun = 0.0, bsun = 0.0;
    std::int32_t ntest = 0;
    const double* fiiobs = nullptr;  // degrees, 1-based
    const double* latobs = nullptr;
    std::int32_t idum = 0;       // the seed as ran1 left it at the set-up
    ran1_state* serial_draws = nullptr;  // the serial run's one generator, seeded by the set-up
    const scattering_laws* laws = nullptr;  // the run's scattering laws and their tables
    std::int32_t idum_deck = 0;  // the deck's seed: the key of the photons' own streams in a threaded run
    std::int32_t icheck = 0;
    std::int32_t mx = 0, my = 0;
    std::int32_t method = 0, method_haze = 0;
    double ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
    double ppar1_haze = 0.0, ppar2_haze = 0.0, ppar3_haze = 0.0;
    double ssca_part = 0.0, ssca_haze = 0.0;
    double sredu = 0.0, zredu = 0.0;
    std::int32_t irot = 0, isquare = 0;
    std::int32_t nxpix = 0, nypix = 0;
    std::int32_t maxscat = 100;
    double ssca = 1.0;           // albedo factor of the engine parameter file
    std::int32_t nbox = 10000;     // most boxes of a photon free path (engine parameter file)
    std::int32_t nboxvis = 10000;  // most boxes of a visibility test
    double sizemin = 0.0, s20 = 0.0, f20 = 0.0;  // the deck's size controls, for the result file
    std::int32_t idebug = 0;     // >= 1: diagnostic files and traces
    std::int32_t emulate_a = 0;  // emulation flag A: start distance widened by 1.01 instead of 1.000001
    std::int32_t emulate_b = 0;  // emulation flag B: no folding after a scattering or before a visibility test
    std::int32_t ntest_image = 0;  // test images written: 1 when ntest > 1, else ntest
    peel_off_settings peel;      // what the peel-off reads, the observer directions among it
    double cpu_entry = 0.0;  // CPU time of the process when the engine was called
    double cpu_loop = 0.0;   // ... and when its photon loop began
    bool escape_on = false;  // escape file wanted (outfile not "junk")
    bool hist_on = false;    // histogram file wanted (epsfile not "junk")
    tallies* totals = nullptr;  // the run's result tables: every photon's, added in photon order (serial run)
    exact_totals* exact = nullptr;  // a run in blocks: its totals, rounded into `totals` at the end
    search_scratch* searches = nullptr;  // the set-up's searches: the serial run's; a worker's is made from it
    const run_options* options = nullptr;  // how the run is carried out
    run_session* session = nullptr;        // what it keeps while its photons run
};

// Statistics of the finished run, formed from the sums (which they leave as
// they are).
struct engine_stats {
    double cpu = 0.0, cpu_comp = 0.0;
    double fdir = 0.0, mu0 = 0.0, tau_p = 0.0, tau_n = 0.0;
    float iscat_mean = 0.0f, npot_mean = 0.0f, nbox_mean = 0.0f;
    double testw_mean = 0.0;
    // Per direction: the spread of testw (the sum of squares of the
    // contributions when fewer than 2 came), the spread of the per-photon
    // brightness, and the standard error of the first-order testw / N.
    std::vector<double> testw_sig, testd_corr, err_1;
    // The spread of each order's sum, element order_at(order, k) of the tallies.
    std::vector<double> order_spread;
};

}  // namespace quillet
