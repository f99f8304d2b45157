// libFuzzer program for the reader of the phase-function tables.
#include <cstdio>

#include "fuzz/target_phase_table.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers report what they read on standard output: keep it quiet.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quillet::fuzz::phase_table(data, size);
    return 0;
}
