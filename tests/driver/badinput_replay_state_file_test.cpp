// The checkpoint and partial-file fuzz inputs that once failed, and the seeds,
// are decoded and restored or refused cleanly (under the sanitizer build,
// without a report); the seeds, real files of the target's run, are restored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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

// The path searches that the run's tallies hold after the last restore.
std::int64_t searches() { return quillet::fuzz::state_run(run_dir).totals.nsearch; }

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
// photon searches its path at least once, so the restored tallies hold at
// least one search per photon done (1000 at the checkpoints, 1001 merged).
TEST(FuzzReplay, StateFileSeedsAreRestoredAgainstTheTargetsRun) {
    using quillet::fuzz::state_outcome;
    quillet::test_support::scratch_dir dir;
    EXPECT_EQ(replay("corpus", "checkpoint-serial"), state_outcome::restored);
    EXPECT_GE(searches(), 1000);
    EXPECT_EQ(replay("corpus", "checkpoint-threaded"), state_outcome::restored);
    EXPECT_GE(searches(), 1000);
    EXPECT_EQ(replay("corpus", "partial-1-of-1"), state_outcome::restored);
    EXPECT_GE(searches(), 1001);
    EXPECT_EQ(replay("corpus", "partial-2-of-2"), state_outcome::refused);
}

// Valid containers (checksum and all) whose contents no run writes
// (fuzz/make-state-regressions.py): a serial generator state outside its
// moduli (its next draw overflows), a serial start distance that is not a
// number (the next photon of a run with the Sun in the ring plane would start
// from it), a threaded checkpoint whose next block is block 0 after 1000
// photons (the resumed run would add block 0 twice), a merged part whose
// escape records start a photon late (the last would land past the run's
// table), a partial file naming itself part 2147483647
// of 2147483647 (the next part's number overflowed), a section MODE stated
// 193 GB long whose pieces hold 32 bytes (refused, not out of memory), a
// section SUMS stated 537 GB long whose zero runs make 5.9 GB (counted short
// before any is filled in: the target's 64 MB cap on a section would refuse
// it otherwise, with another message). Each is refused for that fault, with
// a message naming the file or the part; the rest of each file is the seed's,
// which the run takes.
namespace {

struct crafted_input {
    const char* name;
    std::string refusal;
};
const crafted_input crafted[] = {
    {"serial-generator-out-of-range", "fuzz.state: section SERL: not a state of the random number generator"},
    {"serial-start-distance-not-a-number",
     "fuzz.state: section SERL: expected a start distance of 0 or more, found nan"},
    {"threaded-next-block-before-photons-done",
     "fuzz.state: section MODE: 1000 photons done do not end where its next block (0 of 2) starts"},
    {"merge-escape-records-past-the-run",
     "fuzz.state (part 1 of 1): section SUMS: escape records of 1001 photons from photon 2, expected 1001 from "
     "photon 1 (the part does not fit this run)"},
    {"part-number-at-int32-limit", "fuzz.state: names part 2147483647 of 2147483647"},
    {"section-length-beyond-its-pieces", "fuzz.state: section MODE: garbled (shorter than stated)"},
    {"section-zero-runs-short-of-a-huge-length", "fuzz.state: section SUMS: garbled (shorter than stated)"},
    // A section (its tag "BLK" and a zero byte, shown as "?") stated as
    // 357 GB, whose zero runs made 4.7 GB before its damaged last piece
    // was reached: refused by the count of its pieces, before anything
    // is written out.
    {"section-zero-runs-beyond-memory",
     "fuzz.state: section BLK?: garbled (a piece runs past its end)"},
};

}  // namespace

TEST(FuzzReplay, StateFilesThatOnceFailedAreRefused) {
    using quillet::fuzz::state_outcome;
    quillet::test_support::scratch_dir dir;
    for (const auto& c : crafted) {
        EXPECT_EQ(replay("regressions", c.name), state_outcome::refused) << c.name;
        const auto& seen = quillet::fuzz::refusals;
        EXPECT_NE(std::find(seen.begin(), seen.end(), c.refusal), seen.end())
            << c.name << ": " << testing::PrintToString(seen);
    }
}

// A stored input made for another layout of the file is refused by its
// version check and no longer reaches the check it was made for: every seed
// and every regression is of this layout, and each regression is either
// restored (a file that once crashed a run) or listed above with its refusal.
TEST(FuzzReplay, StateFileInputsAreOfThisLayoutAndEachRegressionHasItsRefusal) {
    namespace fs = std::filesystem;
    using quillet::fuzz::state_outcome;
    quillet::test_support::scratch_dir dir;
    int n = 0;
    for (const char* kind : {"regressions", "corpus"})
        for (const auto& e : fs::directory_iterator(fs::path(QUILLET_SOURCE_DIR) / "fuzz" / kind / "state_file")) {
            if (!e.is_regular_file()) continue;
            const std::string name = e.path().filename().string();
            const state_outcome outcome = replay(kind, name);
            ++n;
            for (const std::string& r : quillet::fuzz::refusals)
                EXPECT_EQ(r.find("which cannot continue it"), std::string::npos) << kind << "/" << name << ": " << r;
            if (std::string(kind) == "corpus" || outcome == state_outcome::restored) continue;
            bool listed = false;
            for (const auto& c : crafted) listed = listed || name == c.name;
            EXPECT_TRUE(listed) << "regressions/" << name << " is refused, but its refusal is not listed";
        }
    EXPECT_GE(n, 13);  // 9 regressions, 4 seeds
}
