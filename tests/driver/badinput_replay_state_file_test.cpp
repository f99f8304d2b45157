// The checkpoint and partial-file fuzz inputs that once failed, and the seeds,
// are decoded and restored or refused cleanly (under the sanitizer build,
// without a report); the seeds, real files of the target's run, are restored.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "badinput_replay.h"
#include "fuzz/target_state_file.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

namespace {

const std::string run_dir = std::string(QUILLET_SOURCE_DIR) + "/fuzz/state_run";

// A stored input of the target ("corpus" or "regressions").
quillet::fuzz::state_outcome replay(const std::string& kind, const std::string& name) {
    std::ifstream in(std::string(QUILLET_SOURCE_DIR) + "/fuzz/" + kind + "/state_file/" + name, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name;
    auto outcome = quillet::fuzz::state_outcome::refused;
    quillet::test_support::capture_stdout(
        [&] { outcome = quillet::fuzz::state_file(bytes.data(), bytes.size(), run_dir); });
    return outcome;
}

}  // namespace

TEST(FuzzReplay, StateFileInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs("state_file", [](const std::uint8_t* data, std::size_t size) {
        quillet::fuzz::state_file(data, size, run_dir);
    });
    EXPECT_GE(n, 4) << "the seed corpus fuzz/corpus/state_file is missing";
}

// The target's run is the one that wrote the seeds (same deck, field,
// photons, directions and tables): each checkpoint is resumed, the whole
// run's partial file merged; the second of two parts alone is refused. Every
// photon searches its path at least once, so the restored sums hold at least
// one search per photon done (1000 at the checkpoints, 1001 merged).
TEST(FuzzReplay, StateFileSeedsAreRestoredAgainstTheTargetsRun) {
    using quillet::fuzz::state_outcome;
    quillet::test_support::scratch_dir dir;
    EXPECT_EQ(replay("corpus", "checkpoint-serial"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1000);
    EXPECT_EQ(replay("corpus", "checkpoint-threaded"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1000);
    EXPECT_EQ(replay("corpus", "partial-1-of-1"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1001);
    EXPECT_EQ(replay("corpus", "partial-2-of-2"), state_outcome::refused);
}

// Valid containers (checksum and all) whose contents no run writes: a serial
// generator state outside its moduli (its next draw overflows), a threaded
// checkpoint whose next block is block 0 after 1000 photons (the resumed run
// would add block 0 twice), a merged block naming an image cell outside the
// image, a section MODE stated 193 GB long whose pieces hold 32 bytes and a
// section BLKS stated 537 GB long whose zero runs make 5.9 GB (refused, not
// out of memory or filled first), a partial file naming itself part 2147483647 of
// 2147483647 (the next part's number overflowed), a serial checkpoint whose
// start distance is not a number (the next photon of a run with the Sun in
// the ring plane would start from it). Each is refused, with a message
// naming the file or the part.
TEST(FuzzReplay, StateFilesThatOnceFailedAreRefused) {
    using quillet::fuzz::state_outcome;
    quillet::test_support::scratch_dir dir;
    for (const char* name :
         {"serial-generator-out-of-range", "threaded-next-block-before-photons-done", "merge-image-cell-outside",
          "section-length-beyond-its-pieces", "section-zero-runs-short-of-a-huge-length",
          "part-number-at-int32-limit", "serial-start-distance-not-a-number"})
        EXPECT_EQ(replay("regressions", name), state_outcome::refused) << name;
}
