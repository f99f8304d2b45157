// The command line of quillet: what to print instead of running, how to
// search (the cell walk or the straightforward scan of every grid cell), how
// many threads run the photons, the runs that keep their state (checkpoints
// and resumed runs, partial runs and their merge), progress, and the replay of
// one photon of a threaded run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run_options.h"

namespace quillet {

struct program_options {
    bool help = false;
    bool version = false;
    bool full_scan = false;       // --full-scan
    bool threaded = false;        // --threads given
    std::int32_t threads = 0;     // its value; 0: every core of the process
    std::string checkpoint;       // --checkpoint FILE
    bool every_given = false;     // --checkpoint-every given
    double checkpoint_every = 60.0;  // --checkpoint-every SECONDS (0: after every block)
    std::string resume;           // --resume FILE
    std::int32_t part = 0, parts = 0;  // --part K/M
    std::string partial;          // --partial FILE
    std::vector<std::string> merge;  // --merge FILE...
    bool quiet = false;           // --quiet
    std::int64_t photon = 0;      // --photon N: replay photon N of the threaded run alone
};

// Reads the arguments after the program name and checks that they go
// together; throws run_error with a message that names the offending argument.
program_options parse_program_options(int argc, const char* const* argv);

// The run options of process `rank` of `ranks`: the search switch, the
// threaded-run switch with the workers resolved for this process, the
// checkpoint, part and merge settings and how result files are written (the
// first process alone writes a checkpoint and result files). The deck's text
// is the caller's to add.
run_options run_options_for(const program_options& o, int rank, int ranks);

}  // namespace quillet
