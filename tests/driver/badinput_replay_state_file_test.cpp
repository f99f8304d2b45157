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

quillet::fuzz::state_outcome replay_seed(const std::string& name) {
    std::ifstream in(std::string(QUILLET_SOURCE_DIR) + "/fuzz/corpus/state_file/" + name, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name;
    auto outcome = quillet::fuzz::state_outcome::refused;
    quillet::test_support::capture_stdout(
        [&] { outcome = quillet::fuzz::state_file(bytes.data(), bytes.size(), run_dir); });
    return outcome;
}

}  // namespace

TEST(FuzzReplay, StateFileInputsThatOnceFailedAndTheSeedsAreHandled) {
    int n = quillet::test_support::replay_fuzz_inputs(
        "state_file", [](const std::uint8_t* data, std::size_t size) { quillet::fuzz::state_file(data, size, run_dir); });
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
    EXPECT_EQ(replay_seed("checkpoint-serial"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1000);
    EXPECT_EQ(replay_seed("checkpoint-threaded"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1000);
    EXPECT_EQ(replay_seed("partial-1-of-1"), state_outcome::restored);
    EXPECT_GE(quillet::engine_sums.nsearch, 1001);
    EXPECT_EQ(replay_seed("partial-2-of-2"), state_outcome::refused);
}
