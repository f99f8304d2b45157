// Checkpoints and resumed runs on the quillet program: the deck's result
// files and where their CPU-time records stand; the refusals of --resume (
// another deck or input file, the other kind of run, a damaged, cut or
// foreign-version file) with their messages; the command-line options of
// checkpoints, parts and merges that do not go together; a checkpoint folder
// that cannot be written, and a file-size limit met by the checkpoint or by
// a result file; the progress lines of a log.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "checkpoint_fixture.h"
#include "format/state_file.h"

namespace {

using namespace quillet::test_support;

TEST_F(CheckpointRun, TheDeckHasEveryKindOfResultAndTheCpuLinesAreWhereExpected) {
    // Every kind of result file, and the comparisons leave out exactly the
    // CPU-time records ("cpu cpu_comp": record 23 of the escape file, which
    // is its 21st line in the histogram file and its 26th in the direction
    // file, one record per line).
    const std::map<std::string, int> kinds = {
        {"run.esc", 23}, {"run.hist", 21}, {"run.w", 26}, {"run.w.ORDER_ERR", 0}, {"run.TESTIMAGE", 0}};
    const auto files = find_result_files(reference_serial_, is_run_file);
    ASSERT_EQ(files.size(), kinds.size());
    for (const auto& [name, f] : files) {
        ASSERT_TRUE(kinds.count(name)) << name;
        EXPECT_EQ(f.cpu_line, kinds.at(name)) << name;
        const std::vector<std::string> v = lines_of(f.bytes);
        ASSERT_GT(v.size(), f.cpu_line > 0 ? 20u : 5u) << name;
        if (f.cpu_line > 0) {
            std::istringstream s(v[std::size_t(f.cpu_line - 1)]);
            double cpu = -1.0, cpu_comp = -1.0;
            std::string rest;
            ASSERT_TRUE(s >> cpu >> cpu_comp) << name << ": " << v[std::size_t(f.cpu_line - 1)];
            EXPECT_FALSE(s >> rest) << name;
            EXPECT_GE(cpu, 0.0);
            EXPECT_NEAR(cpu_comp, cpu / 20.0, 1e-12 + cpu * 1e-9) << name;  // per 1000 of 20000 photons
        }
    }
    // The haze took part: the direction file's table by ring and haze
    // scatterings has light after one haze scattering (its 21st line holds
    // n_haze 0..50 outer, n_ring 0..20, direction inner).
    const std::vector<std::string> w = lines_of(slurp(reference_serial_ + "/run.w"));
    ASSERT_GE(w.size(), 21u);
    std::istringstream table(w[20]);
    std::vector<double> v;
    for (double x; table >> x;) v.push_back(x);
    ASSERT_EQ(v.size(), 51u * 21u * 3u);
    double once = 0.0;
    for (std::size_t i = 21 * 3; i < 2 * 21 * 3; ++i) once += v[i];
    EXPECT_GT(once, 0.0);
    // Report lines from inside the photon loop, serial and threaded alike.
    std::size_t lines = 0;
    for (std::size_t at = serial_report_.find("IVIS3:  iphot="); at != std::string::npos;
         at = serial_report_.find("IVIS3:  iphot=", at + 1))
        ++lines;
    EXPECT_GT(lines, 20u);
    EXPECT_NE(threaded_report_.find("IVIS3:  iphot="), std::string::npos);
}

TEST_F(CheckpointRun, ResumeRefusesAnotherDeckAnotherInputFileAndTheOtherKindOfRun) {
    const std::string d = make_run_dir("refusals");
    ASSERT_TRUE(WIFEXITED(stop_after_first_checkpoint(d, {}, SIGTERM)));
    ASSERT_TRUE(fs::exists(d + "/ck"));
    const std::string ck = slurp(d + "/ck");

    auto refused = [&](const std::vector<std::string>& args, const std::string& message,
                       const std::string* deck = nullptr) {
        process_result r = in(d, args, deck);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        expect_no_result_file(d);
        EXPECT_EQ(slurp(d + "/ck"), ck) << "the checkpoint was changed";
    };
    deck_values other = full_deck();
    other.idum = -2025;
    const std::string other_deck = other.text();
    refused({"--resume", "ck"},
            "quillet: ck: cannot resume this run: the deck standard input is not the one the state was saved "
            "with: its SHA-256 was ",
            &other_deck);
    {
        std::ofstream(d + "/haze.pos", std::ios::app) << "\n";  // one more byte
    }
    refused({"--resume", "ck"},
            "quillet: ck: cannot resume this run: the haze particle file haze.pos is not the one the state was "
            "saved with: its SHA-256 was ");
    std::ofstream(d + "/haze.pos") << haze_file();
    refused({"--resume", "ck", "--threads", "2"},
            "quillet: ck: the checkpoint was made by the serial run (no --threads); resume it the same way, not "
            "with a threaded run (--threads N, any N)\n");
    // The same deck and files again: accepted.
    process_result r = in(d, {"--resume", "ck", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_results(d, reference_serial_, r.out, serial_report_);
}

TEST_F(CheckpointRun, ResumeRefusesAFlippedByteACutFileAndAnotherVersion) {
    const std::string d = make_run_dir("damaged");
    ASSERT_TRUE(WIFEXITED(stop_after_first_checkpoint(d, {"--threads", "2"}, SIGTERM)));
    const std::string ck = slurp(d + "/ck");
    ASSERT_GT(ck.size(), 1000u);
    auto refused = [&](const std::string& bytes, const std::string& message) {
        std::ofstream(d + "/bad", std::ios::binary) << bytes;
        process_result r = in(d, {"--resume", "bad", "--threads", "2"});
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        expect_no_result_file(d);
    };
    std::mt19937 gen(7);
    for (int i = 0; i < 5; ++i) {
        std::string flipped = ck;
        const std::size_t at = std::uniform_int_distribution<std::size_t>(16, ck.size() - 1)(gen);
        flipped[at] = char(flipped[at] ^ 0x04);
        refused(flipped, "quillet: bad: damaged: its checksum does not match its contents\n");
    }
    refused(ck.substr(0, ck.size() / 2), "quillet: bad: cut short: it holds " + std::to_string(ck.size() / 2) +
                                             " bytes, its header says " + std::to_string(ck.size()) + "\n");
    // The same state, written by another version of quillet.
    quillet::state_contents c = quillet::decode_state(ck, "ck", QUILLET_VERSION_TEXT);
    c.version = "0.0.9";
    refused(quillet::encode_state(c), std::string("quillet: bad: written by quillet 0.0.9 (layout 4); this is "
                                                  "quillet ") +
                                          QUILLET_VERSION_TEXT + " (layout 4), which cannot continue it\n");
    refused("", "quillet: bad: not a quillet checkpoint or partial file");
}

TEST_F(CheckpointRun, OptionsThatDoNotGoTogetherAreRefusedBeforeTheDeckIsRead) {
    const std::string d = make_run_dir("options");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--part", "1/4", "--partial", "p"}, "--part needs --threads N"},
        {{"--threads", "2", "--part", "1/4"}, "--part K/M needs --partial FILE"},
        {{"--threads", "2", "--partial", "p"}, "--partial FILE needs --part K/M"},
        {{"--threads", "2", "--part", "5/4", "--partial", "p"}, "--part expects K/M"},
        {{"--threads", "2", "--part", "0/4", "--partial", "p"}, "--part expects K/M"},
        {{"--threads", "2", "--part", "x", "--partial", "p"}, "--part expects K/M"},
        {{"--threads", "2", "--part", "1/2", "--partial", "p", "--checkpoint", "ck"}, "--part runs one share"},
        {{"--checkpoint-every", "10"}, "--checkpoint-every needs --checkpoint FILE"},
        {{"--checkpoint", "ck", "--checkpoint-every", "-1"}, "--checkpoint-every expects a number of seconds"},
        {{"--checkpoint"}, "--checkpoint expects a file name"},
        {{"--resume", "--quiet"}, "--resume expects a file name"},
        {{"--merge"}, "--merge expects the partial files of the run"},
        {{"--merge", "a", "--resume", "ck"}, "--merge only adds up partial files"},
    };
    for (const auto& [args, message] : cases) {
        process_result r = in(d, args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.out, "") << message;
        EXPECT_EQ(r.err.rfind("quillet: " + message, 0), 0u) << r.err;
    }
}

TEST_F(CheckpointRun, AnUnwritableCheckpointFolderIsReportedBeforeTheFirstPhoton) {
    const std::string d = make_run_dir("nofolder");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--checkpoint", "missing/ck"}, {"--threads", "2", "--part", "1/2", "--partial", "missing/p"}}) {
        process_result r = in(d, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("quillet: " + args[args.size() - 2] + " " + args.back() +
                                  ": cannot create the output file " + args.back() + ": No such file or directory\n",
                              0),
                  0u)
            << r.err;
        EXPECT_EQ(r.out, "");  // not even the deck's direction lines
        expect_no_result_file(d);
    }
}

// ulimit -f: a write beyond the limit fails (EFBIG), as on a full disk.
TEST_F(CheckpointRun, AFileSizeLimitEndsTheRunWithAMessageKeepingThePreviousCheckpointAndNoResultFile) {
    const std::string d = make_run_dir("full");
    ASSERT_TRUE(WIFEXITED(stop_after_first_checkpoint(d, {}, SIGTERM)));
    const std::string ck = slurp(d + "/ck");
    ASSERT_GT(ck.size(), 20000u);
    auto limited = [&](std::size_t kib, const std::string& args) {
        return run_binary("/bin/bash", deck_, d,
                          {"-c", "ulimit -f " + std::to_string(kib) + "; exec '" + quillet_binary + "' " + args});
    };
    // The next checkpoint does not fit.
    process_result r = limited(ck.size() / 2048, "--resume ck --checkpoint ck --checkpoint-every 0 --quiet");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "quillet: cannot write the checkpoint ck: File too large (any earlier file of that name is "
                     "kept)\n");
    EXPECT_EQ(slurp(d + "/ck"), ck);
    expect_no_result_file(d);
    EXPECT_FALSE(has_temporary(d, "ck"));
    // The checkpoint fits, the escape file (one record per photon, far larger) does not.
    r = limited(ck.size() / 1024 + 300, "--resume ck --checkpoint ck --quiet");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("quillet: cannot write the output file run.esc: File too large", 0), 0u) << r.err;
    expect_no_result_file(d);
    // What was kept still resumes to the same bytes.
    process_result ok = in(d, {"--resume", "ck", "--quiet"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    expect_same_results(d, reference_serial_, ok.out, serial_report_);
}

TEST_F(CheckpointRun, ALogGetsOneProgressLinePerTenthOfThePhotonsAndQuietNone) {
    const std::string d = make_run_dir("log");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"--threads", "2"}}) {
        process_result r = in(d, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = lines_of(r.err);
        ASSERT_EQ(lines.size(), 9u) << r.err;
        long previous = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            long n = 0, total = 0;
            int percent = 0;
            ASSERT_EQ(std::sscanf(lines[i].c_str(), "quillet: %ld of %ld photons (%d%%), ", &n, &total, &percent), 3)
                << lines[i];
            EXPECT_EQ(total, 20000);
            EXPECT_EQ(percent, int(100 * n / 20000)) << lines[i];
            EXPECT_GE(n, 2000L * long(i + 1)) << lines[i];
            EXPECT_LT(n, 2000L * long(i + 2)) << lines[i];  // the next tenth not yet reached
            EXPECT_GT(n, previous);
            EXPECT_NE(lines[i].find(" photons/s, "), std::string::npos) << lines[i];
            EXPECT_EQ(lines[i].substr(lines[i].size() - 5), " left") << lines[i];
            previous = n;
        }
        EXPECT_EQ(r.err.find('\r'), std::string::npos);
    }
    // --quiet: nothing on standard error; the results are the same.
    EXPECT_EQ(in(d, {"--quiet"}).err, "");
}

}  // namespace
