// How a run is carried out, apart from what it computes (the run
// configuration): serial or threaded, which of the processes of a distributed
// run this is, the runs that keep their state (checkpoints and resumed runs,
// partial runs and their merge), the search, the result files and the
// progress line. The driver builds it from its command line, the in-process
// caller from its arguments; the engine takes it with the run configuration.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/run_interrupt.h"
#include "format/result_file.h"

namespace quillet {

struct parallel_options {
    bool on = false;            // threaded run (--threads, or a merge)
    std::int32_t threads = 1;   // workers in this process, >= 1 when on
    std::int32_t rank = 0;      // this process among the processes of a distributed run
    std::int32_t ranks = 1;     // 1 without MPI
    std::int64_t photon = 0;    // >= 1: replay this photon alone (--photon), no result file
};

struct run_state_options {
    std::string checkpoint;          // --checkpoint FILE; empty: none
    double checkpoint_every = 60.0;  // --checkpoint-every SECONDS; 0: after every block
    std::string resume;              // --resume FILE
    std::int32_t part = 0, parts = 0;  // --part K/M; 0 0: the whole run
    std::string partial;             // --partial FILE
    std::vector<std::string> merge;  // --merge FILE...
    std::string deck_text;           // the deck's bytes, for its digest
    std::string version;             // this quillet's version, written into the state files
};

struct run_options {
    parallel_options parallel;
    run_state_options state;
    bool full_scan = false;  // every search tests every grid cell (the reference)
    bool quiet = false;      // no progress lines (--quiet)
    result_file_options files;
    // The flag that stops the run before its next photon: the number of the
    // stop signal that came, 0 while none has. The program's signal handler
    // sets stop_signal; a caller that runs the engine in its own process may
    // give each run a flag of its own.
    const volatile std::sig_atomic_t* stop = &stop_signal;

    // A run whose digests of the deck and inputs are kept: one that
    // checkpoints, resumes, runs a part or merges.
    bool keeps_state() const {
        return !state.checkpoint.empty() || !state.resume.empty() || state.parts > 0 || !state.merge.empty();
    }
};

}  // namespace quillet
