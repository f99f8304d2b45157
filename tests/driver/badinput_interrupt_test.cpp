// A run stopped part-way by SIGINT or SIGTERM: the quillet program says on
// standard error after how many photons it stopped, exits with 128 + the
// signal and leaves no result file, complete or partial. On a terminal the
// progress line (photons done, rate, time left) is shown on standard error
// while photons run and wiped before the message; off a terminal (a log) it
// is one whole line per tenth of the photons, and --quiet silences it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"

namespace {

// The example run with 9 x 10^6 photons (without its escape file and
// histogram): long enough (several seconds on two threads, far more under the
// sanitizers) to be stopped in the middle.
class InterruptedRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream in(std::string(QUILLET_SOURCE_DIR) + "/examples/example.deck");
        std::stringstream s;
        s << in.rdbuf();
        std::string deck = s.str();
        const std::string grid = "200 200 20 20";
        std::size_t at = deck.find(grid);
        ASSERT_NE(at, std::string::npos);
        deck.replace(at, grid.size(), "3000 3000 20 20");
        // No escape file (whose records limit a run to 10^6 photons) nor histogram.
        for (const std::string file : {"'out/example.esc'", "'out/example.hist'"}) {
            at = deck.find(file);
            ASSERT_NE(at, std::string::npos);
            deck.replace(at, file.size(), "junk");
        }
        dir_.write("long.deck", deck);
        std::filesystem::copy_file(std::string(QUILLET_SOURCE_DIR) + "/examples/ring.pos", dir_.path() + "/ring.pos");
        std::filesystem::create_directory(dir_.path() + "/out");
    }

    // In the child: the deck on standard input, the report into a file.
    // `option`, when given, is passed as the program's one argument.
    [[noreturn]] void exec_quillet(const char* option = nullptr, const char* option2 = nullptr) {
        if (chdir(dir_.path().c_str()) != 0) _exit(120);
        int in = open("long.deck", O_RDONLY);
        int out = open("report", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(121);
        execl(QUILLET_BINARY, QUILLET_BINARY, option, option2, static_cast<char*>(nullptr));
        _exit(122);
    }

    // Runs the long deck (with `option`, if any) with standard error into a
    // file, sends SIGTERM after 1.5 s (time enough for the set-up, a few
    // milliseconds, more under the sanitizers; the photons take seconds), and
    // returns what the program printed on standard error.
    std::string sigterm_midway(const char* option, int& status, const char* option2 = nullptr) {
        pid_t pid = fork();
        if (pid < 0) return "fork failed";
        if (pid == 0) {
            int err = open((dir_.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err < 0 || dup2(err, 2) < 0) _exit(123);
            exec_quillet(option, option2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(pid, SIGTERM);
        if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
        return dir_.read("err");
    }

    bool out_folder_empty() const {
        return std::filesystem::is_empty(dir_.path() + "/out");
    }

    quillet::test_support::scratch_dir dir_;
};

// The message of an interrupted run without a checkpoint: what was lost and
// how to keep it next time.
const std::string lost = " of 9000000 photons; no result file was written (quillet --checkpoint FILE keeps the "
                         "work of an interrupted run)\n";

// The last line of a text that ends with a line end.
std::string last_line(const std::string& text) {
    if (text.empty() || text.back() != '\n') return "";
    const std::size_t at = text.rfind('\n', text.size() - 2);
    return at == std::string::npos ? text : text.substr(at + 1);
}

// Every line but the last is a progress line of a log, at a tenth of the
// photons: "quillet: N of 9000000 photons (P%), R photons/s, ... left", with
// N growing and P the tenths 10, 20, ... in order.
void expect_log_progress_lines(const std::string& err) {
    std::istringstream lines(err);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) all.push_back(line);
    long previous = 0;
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        long n = 0, total = 0;
        int percent = 0;
        ASSERT_EQ(std::sscanf(all[i].c_str(), "quillet: %ld of %ld photons (%d%%)", &n, &total, &percent), 3) << all[i];
        EXPECT_EQ(total, 9000000);
        EXPECT_GT(n, previous) << all[i];
        EXPECT_EQ(percent, 10 * int(i + 1)) << all[i];
        EXPECT_GE(n, 900000L * long(i + 1)) << all[i];
        EXPECT_NE(all[i].find(" photons/s, "), std::string::npos) << all[i];
        EXPECT_NE(all[i].find(" left"), std::string::npos) << all[i];
        previous = n;
    }
}

// Photons done before the stop, read from "after M of 9000000 photons".
long photons_before_stop(const std::string& err) {
    std::size_t at = err.find(" after ");
    if (at == std::string::npos) return -1;
    return std::strtol(err.c_str() + at + 7, nullptr, 10);
}

TEST_F(InterruptedRun, SigintOnATerminalWipesTheProgressLineAndSaysHowFarTheRunGot) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) exec_quillet();

    // Read the terminal until the progress line has shown up, then interrupt.
    std::string tty;
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;  // EIO once the program has ended
            tty.append(buf, std::size_t(n));
        }
        if (!signalled && (tty.find("photons/s") != std::string::npos ||
                           std::chrono::steady_clock::now() > deadline)) {
            kill(pid, SIGINT);
            signalled = true;
        }
    }
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << tty;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT) << tty;

    // The progress line: rewritten in place, with count, rate and time left.
    EXPECT_NE(tty.find("\rquillet: "), std::string::npos) << tty;
    EXPECT_NE(tty.find(" of 9000000 photons ("), std::string::npos) << tty;
    EXPECT_NE(tty.find(" s left"), std::string::npos) << tty;
    // Wiped (blanks, then a carriage return) right before the one message.
    const std::string message = "quillet: interrupted by signal 2 (SIGINT) after ";
    std::size_t at = tty.find(message);
    ASSERT_NE(at, std::string::npos) << tty;
    EXPECT_EQ(tty.substr(at - 2, 2), " \r") << tty;
    const std::string err = tty.substr(at);
    long done = photons_before_stop(err);
    EXPECT_GT(done, 0) << err;
    EXPECT_LT(done, 9000000) << err;
    EXPECT_NE(err.find(lost.substr(0, lost.size() - 1)), std::string::npos) << err;

    EXPECT_TRUE(out_folder_empty());
    // The report stops before the closing summary.
    std::string report = dir_.read("report");
    EXPECT_NE(report.find("flux_sat,nphot"), std::string::npos);
    EXPECT_EQ(report.find("NORI,TAU"), std::string::npos);
}

TEST_F(InterruptedRun, SigtermWithoutATerminalGivesLogProgressLinesOneMessageAndNoFile) {
    int status = 0;
    const std::string err = sigterm_midway(nullptr, status);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
    const std::string message = last_line(err);
    EXPECT_EQ(message.rfind("quillet: interrupted by signal 15 (SIGTERM) after ", 0), 0u) << err;
    EXPECT_NE(message.find(lost), std::string::npos) << err;
    expect_log_progress_lines(err);
    EXPECT_TRUE(out_folder_empty());
}

TEST_F(InterruptedRun, QuietRunStoppedBySigtermPrintsOnlyTheMessage) {
    int status = 0;
    const std::string err = sigterm_midway("--quiet", status);
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << err;
    EXPECT_EQ(err.rfind("quillet: interrupted by signal 15 (SIGTERM) after ", 0), 0u) << err;
    EXPECT_NE(err.find(lost), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_TRUE(out_folder_empty());
}

TEST_F(InterruptedRun, SigtermStopsAThreadedRunAfterWholeBlocksAndWritesNoFile) {
    int status = 0;
    const std::string err = sigterm_midway("--threads=2", status, "--quiet");
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << err;
    EXPECT_EQ(err.rfind("quillet: interrupted by signal 15 (SIGTERM) after ", 0), 0u) << err;
    EXPECT_NE(err.find(lost), std::string::npos) << err;
    // The photons counted are those of the blocks already added.
    const long done = photons_before_stop(err);
    EXPECT_GE(done, 0) << err;
    EXPECT_EQ(done % 1000, 0) << err;
    EXPECT_LT(done, 9000000) << err;
    EXPECT_TRUE(out_folder_empty());
}

}  // namespace
