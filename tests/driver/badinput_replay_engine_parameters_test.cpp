// The engine-parameter-file fuzz inputs that once failed, and the seeds, are read or refused
// cleanly by the reader (under the sanitizer build, without a report).
#include <gtest/gtest.h>

#include "badinput_replay.h"
#include "fuzz/target_engine_parameters.h"

TEST(FuzzReplay, EngineParametersInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("engine_parameters", quillet::fuzz::engine_parameters);
    EXPECT_GE(n, 4) << "the seed corpus fuzz/corpus/engine_parameters is missing";
}
