// The state file of checkpoints and partial runs: what is written reads back
// exactly; a file cut short at any length, with any one byte flipped, of
// another version or not a state file at all is refused with a message that
// names the file and the fault; writing replaces the file whole or not at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "format/run_error.h"
#include "format/state_file.h"
#include "support/scratch_dir.h"

using namespace quillet;

namespace {

state_contents sample() {
    state_contents c;
    c.version = "1.2.3";
    c.kind = state_kind::partial;
    c.part = 2;
    c.parts = 4;
    c.inputs = {{"deck", "standard input", sha256_of("deck text")}, {"particle position file", "ring.pos",
                                                                     sha256_of("particles")}};
    std::string sums;
    for (int i = 0; i < 300; ++i) sums.push_back(i % 7 == 0 ? char(i) : '\0');  // short and long zero runs
    sums.append(1000, '\0');
    sums.append("end");
    c.sections = {{"SUMS", sums}, {"LINE", "IVIS3: ipart,ishadow_check = 4 7\n"}, {"NONE", ""}};
    return c;
}

std::string refusal(const std::string& bytes, const std::string& version = "1.2.3") {
    try {
        decode_state(bytes, "ck", version);
    } catch (const input_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(StateFile, EncodedContentsReadBackExactly) {
    const state_contents c = sample();
    const state_contents d = decode_state(encode_state(c), "ck", "1.2.3");
    EXPECT_EQ(d.version, "1.2.3");
    EXPECT_EQ(d.kind, state_kind::partial);
    EXPECT_EQ(d.part, 2u);
    EXPECT_EQ(d.parts, 4u);
    ASSERT_EQ(d.inputs.size(), 2u);
    EXPECT_EQ(d.inputs[1].role, "particle position file");
    EXPECT_EQ(d.inputs[1].file, "ring.pos");
    EXPECT_EQ(d.inputs[1].digest, sha256_of("particles"));
    ASSERT_EQ(d.sections.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d.sections[i].tag, c.sections[i].tag);
        EXPECT_EQ(d.sections[i].bytes, c.sections[i].bytes);
    }
    EXPECT_EQ(d.section("LINE", "ck"), c.sections[1].bytes);
    EXPECT_THROW(d.section("ESCP", "ck"), input_error);
}

TEST(StateFile, RunsOfZeroBytesAreSqueezedOut) {
    state_contents c;
    c.version = "1";
    c.sections = {{"IMAG", std::string(1 << 20, '\0')}};
    EXPECT_LT(encode_state(c).size(), 200u);
    EXPECT_EQ(decode_state(encode_state(c), "ck", "1").sections[0].bytes, std::string(1 << 20, '\0'));
}

// A section length that its pieces do not fill, in a file whose checksum
// fits (so written on purpose, or damaged before it was sealed), is refused as
// garbled without taking memory for that length first (512 GiB here).
TEST(StateFile, AStatedSectionLengthBeyondItsPiecesIsRefusedWithoutClaimingIt) {
    state_contents c;
    c.version = "1";
    c.sections = {{"IMAG", std::string(1000, '\0') + "lit"}};
    std::string bytes = encode_state(c);
    const std::size_t at = bytes.find("IMAG") + 4;
    const std::uint64_t stated = std::uint64_t(1) << 39;
    std::memcpy(bytes.data() + at, &stated, sizeof stated);
    const sha256_digest sum = sha256_of(std::string_view(bytes).substr(0, bytes.size() - 32));
    std::memcpy(bytes.data() + bytes.size() - 32, sum.data(), 32);
    EXPECT_EQ(refusal(bytes, "1"), "ck: section IMAG: garbled (shorter than stated)");
    // ... also when its first zero count is raised to 2^31 - 1 as well: the
    // pieces are counted before a byte is unpacked.
    const std::uint32_t zeros = 0x7FFFFFFF;
    std::memcpy(bytes.data() + at + 16 + 4, &zeros, sizeof zeros);
    const sha256_digest again = sha256_of(std::string_view(bytes).substr(0, bytes.size() - 32));
    std::memcpy(bytes.data() + bytes.size() - 32, again.data(), 32);
    EXPECT_EQ(refusal(bytes, "1"), "ck: section IMAG: garbled (shorter than stated)");
}

TEST(StateFile, EveryFlippedByteIsRefused) {
    const std::string good = encode_state(sample());
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = char(bad[i] ^ 0x20);
        const std::string m = refusal(bad);
        ASSERT_NE(m, "") << "byte " << i << " flipped was accepted";
        EXPECT_EQ(m.rfind("ck: ", 0), 0u) << m;
    }
    // The checksum is what catches a flip inside the contents.
    std::string bad = good;
    bad[good.size() / 2] = char(bad[good.size() / 2] ^ 1);
    EXPECT_EQ(refusal(bad), "ck: damaged: its checksum does not match its contents");
}

TEST(StateFile, AFileCutShortAtAnyLengthIsRefused) {
    const std::string good = encode_state(sample());
    for (std::size_t n = 0; n < good.size(); ++n) {
        const std::string m = refusal(good.substr(0, n));
        ASSERT_NE(m, "") << "cut to " << n << " bytes was accepted";
        if (n >= 48) {
            EXPECT_NE(m.find("cut short"), std::string::npos) << n << ": " << m;
        }
    }
    EXPECT_EQ(refusal(good.substr(0, 100)),
              "ck: cut short: it holds 100 bytes, its header says " + std::to_string(good.size()));
}

TEST(StateFile, OtherVersionAndOtherFilesAreRefusedByName) {
    const std::string good = encode_state(sample());
    EXPECT_EQ(refusal(good, "1.2.4"),
              "ck: written by quillet 1.2.3 (layout 4); this is quillet 1.2.4 (layout 4), which cannot continue it");
    // A file of layout 3, before a run in blocks kept its results as exact
    // totals (a partial file each of its blocks), is refused too.
    std::string old = good;
    const std::uint32_t layout = 3;
    std::memcpy(old.data() + 16, &layout, sizeof layout);
    const sha256_digest sum = sha256_of(std::string_view(old).substr(0, old.size() - 32));
    std::memcpy(old.data() + old.size() - 32, sum.data(), 32);
    EXPECT_EQ(refusal(old, "1.2.3"),
              "ck: written by quillet 1.2.3 (layout 3); this is quillet 1.2.3 (layout 4), which cannot continue it");
    EXPECT_EQ(refusal("'ring.pos' 1 posfile\n"),
              "ck: not a quillet checkpoint or partial file (its first bytes are not 0x89 QUILLET)");
    EXPECT_EQ(refusal(""), "ck: not a quillet checkpoint or partial file (its first bytes are not 0x89 QUILLET)");
}

TEST(StateFile, InputDifferenceNamesTheInputThatChanged) {
    const std::vector<state_input> saved = sample().inputs;
    EXPECT_EQ(input_difference(saved, saved), "");
    std::vector<state_input> now = saved;
    now[1].digest = sha256_of("other particles");
    const std::string m = input_difference(saved, now);
    EXPECT_EQ(m.rfind("the particle position file ring.pos is not the one the state was saved with: its SHA-256 was " +
                          hex_text(sha256_of("particles")).substr(0, 16),
                      0),
              0u)
        << m;
    now = saved;
    now.push_back({"engine parameter file", "par", sha256_of("p")});
    EXPECT_EQ(input_difference(saved, now), "the engine parameter file par was not an input when the state was saved");
    now.resize(1);
    EXPECT_EQ(input_difference(saved, now),
              "the particle position file ring.pos was an input when the state was saved, but is not now");
}

TEST(StateFile, WriteReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    test_support::scratch_dir dir;
    const std::string name = dir.path() + "/ck";
    dir.write("ck", "previous");
    write_state_file(name, sample());
    EXPECT_EQ(read_state_file(name, "1.2.3").sections[1].bytes, sample().sections[1].bytes);
    std::size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++files;
    EXPECT_EQ(files, 1u);
}

TEST(StateFile, AFailedWriteKeepsThePreviousFileAndSaysWhy) {
    test_support::scratch_dir dir;
    dir.write("ck", "previous");
    try {
        write_state_file(dir.path() + "/missing/ck", sample());
        FAIL() << "no error";
    } catch (const output_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot write the partial file " + dir.path() + "/missing/ck: "),
                  std::string::npos)
            << e.what();
    }
    if (::geteuid() != 0) {  // root writes into a read-only folder anyway
        ::chmod(dir.path().c_str(), 0500);
        EXPECT_THROW(write_state_file(dir.path() + "/ck", sample()), output_error);
        ::chmod(dir.path().c_str(), 0700);
    }
    EXPECT_EQ(dir.read("ck"), "previous");
}

// A killed writer's temporary files go; a live writer's (locked), those of
// other names and other shapes stay.
TEST(StateFile, LeftTemporariesOfTheNameGoAndLockedOnesStay) {
    test_support::scratch_dir dir;
    for (const char* f : {"ck.partAb12Cd", "ck.partZZZZZ9", "ck.partLiving", "ck.partshort", "ck.partTooLong7",
                          "ck2.partAb12Cd", "xck.partAb12Cd", "ck"})
        dir.write(f, "x");
    std::filesystem::create_directory(dir.path() + "/ck.partFolder");
    const int live = ::open((dir.path() + "/ck.partLiving").c_str(), O_RDONLY);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);

    std::vector<std::string> removed = remove_left_temporaries(dir.path() + "/ck");
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{dir.path() + "/ck.partAb12Cd", dir.path() + "/ck.partZZZZZ9"}));
    for (const char* f : {"ck.partLiving", "ck.partshort", "ck.partTooLong7", "ck2.partAb12Cd", "xck.partAb12Cd",
                          "ck", "ck.partFolder"})
        EXPECT_TRUE(dir.exists(f)) << f;
    EXPECT_FALSE(dir.exists("ck.partAb12Cd"));

    // Once its writer is gone, the last one goes too; a name without a folder
    // looks in the current one.
    ::close(live);
    const std::string here = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    removed = remove_left_temporaries("ck");
    std::filesystem::current_path(here);
    EXPECT_EQ(removed, std::vector<std::string>{"ck.partLiving"});
    EXPECT_TRUE(dir.exists("ck.partFolder"));
}
