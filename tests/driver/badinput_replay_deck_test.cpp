// The parameter-deck fuzz inputs that once failed, and the seeds, are read or refused
// cleanly by the reader (under the sanitizer build, without a report).
#include <gtest/gtest.h>

#include "badinput_replay.h"
#include "fuzz/target_deck.h"

TEST(FuzzReplay, DeckInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("deck", quillet::fuzz::deck);
    EXPECT_GE(n, 4) << "the seed corpus fuzz/corpus/deck is missing";
}
