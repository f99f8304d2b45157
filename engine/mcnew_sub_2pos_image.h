// The imaging engine: one call runs a whole simulation (set-up, photon loop,
// peel-off, statistics and result files) and hands the run's totals back.
#pragma once

#include <cstdint>

#include "engine/engine_records.h"
#include "format/text_field.h"

namespace quillet {

struct engine_run;

// Engine parameter file: ssca; maxscat; nbox and nboxvis (defaults 1.0, 100,
// 10000, 10000). Fills com4.ssca, com3.nbox, com3.nboxvis and run.maxscat.
void read_engine_parameters(const text80& parfile, engine_run& run);

constexpr int max_dir_args = 520;  // room of the caller's per-direction arrays

// Per-direction arrays are 1-based like every table of the run: entry 0 is
// unused. Per-direction, per-order table: w_order[order][k], direction
// k = 1..100 fastest, order 1..50.
using order_table = double[max_order + 1][max_test + 1];
// Table by ring and haze scatterings: w_haze[n_haze][n_ring][k], k = 1..100
// fastest, n_ring 0..20, n_haze 0..50.
using haze_table = double[max_haze_count + 1][max_ring_count + 1][max_test + 1];

void mcnew_sub_2pos_image(
    std::int32_t& nxphot, std::int32_t& nyphot, text80& posfile, text80& parfile, text80& outfile,
    double& lonsun, double& bsun, std::int32_t& ntest, double* fiiobs, double* latobs,
    double* testw, double* testd_corr, double* testw_n, order_table& w_order,
    std::int32_t& idum, std::int32_t& icheck, std::int32_t& mx, std::int32_t& my,
    std::int32_t& npart, std::int32_t& npartori, double& npot_mean, double& nbox_mean,
    double& iscat_mean, std::int32_t& method, text80& epsfile, text80& wfile, double& sredu,
    double& tau, std::int32_t& ndirect, double& zredu, double& ppar1, double& ppar2, double& ppar3,
    text80& posfile_haze, std::int32_t& method_haze, double& ssca_part, double& ssca_haze,
    double& ppar1_haze, double& ppar2_haze, double& ppar3_haze, haze_table& w_haze,
    std::int32_t& irot, std::int32_t& isquare, std::int32_t& idebug, std::int32_t& iemulate,
    text80& testimage, std::int32_t& nxpix, std::int32_t& nypix);

}  // namespace quillet
