// One run of quillet: the deck, the viewing geometry, the header, the planet
// illumination when the planet is the source, the imaging engine, and the
// closing summary.
#pragma once

#include <cstdio>
#include <string>

namespace quillet {

// Reads the deck from `deck` (named `source` in messages) and runs the whole
// simulation, printing the report on standard output. Throws run_error (and
// its kinds) when the deck or a later step fails.
void run_quillet(std::FILE* deck, const std::string& source);

}  // namespace quillet
