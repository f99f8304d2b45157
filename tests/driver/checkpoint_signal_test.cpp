// Runs stopped by a signal and resumed on the quillet program: stopped by
// SIGINT after a checkpoint, serial and threaded (resumed on another thread
// count too), or killed by SIGKILL at random moments of the photon loop and
// of the checkpoint write, a resumed run writes the very bytes of the
// uninterrupted run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "checkpoint_fixture.h"

namespace {

using namespace quillet::test_support;

TEST_F(CheckpointRun, SerialRunStoppedBySigintResumesToTheSameBytes) {
    const std::string d = make_run_dir("serial");
    const int status = stop_after_first_checkpoint(d, {}, SIGINT);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    const std::string err = slurp(d + "/err");
    EXPECT_NE(err.find("photons; no result file was written; the checkpoint ck keeps them: continue with "
                       "quillet --resume ck < deck\n"),
              std::string::npos)
        << err;
    expect_no_result_file(d);
    process_result r = in(d, {"--resume", "ck", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_same_results(d, reference_serial_, r.out, serial_report_);
    // Without --checkpoint the resumed run leaves the file it was given.
    EXPECT_TRUE(fs::exists(d + "/ck"));
}

TEST_F(CheckpointRun, ThreadedRunStoppedBySigintResumesToTheSameBytesOnAnyThreadCount) {
    for (auto [before, after] : std::vector<std::pair<int, int>>{{1, 3}, {2, 1}, {3, 2}, {2, 2}}) {
        SCOPED_TRACE("stopped on " + std::to_string(before) + " threads, resumed on " + std::to_string(after));
        const std::string d = make_run_dir("threads" + std::to_string(before) + std::to_string(after));
        const int status = stop_after_first_checkpoint(d, {"--threads", std::to_string(before)}, SIGINT);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
        const std::string err = slurp(d + "/err");
        EXPECT_NE(err.find("; the checkpoint ck keeps them: continue with quillet --resume ck --threads N < deck\n"),
                  std::string::npos)
            << err;
        // After whole blocks.
        const std::size_t at = err.find(" after ");
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(std::stol(err.substr(at + 7)) % 1000, 0) << err;
        process_result r = in(d, {"--resume", "ck", "--threads", std::to_string(after), "--quiet"});
        ASSERT_EQ(r.status, 0) << r.err;
        expect_same_results(d, reference_threaded_, r.out, threaded_report_);
    }
}

// Ten trials: SIGKILL at a random moment of the run (from its set-up to its
// result files, some of which may then stand), or right when a checkpoint
// is being written (its temporary file exists); then the run is resumed from
// whatever checkpoint stands (or started again when none does), keeping its
// checkpoint, and must give the same bytes.
TEST_F(CheckpointRun, SigkillAtRandomMomentsOfTheLoopAndOfTheCheckpointWriteResumesToTheSameBytes) {
    std::mt19937 gen(2026);
    int during_write = 0, resumed = 0, left_temporaries = 0;
    for (int trial = 0; trial < 10; ++trial) {
        const bool threaded = trial % 2 == 1;
        const bool at_write = trial % 5 >= 3;  // trials 3, 4, 8, 9
        SCOPED_TRACE("trial " + std::to_string(trial) + (threaded ? " threaded" : " serial") +
                     (at_write ? ", killed while a checkpoint is written" : ", killed at a random moment"));
        const std::string d = make_run_dir("kill" + std::to_string(trial));
        std::vector<std::string> args = {"--checkpoint", "ck", "--checkpoint-every", "0", "--quiet"};
        if (threaded) args.insert(args.end(), {"--threads", "2"});
        const pid_t pid = start(d, args);
        int status = 0;
        bool ended = false;
        if (at_write) {
            // The second or a later checkpoint, so that one stands already.
            const int skip = std::uniform_int_distribution<int>(1, 6)(gen);
            int seen = 0;
            bool was = false;
            wait_until(pid,
                       [&] {
                           const bool now = has_temporary(d, "ck");
                           if (now && !was) ++seen;
                           was = now;
                           return now && seen > skip;
                       },
                       status, ended);
        } else {
            // Trials 0 and 5 anywhere from the set-up to the result files
            // (perhaps before the first checkpoint); the others somewhere in
            // the photon loop after the first checkpoint.
            const bool anywhere = trial % 5 == 0;
            if (!anywhere) wait_until(pid, [&] { return fs::exists(d + "/ck"); }, status, ended);
            const double run_us = 1e6 * (threaded ? threaded_seconds_ : serial_seconds_);
            const auto delay = std::chrono::microseconds(std::int64_t(
                std::uniform_real_distribution<double>(anywhere ? 0.02 : 0.0, anywhere ? 0.95 : 0.6)(gen) * run_us));
            const auto until = std::chrono::steady_clock::now() + delay;
            if (!ended) wait_until(pid, [&] { return std::chrono::steady_clock::now() >= until; }, status, ended);
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            // The run may have ended between the last look and the signal.
            ended = WIFEXITED(status);
        }
        if (ended) {
            // Too fast for this trial's moment: the run must simply be right.
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(d + "/err");
            expect_same_results(d, threaded ? reference_threaded_ : reference_serial_, slurp(d + "/report"),
                                threaded ? threaded_report_ : serial_report_);
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(status));
        if (at_write) {
            ++during_write;
            expect_no_result_file(d, true);
        }
        std::vector<std::string> again = args;
        if (fs::exists(d + "/ck")) {
            again.insert(again.end(), {"--resume", "ck"});
            ++resumed;
        }
        const bool left_temporary = has_temporary(d, "ck");
        process_result r = in(d, again);
        ASSERT_EQ(r.status, 0) << r.err;
        expect_same_results(d, threaded ? reference_threaded_ : reference_serial_, r.out,
                            threaded ? threaded_report_ : serial_report_);
        // The killed run's temporary checkpoint is gone, and so, the result
        // files standing, is the checkpoint.
        EXPECT_FALSE(has_temporary(d, "ck"));
        EXPECT_EQ(left_temporary, r.err.find("quillet: removed ck.part") == 0) << r.err;
        EXPECT_FALSE(fs::exists(d + "/ck"));
        left_temporaries += left_temporary;
    }
    // Most trials continue a checkpoint (on a busy machine a run may end
    // before its moment comes: then it is checked as it is).
    EXPECT_GE(resumed, 4);
    EXPECT_GE(during_write, 1);
    EXPECT_GE(left_temporaries, 1);
}

}  // namespace
