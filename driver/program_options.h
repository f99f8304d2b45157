// The command line of quillet: what to print instead of running, how to
// search (the cell walk or the straightforward scan of every grid cell) and
// how many threads run the photons.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

struct program_options {
    bool help = false;
    bool version = false;
    bool full_scan = false;       // --full-scan
    bool threaded = false;        // --threads given
    std::int32_t threads = 0;     // its value; 0: every core of the process
};

// Reads the arguments after the program name; throws run_error with a message
// that names the offending argument.
program_options parse_program_options(int argc, const char* const* argv);

// Hands the options to the kernel's records: the search switch, and the
// threaded-run switch with the workers resolved for this process.
void apply_program_options(const program_options& o, int rank, int ranks);

}  // namespace quillet
