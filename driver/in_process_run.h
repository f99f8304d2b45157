// A run inside the calling process (the Python module quillet._engine): the
// deck as text, the run's own working folder, serial or threaded; the report
// comes back as text instead of going to standard output, and a failure comes
// back as the program's message instead of ending the process.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

namespace quillet {

struct in_process_options {
    std::string folder;         // working folder of the run: the deck's relative file names are taken from it
    bool threaded = false;      // false: the serial run (one shared random stream); true: `threads` workers
    std::int32_t threads = 0;   // 0: every core the process may use
    bool full_scan = false;     // every ray search tests every grid cell
    // Set to a signal's number to stop the run before its next photon (as
    // the program's SIGINT handler does); null: the process's stop_signal.
    const volatile std::sig_atomic_t* stop = nullptr;
};

struct in_process_result {
    int status = 0;          // what the program's exit status would be: 0 done, 1 failed
    std::string report;      // the run report, up to where the run stopped
    std::string message;     // on failure the program's message ("quillet: ..."), else empty
};

// Runs the deck as `quillet [--threads N] < deck` would in `options.folder`,
// with the same report and result files, and without progress lines. The run
// goes on a thread of its own whose working folder is the run's (the caller's
// and the process's stay as they are); its workers inherit it. Runs on
// several threads at once are independent.
in_process_result run_in_process(const std::string& deck, const in_process_options& options);

}  // namespace quillet
