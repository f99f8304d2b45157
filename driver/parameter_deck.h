// The parameter deck: 33 free-format records on standard input, read once at
// start-up into the run parameters (the run configuration and where each
// record stood). While reading, the observer directions are converted (one
// direction line each) and record 8 is echoed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/run_parameters.h"
#include "format/free_reader.h"
#include "format/text_field.h"

namespace quillet {

// What deck record n holds, e.g. "nxphot, nyphot, mx, my" for n = 8.
std::string_view deck_record_fields(int n);

// "deck record 8 (nxphot, nyphot, mx, my)".
std::string deck_record_name(int n);

// Name of a phase-function code: "LAMBERT-element" ... "TABLE-sphere-point",
// "unknown" outside 1..16.
text30 method_name_of(std::int32_t method);

// Name of a planet photometric model, blank outside 1..6.
text30 model_sat_name_of(std::int32_t model_sat);

// Reads the whole deck. Counts that would overflow the direction and grid
// tables are rejected before any table entry is written; a malformed or short
// deck throws input_error naming the record, the line and the offending text.
void read_deck(free_reader& in, run_parameters& p);

// Capacity checks made after the deck and before any work: the photon grid,
// the search grid, the planet zone grid, isquare and the test image. Throws
// limit_error naming the record, the value and its limit. Then every result
// file of the run is tried in its folder (created as a temporary file and
// removed): output_error naming the record when one cannot be created.
void check_capacities(const run_parameters& p, std::string_view source);

// The particle files and the engine parameter file that the deck names must
// open for reading; an input_error names the deck record and line that named
// the missing one.
void check_input_files(const run_parameters& p, std::string_view source);

}  // namespace quillet
