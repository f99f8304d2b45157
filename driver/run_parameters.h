// The run parameters of one run: every value of the parameter deck that the
// driver keeps (the size controls and the planet settings go straight into
// maincom1 and satcom1..3), the observer directions, and the photon counts of
// the report. One instance lives for the whole run; angles are in degrees.
#pragma once

#include <cstdint>

#include "engine/mcnew_sub_2pos_image.h"
#include "field/field_records.h"
#include "format/text_field.h"

namespace quillet {

// The engine's capacities are its own (engine/engine_records.h: max_test
// directions, max_pix image side, max_phot photons with an escape file or
// the planet; field/field_records.h: max_cells grid cells;
// engine/mcnew_sub_2pos_image.h: max_dir_args direction list entries).
constexpr int max_grid_lat = 520;     // grid latitudes (deck record 6)
constexpr int max_grid_fii = 100;     // grid azimuth values (deck record 7)
constexpr std::int64_t max_photons_unrecorded = 2147483647;  // nxphot*nyphot without escape file or planet
constexpr int max_isquare = 46340;    // isquare*isquare still fits a 32-bit count
constexpr int deck_records = 33;

struct run_parameters {
    text80 posfile;
    double bsun = 0.0;    // Sun elevation above the ring plane
    double lonsun = 0.0;  // Sun azimuth
    std::int32_t ntest = 0;
    // Per direction, 1-based. fiiobs holds a phase angle or 1000 + relative
    // azimuth as read, and the observer's azimuth after the viewing geometry.
    double latobs[max_dir_args + 1] = {};
    double fiiobs[max_dir_args + 1] = {};
    std::int32_t nlat = 0;
    std::int32_t nfii = 0;
    double latgrid[max_grid_lat + 1] = {};
    double fiigrid[max_grid_fii + 1] = {};
    std::int32_t nxphot = 0;
    std::int32_t nyphot = 0;
    std::int32_t mx = 0;
    std::int32_t my = 0;
    text80 parfile;
    text80 outfile;
    text80 epsfile;
    text80 wfile;
    std::int32_t method = 0;
    text30 method_name;
    double ppar1 = 0.0;
    double ppar2 = 0.0;
    double ppar3 = 0.0;
    text80 posfile_haze;
    std::int32_t method_haze = 0;
    text30 method_name_haze;
    double ppar1_haze = 0.0;
    double ppar2_haze = 0.0;
    double ppar3_haze = 0.0;
    double ssca_part = 0.0;
    double ssca_haze = 0.0;
    std::int32_t icheck = 0;
    std::int32_t idum = 0;
    double sredu = 0.0;
    double zredu = 0.0;
    std::int32_t irot = 0;
    std::int32_t isquare = 0;
    text80 testimage;
    std::int32_t nxpix = 0;
    std::int32_t nypix = 0;
    std::int32_t idebug = 0;
    std::int32_t iemulate = 0;
    text30 model_sat_name;
    // Photon count of the report: nxphot*nyphot after the deck, then the
    // isquare rules, then the planet illumination's count when it runs.
    std::int32_t nphot = 0;
    // Photon budget of the planet illumination: nxphot*nyphot.
    std::int32_t nphot_ori = 0;
    // Input line on which each deck record began (0: record absent), for the
    // messages of checks made after the whole deck is read.
    int record_line[deck_records + 1] = {};
};

}  // namespace quillet
