// Stopping a run part-way: the program's SIGINT and SIGTERM handler only
// records the signal here; the photon loop looks at it once per photon and
// ends the run with run_interrupted, so that every result file still being
// written removes its temporary file on the way out and none is begun.
#pragma once

#include <csignal>
#include <string>

#include "format/run_error.h"

namespace quillet {

// The number of the first stop signal received, 0 while none has come.
inline volatile std::sig_atomic_t stop_signal = 0;

// The run was stopped by a signal; the message says after how many photons.
struct run_interrupted : run_error {
    using run_error::run_error;
};

// "signal 2 (SIGINT)".
inline std::string signal_text(int sig) {
    std::string s = "signal " + std::to_string(sig);
    if (sig == SIGINT) s += " (SIGINT)";
    if (sig == SIGTERM) s += " (SIGTERM)";
    return s;
}

}  // namespace quillet
