// The particle-file and haze-file fuzz inputs that once failed, and the seeds, are read or refused
// cleanly by the reader (under the sanitizer build, without a report).
#include <gtest/gtest.h>

#include "badinput_replay.h"
#include "fuzz/target_particles.h"

TEST(FuzzReplay, ParticlesInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("particles", quillet::fuzz::particles);
    EXPECT_GE(n, 4) << "the seed corpus fuzz/corpus/particles is missing";
}
