// libFuzzer program for the reader of the Particle position file and the haze
// file, in either form (the fuzz_particles_hdf5 target is this program
// started from HDF5 seeds).
#include <cstdio>

#include "fuzz/target_particles.h"
#include "fuzz/hdf5_leaks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers report what they read on standard output: keep it quiet.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quillet::fuzz::particles(data, size);
    return 0;
}
