// The phase-table fuzz inputs that once failed, and the seeds, are read or refused
// cleanly by the reader (under the sanitizer build, without a report).
#include <gtest/gtest.h>

#include "badinput_replay.h"
#include "fuzz/target_phase_table.h"

TEST(FuzzReplay, PhaseTableInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("phase_table", quillet::fuzz::phase_table);
    EXPECT_GE(n, 4) << "the seed corpus fuzz/corpus/phase_table is missing";
}
