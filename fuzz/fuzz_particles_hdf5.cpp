// libFuzzer program for the reader of the particle files in HDF5 form: the
// entry of the particle-file target (mode byte, then the file), started from
// seeds in HDF5 form (fuzz/make-hdf5-seeds.py), so that mutations reach into
// the library's structures rather than the text reader's.
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
