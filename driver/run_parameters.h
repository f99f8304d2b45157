// The run parameters of one run as the parameter deck gives them: the run
// configuration the engine takes, plus what only the deck and the report need
// (where each record stood, for the messages of checks made after the whole
// deck is read; the law and model names; the photon counts of the report).
// Angles are in degrees.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/run_config.h"
#include "format/text_field.h"

namespace quillet {

// The deck's own limit (the 32-bit counts of the run are in
// engine/engine_records.h and field/field_records.h).
constexpr int max_isquare = 46340;    // isquare*isquare still fits a 32-bit count
constexpr int deck_records = 33;

struct run_parameters : run_config {
    // Input line of each direction of the list form (1-based).
    std::vector<int> latobs_line{0};
    text30 method_name;
    text30 method_name_haze;
    text30 model_sat_name;
    // Photon count of the report: nxphot*nyphot after the deck, then the
    // isquare rules, then the planet illumination's count when it runs.
    std::int32_t nphot = 0;
    // Photon budget of the planet illumination: nxphot*nyphot.
    std::int32_t nphot_ori = 0;
    // Input line on which each deck record began (0: record absent).
    int record_line[deck_records + 1] = {};
};

}  // namespace quillet
