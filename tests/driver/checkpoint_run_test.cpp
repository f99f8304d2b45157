// Runs that survive interruption and combine, tried on the quillet program
// with a deck that has every kind of result: test images, escape file,
// histogram, haze. A run stopped by SIGINT (or killed by SIGKILL at random
// moments of the photon loop and of the checkpoint write) and resumed writes
// the very bytes of the uninterrupted run, serial and threaded, also on
// another thread count; four partial runs merged write the bytes of the
// one-process threaded run. Every refusal is checked with its message. The
// only values allowed to differ are the CPU-time record of the result files
// and the report's cpu line and dates.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "format/state_file.h"
#include "support/deck_text.h"
#include "support/result_files.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"

namespace {

using quillet::test_support::deck_values;
using quillet::test_support::find_result_files;
using quillet::test_support::without_cpu_line;
using quillet::test_support::process_result;
using quillet::test_support::run_binary;

namespace fs = std::filesystem;

const std::string quillet_binary = QUILLET_BINARY;

// The deck names its result files run.*: the comparisons below take every
// such file the run wrote (support/result_files.h).
bool is_run_file(const std::string& name) { return name.rfind("run.", 0) == 0; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line)) v.push_back(line);
    return v;
}

// A result file less its CPU-time line.
std::string without_line(const std::string& text, int n) {
    std::vector<std::string> v = lines_of(text);
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (int(i) + 1 != n) out += v[i] + "\n";
    return out;
}

// CPU seconds, user and system, of the child processes ended so far.
double children_cpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec) + double(u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The report's "cpu, cpu_comp" line: the CPU seconds of the engine calls.
double report_cpu(const std::string& report) {
    const std::size_t at = report.find("\ncpu, cpu_comp ");
    if (at == std::string::npos) return -1.0;
    return std::stod(report.substr(at + 16));
}

// The escape file's "cpu cpu_comp" record: the CPU seconds of the photon loops.
double record_cpu(const std::string& d) {
    const std::vector<std::string> v = lines_of(slurp(d + "/run.esc"));
    return v.size() >= 23 ? std::stod(v[22]) : -1.0;
}

// A time stamp line of the report: " 2026-12- 8  17: 3: 7" (blanks for
// leading zeros).
bool is_time_stamp(const std::string& line) {
    const std::string shape = " dddd-xd-xd  xd:xd:xd";
    if (line.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = line[i], want = shape[i];
        const bool digit = c >= '0' && c <= '9';
        if (want == 'd' ? !digit : want == 'x' ? !(digit || c == ' ') : c != want) return false;
    }
    return true;
}

// The report less its cpu line and its two time stamps.
std::string report_body(const std::string& report) {
    std::string out;
    int stamps = 0;
    for (const std::string& line : lines_of(report)) {
        if (line.rfind("cpu, cpu_comp ", 0) == 0) continue;
        if (is_time_stamp(line)) {
            ++stamps;
            continue;
        }
        out += line + "\n";
    }
    EXPECT_EQ(stamps, 2) << report.substr(0, 400);
    return out;
}

// A haze of small spheres in the example cell (140 x 140, the layer of the
// example field), placed independently, so that some overlap ring particles:
// a photon that enters a ring particle inside a haze sphere finds its way
// back to the source blocked, and the run prints "IVIS3" report lines from
// inside the photon loop, which a checkpoint must keep too.
std::string haze_file() {
    std::mt19937 gen(16);
    std::uniform_real_distribution<double> x(-70.0, 70.0), z(-4.0, 4.0);
    std::ostringstream s;
    s.precision(17);
    s << "'test haze'\n'seed 16'\n0.0 70.0 70.0 20.0\n1500\n";
    for (int i = 0; i < 1500; ++i) s << 0.5 << " " << x(gen) << " " << x(gen) << " " << z(gen) << "\n";
    return s.str();
}

// Everything a result file can hold: 3 directions, 64 x 64 test image,
// escape file, histogram, haze with its own law, random launches and
// rotation, 2 x 10^4 photons (20 blocks).
deck_values full_deck(std::int32_t photons_y = 100) {
    deck_values d;
    d.posfile = "ring.pos";
    d.ntest = 3;
    d.directions = {{30.0, 0.0}, {30.0, 30.0}, {45.0, 1090.0}};
    d.nxphot = 200;
    d.nyphot = photons_y;
    d.mx = d.my = 20;
    d.outfile = "run.esc";
    d.epsfile = "run.hist";
    d.wfile = "run.w";
    d.method = 4;
    d.ppar1 = -0.3;
    d.posfile_haze = "haze.pos";
    d.method_haze = 3;
    d.ppar1_haze = 0.2;
    d.ssca_part = 0.5;
    d.ssca_haze = 0.9;
    d.icheck = 0;
    d.idum = -2024;
    d.irot = 1;
    d.isquare = 0;
    d.testimage = "run";
    d.nxpix = d.nypix = 64;
    return d;
}

class CheckpointRun : public ::testing::Test {
protected:
    void SetUp() override {
        deck_ = full_deck().text();
        reference_serial_ = make_run_dir("ref-serial");
        reference_threaded_ = make_run_dir("ref-threaded");
        auto t0 = std::chrono::steady_clock::now();
        process_result s = in(reference_serial_, {"--quiet"});
        ASSERT_EQ(s.status, 0) << s.err;
        serial_report_ = s.out;
        auto t1 = std::chrono::steady_clock::now();
        const double cpu0 = children_cpu();
        process_result t = in(reference_threaded_, {"--threads", "2", "--quiet"});
        ASSERT_EQ(t.status, 0) << t.err;
        threaded_report_ = t.out;
        outside_engine_ = children_cpu() - cpu0 - report_cpu(t.out);
        auto t2 = std::chrono::steady_clock::now();
        serial_seconds_ = std::chrono::duration<double>(t1 - t0).count();
        threaded_seconds_ = std::chrono::duration<double>(t2 - t1).count();
    }

    // A folder with the field and the haze, ready for a run.
    std::string make_run_dir(const std::string& name) {
        const std::string d = dir_.path() + "/" + name;
        fs::create_directory(d);
        fs::copy_file(std::string(QUILLET_SOURCE_DIR) + "/examples/ring.pos", d + "/ring.pos");
        std::ofstream(d + "/haze.pos") << haze_file();
        return d;
    }

    process_result in(const std::string& d, const std::vector<std::string>& args, const std::string* deck = nullptr) {
        return run_binary(quillet_binary, deck ? *deck : deck_, d, args);
    }

    // Starts quillet in folder d with the deck on standard input; the
    // report goes to d/report, standard error to d/err.
    pid_t start(const std::string& d, std::vector<std::string> args) {
        {
            std::ofstream(d + "/deck") << deck_;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(d.c_str()) != 0) _exit(120);
            const int i = open("deck", O_RDONLY), o = open("report", O_WRONLY | O_CREAT | O_TRUNC, 0644),
                      e = open("err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (i < 0 || o < 0 || e < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(121);
            std::vector<char*> argv{const_cast<char*>(quillet_binary.c_str())};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(quillet_binary.c_str(), argv.data());
            _exit(122);
        }
        return pid;
    }

    // Waits (polling every half millisecond) until `ready` holds or the
    // process has ended; true when it holds while the process still runs.
    template <class F>
    static bool wait_until(pid_t pid, F ready, int& status, bool& ended) {
        ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            if (ready()) return true;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return false;
    }

    static bool has_temporary(const std::string& d, const std::string& prefix) {
        for (auto& e : fs::directory_iterator(d))
            if (e.path().filename().string().rfind(prefix + ".part", 0) == 0) return true;
        return false;
    }

    // Runs with a checkpoint after every block and stops the run with `sig`
    // as soon as the first checkpoint stands; returns the exit status.
    // On a busy machine the run may end before the signal lands (the
    // checkpoints are written on a thread of their own, and an fsync may wait
    // long behind other writers); such a trial stops nothing ("came after the
    // last photon") and is made again, up to five times.
    int stop_after_first_checkpoint(const std::string& d, std::vector<std::string> args, int sig) {
        args.insert(args.end(), {"--checkpoint", "ck", "--checkpoint-every", "0"});
        int status = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            fs::remove(d + "/ck");
            const double before = children_cpu();
            const pid_t pid = start(d, args);
            bool ended = false;
            wait_until(pid, [&] { return fs::exists(d + "/ck"); }, status, ended);
            if (!ended) {
                kill(pid, sig);
                waitpid(pid, &status, 0);
            }
            stopped_cpu_ = children_cpu() - before;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig &&
                slurp(d + "/err").find("quillet: interrupted by ") != std::string::npos)
                return status;
            for (const auto& [name, f] : find_result_files(d, is_run_file)) fs::remove(d + "/" + name);
        }
        ADD_FAILURE() << "five runs ended before a signal stopped them: " << slurp(d + "/err");
        return status;
    }

    void expect_same_results(const std::string& d, const std::string& ref, const std::string& report,
                             const std::string& ref_report) {
        const auto got = find_result_files(d, is_run_file), want = find_result_files(ref, is_run_file);
        ASSERT_FALSE(want.empty()) << ref;
        for (const auto& [name, f] : want) {
            const auto it = got.find(name);
            ASSERT_TRUE(it != got.end()) << d << "/" << name << " is missing";
            EXPECT_EQ(without_cpu_line(it->second), without_cpu_line(f)) << d << "/" << name << " differs from " << ref;
        }
        for (const auto& [name, f] : got) EXPECT_TRUE(want.count(name)) << d << "/" << name << " is not in " << ref;
        EXPECT_EQ(report_body(report), report_body(ref_report));
    }

    // No result file and no temporary file of one in folder d (a process
    // killed by SIGKILL cannot remove its temporary files: those may stay).
    static void expect_no_result_file(const std::string& d, bool killed = false) {
        for (auto& e : fs::directory_iterator(d)) {
            const std::string n = e.path().filename().string();
            if (killed && n.find(".part") != std::string::npos) continue;
            EXPECT_NE(n.rfind("run.", 0), 0u) << "left behind: " << n;
        }
    }

    quillet::test_support::scratch_dir dir_;
    std::string deck_;
    std::string reference_serial_, reference_threaded_;
    std::string serial_report_, threaded_report_;
    double serial_seconds_ = 0.0, threaded_seconds_ = 0.0;  // wall time of the uninterrupted runs
    double stopped_cpu_ = 0.0;  // CPU seconds of the run that stop_after_first_checkpoint stopped
    double outside_engine_ = 0.0;  // CPU seconds of the threaded reference run outside its engine call
};

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

TEST_F(CheckpointRun, FourPartsMergedGiveTheBytesOfTheOneProcessThreadedRun) {
    const std::string d = make_run_dir("parts");
    for (int k = 1; k <= 4; ++k) {
        process_result p = in(d, {"--threads", std::to_string(k % 3 + 1), "--part", std::to_string(k) + "/4",
                                  "--partial", "part" + std::to_string(k), "--quiet"});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_NE(p.out.find("partial: part,parts,blocks,photons " + std::to_string(k) + " 4 5 5000\n"),
                  std::string::npos)
            << p.out;
        expect_no_result_file(d);
    }
    process_result m = in(d, {"--merge", "part3", "part1", "part4", "part2", "--quiet"});
    ASSERT_EQ(m.status, 0) << m.err;
    expect_same_results(d, reference_threaded_, m.out, threaded_report_);
}

TEST_F(CheckpointRun, MergeRefusesAMissingRepeatedOrForeignPartAndACheckpoint) {
    const std::string d = make_run_dir("bad-parts");
    for (int k = 1; k <= 3; ++k)
        ASSERT_EQ(in(d, {"--threads", "2", "--part", std::to_string(k) + "/3", "--partial", "p" + std::to_string(k)})
                      .status,
                  0);
    const std::string other = full_deck(101).text();  // another photon count: another run
    ASSERT_EQ(in(d, {"--threads", "2", "--part", "2/3", "--partial", "foreign"}, &other).status, 0);
    ASSERT_EQ(in(d, {"--threads", "2", "--part", "1/2", "--partial", "half"}).status, 0);

    auto refused = [&](const std::vector<std::string>& files, const std::string& message) {
        std::vector<std::string> args = {"--merge"};
        args.insert(args.end(), files.begin(), files.end());
        process_result r = in(d, args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        expect_no_result_file(d);
    };
    refused({"p1", "p3"}, "quillet: --merge: part 2 of 3 is missing (given: 2 of 3 parts)\n");
    refused({"p1", "p2", "p2", "p3"}, "quillet: p2: part 2 of 3 is given twice (also p2)\n");
    refused({"p1", "foreign", "p3"},
            "quillet: foreign: not a part of this run: the deck standard input is not the one the state was saved "
            "with: its SHA-256 was ");
    refused({"p1", "half"}, "quillet: half: part 1 of 2, but p1 is part 1 of 3\n");
    const int status = stop_after_first_checkpoint(d, {"--threads", "2"}, SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    refused({"ck"}, "quillet: ck: a checkpoint, not a partial file: --merge takes the files that --part K/M "
                    "--partial FILE wrote (a checkpoint is continued with --resume)\n");
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
    refused(quillet::encode_state(c), std::string("quillet: bad: written by quillet 0.0.9 (layout 3); this is "
                                                  "quillet ") +
                                          QUILLET_VERSION_TEXT + " (layout 3), which cannot continue it\n");
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

// A part run again after a kill: the killed writer's temporary file goes,
// one that a live process holds locked (another run of that name) stays.
TEST_F(CheckpointRun, APartRunAgainRemovesTheTemporaryFilesOfAKilledWriterOnly) {
    const std::string d = make_run_dir("part-again");
    for (const char* f : {"p1.partAb12Cd", "p1.partLiving", "p10.partAb12Cd"}) std::ofstream(d + "/" + f) << "x";
    const int live = open((d + "/p1.partLiving").c_str(), O_RDONLY);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    process_result p = in(d, {"--threads", "2", "--part", "1/2", "--partial", "p1", "--quiet"});
    close(live);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.err, "quillet: removed p1.partAb12Cd, a temporary file of p1 left by a run that was killed\n");
    EXPECT_FALSE(fs::exists(d + "/p1.partAb12Cd"));
    EXPECT_TRUE(fs::exists(d + "/p1.partLiving"));
    EXPECT_TRUE(fs::exists(d + "/p10.partAb12Cd"));
    EXPECT_TRUE(fs::exists(d + "/p1"));
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

// The CPU seconds a checkpoint or partial file holds: photon loops, engine calls.
std::pair<double, double> saved_cpu(const std::string& file) {
    const quillet::state_contents c = quillet::read_state_file(file, QUILLET_VERSION_TEXT);
    quillet::byte_reader r(c.section("CPU ", file), file);
    const double loop = r.get<double>();
    const double engine = r.get<double>();
    return {loop, engine};
}

// The CPU records count every process that worked on the run: the parts of a
// merged run, the segments of a resumed one. Every figure is the process's
// own getrusage, as the processes' CPU seconds seen by this one are: a part's
// engine call cannot take more than its process, and takes all of it but its
// start, the deck's reading, the partial file's write and its end: what the
// one-process reference run spent outside its engine call (about 0.025 s in
// the optimised build, 0.7 s under the sanitizers), twice that allowed, and
// 0.05 s more. The merge adds its own engine call and photon loop (reading
// the parts) to those of the parts.
TEST_F(CheckpointRun, MergedAndResumedRunsCountTheCpuSecondsOfEveryPartAndSegment) {
    const double outside_engine = 2.0 * outside_engine_ + 0.05, slack = 1e-3;
    const std::string d = make_run_dir("cpu-parts");
    double loops = 0.0, engines = 0.0;
    for (int k = 1; k <= 2; ++k) {
        const double before = children_cpu();
        const std::string name = "p" + std::to_string(k);
        process_result p = in(d, {"--threads", "2", "--part", std::to_string(k) + "/2", "--partial", name, "--quiet"});
        ASSERT_EQ(p.status, 0) << p.err;
        const double process = children_cpu() - before;
        const auto [loop, engine] = saved_cpu(d + "/" + name);
        EXPECT_GT(loop, 0.0) << name;
        EXPECT_LE(loop, engine) << name;
        EXPECT_LE(engine, process + slack) << name;
        EXPECT_GE(engine, process - outside_engine) << name;
        loops += loop;
        engines += engine;
    }
    double before = children_cpu();
    process_result m = in(d, {"--merge", "p1", "p2", "--quiet"});
    ASSERT_EQ(m.status, 0) << m.err;
    double merge = children_cpu() - before;
    EXPECT_GE(report_cpu(m.out), engines - slack) << m.out;
    EXPECT_LE(report_cpu(m.out), engines + merge + slack) << m.out;
    EXPECT_GE(record_cpu(d), loops - slack);
    EXPECT_LE(record_cpu(d), loops + merge + slack);

    // A threaded run stopped by SIGINT (its last checkpoint then holds the
    // CPU seconds up to the stop) and resumed.
    const std::string r = make_run_dir("cpu-resumed");
    const int status = stop_after_first_checkpoint(r, {"--threads", "2"}, SIGINT);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT);
    const auto [loop, engine] = saved_cpu(r + "/ck");
    EXPECT_GT(loop, 0.0);
    EXPECT_LE(loop, engine);
    EXPECT_LE(engine, stopped_cpu_ + slack);
    EXPECT_GE(engine, stopped_cpu_ - outside_engine);
    before = children_cpu();
    process_result resumed = in(r, {"--resume", "ck", "--threads", "2", "--quiet"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    merge = children_cpu() - before;
    EXPECT_GE(report_cpu(resumed.out), engine - slack) << resumed.out;
    EXPECT_LE(report_cpu(resumed.out), engine + merge + slack) << resumed.out;
    EXPECT_GE(record_cpu(r), loop - slack);
    EXPECT_LE(record_cpu(r), loop + merge + slack);
}
