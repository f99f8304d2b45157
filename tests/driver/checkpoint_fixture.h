// The runs that the checkpoint, signal and part/merge tests compare: the
// quillet program on a deck with every kind of result (test images, escape
// file, histogram, haze), run whole once serially and once on two threads as
// the references, and helpers to start a run, stop it after its first
// checkpoint and compare its result files and report with a reference. The
// only values allowed to differ are the CPU-time record of the result files
// and the report's cpu line and dates.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/deck_text.h"
#include "support/result_files.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"

namespace quillet::test_support {

namespace fs = std::filesystem;

inline const std::string quillet_binary = QUILLET_BINARY;

// The deck names its result files run.*: the comparisons below take every
// such file the run wrote (support/result_files.h).
inline bool is_run_file(const std::string& name) { return name.rfind("run.", 0) == 0; }

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line)) v.push_back(line);
    return v;
}

// CPU seconds, user and system, of the child processes ended so far.
inline double children_cpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec) + double(u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The report's "cpu, cpu_comp" line: the CPU seconds of the engine calls.
inline double report_cpu(const std::string& report) {
    const std::size_t at = report.find("\ncpu, cpu_comp ");
    if (at == std::string::npos) return -1.0;
    return std::stod(report.substr(at + 16));
}

// A time stamp line of the report: " 2026-12- 8  17: 3: 7" (blanks for
// leading zeros).
inline bool is_time_stamp(const std::string& line) {
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
inline std::string report_body(const std::string& report) {
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
inline std::string haze_file() {
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
inline deck_values full_deck(std::int32_t photons_y = 100) {
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

}  // namespace quillet::test_support
