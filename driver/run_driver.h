// One run of quillet: the deck, the viewing geometry, the header, the planet
// illumination when the planet is the source, the imaging engine, and the
// closing summary.
#pragma once

#include <cstdio>
#include <string>

#include "engine/run_options.h"

namespace quillet {

// Reads the deck from `deck` (named `source` in messages) and runs the whole
// simulation as `options` say, printing the report on standard output.
// Throws run_error (and its kinds) when the deck or a later step fails.
void run_quillet(std::FILE* deck, const std::string& source, const run_options& options);

// The same for a deck held in memory, read as standard input is read.
void run_quillet_text(std::string deck, const run_options& options);

}  // namespace quillet
