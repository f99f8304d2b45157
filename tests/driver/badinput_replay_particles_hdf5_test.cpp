// The HDF5 particle-file fuzz inputs that once failed, and the seeds, are read or refused
// cleanly by the reader (under the sanitizer build, without a report).
#include <gtest/gtest.h>

#include "badinput_replay.h"
#include "fuzz/target_particles.h"
#include "fuzz/hdf5_leaks.h"

TEST(FuzzReplay, ParticlesHdf5InputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("particles_hdf5", quillet::fuzz::particles);
    EXPECT_GE(n, 8) << "the seed corpus fuzz/corpus/particles_hdf5 is missing";
}
