// The engine run inside the calling process: the program's report and result
// files, the same again after another run in the same process (no record of
// one run carries into the next), the caller's working folder left alone, and
// a failure handed back as the program's message with the report so far.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "driver/in_process_run.h"
#include "support/deck_text.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"

using namespace quillet;
using test_support::deck_values;

namespace {

const char field[] = "small-field\n1\n1.0 4.0 4.0 1.0\n6\n0.9 0.0 0.0 0.0\n0.8 2.0 1.5 0.3\n0.7 -2.0 1.0 -0.2\n"
                     "0.6 1.0 -2.5 0.1\n0.9 -2.5 -2.0 0.4\n0.5 3.0 3.0 -0.3\n";

// A run with every result file but the escape file's per-photon kin.
deck_values busy_deck(std::int32_t idum) {
    deck_values d;
    d.directions = {{30.0, 0.0}, {45.0, 30.0}, {60.0, 1090.0}};
    d.ntest = 3;
    d.nxphot = 40;
    d.nyphot = 30;
    d.mx = d.my = 4;
    d.outfile = "run.esc";
    d.epsfile = "run.hist";
    d.method = 4;
    d.ppar1 = -0.2;
    d.ssca_part = 0.7;
    d.icheck = 0;
    d.idum = idum;
    d.irot = 1;
    d.isquare = 0;
    d.nxpix = d.nypix = 8;
    return d;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// The report without the CPU seconds and the two date lines.
std::vector<std::string> masked_report(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& l : lines_of(text)) {
        if (l.rfind("cpu, cpu_comp ", 0) == 0) continue;
        if (l.size() == 21 && l[0] == ' ' && l[5] == '-' && l[8] == '-') continue;
        out.push_back(l);
    }
    return out;
}

// A result file without its last but one record, `cpu cpu_comp`.
std::vector<std::string> without_cpu(const std::string& text) {
    std::vector<std::string> l = lines_of(text);
    EXPECT_GE(l.size(), 2u);
    if (l.size() >= 2) l.erase(l.end() - 2);
    return l;
}

std::string make_folder(const test_support::scratch_dir& dir, const std::string& name) {
    const std::string path = dir.path() + "/" + name;
    ::mkdir(path.c_str(), 0755);
    dir.write(name + "/ring.pos", field);
    return path;
}

std::string current_folder() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

}  // namespace

TEST(InProcessRun, GivesTheProgramsReportAndFilesAgainAfterAnotherRunInTheSameProcess) {
    test_support::scratch_dir dir;
    const std::string caller_folder = current_folder();
    for (const bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "threaded" : "serial");
        const std::string tag = threaded ? "t" : "s";
        deck_values d = busy_deck(-17);
        // The threaded run with the per-photon traces: lines a worker keeps
        // for its block go into the report in photon order.
        if (threaded) d.icheck = 1;
        const std::vector<std::string> args =
            threaded ? std::vector<std::string>{"--threads", "2"} : std::vector<std::string>{};
        const test_support::process_result program =
            test_support::run_binary(QUILLET_BINARY, d.text(), make_folder(dir, "program" + tag), args);
        ASSERT_EQ(program.status, 0) << program.err;

        in_process_options o;
        o.threaded = threaded;
        o.threads = 2;
        std::vector<in_process_result> runs;
        for (const char* name : {"first", "other", "again"}) {
            o.folder = make_folder(dir, name + tag);
            // In between, a run with another seed, law and image size.
            deck_values other = busy_deck(-5);
            other.method = 2;
            other.nxpix = other.nypix = 5;
            runs.push_back(run_in_process(std::string(name) == "other" ? other.text() : d.text(), o));
            EXPECT_EQ(runs.back().status, 0) << runs.back().message;
            EXPECT_EQ(runs.back().message, "");
            EXPECT_EQ(current_folder(), caller_folder);
        }
        EXPECT_NE(masked_report(runs[1].report), masked_report(program.out));
        if (threaded) {
            EXPECT_NE(program.out.find("\niphot "), std::string::npos) << "no per-photon trace";
        }
        for (int k : {0, 2}) {
            const std::string folder = (k == 0 ? "first" : "again") + tag;
            EXPECT_EQ(masked_report(runs[k].report), masked_report(program.out)) << folder;
            for (const char* file : {"result.w", "run.esc", "run.hist", "test.TESTIMAGE"})
                EXPECT_TRUE(dir.exists(folder + "/" + file)) << folder << " " << file;
            for (const char* file : {"result.w", "run.esc", "run.hist"})
                EXPECT_EQ(without_cpu(dir.read(folder + "/" + file)), without_cpu(dir.read("program" + tag + "/" + file)))
                    << folder << " " << file;
            EXPECT_EQ(dir.read(folder + "/test.TESTIMAGE"), dir.read("program" + tag + "/test.TESTIMAGE")) << folder;
        }
    }
}

TEST(InProcessRun, AFailureIsTheProgramsMessageWithTheReportSoFar) {
    test_support::scratch_dir dir;
    deck_values d = busy_deck(-3);
    d.posfile = "missing.pos";
    const test_support::process_result program =
        test_support::run_binary(QUILLET_BINARY, d.text(), make_folder(dir, "program"), {});
    ASSERT_EQ(program.status, 1);
    in_process_options o;
    o.folder = make_folder(dir, "in");
    const in_process_result r = run_in_process(d.text(), o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.message + "\n", program.err);
    EXPECT_EQ(r.report, program.out);
    EXPECT_FALSE(dir.exists("in/result.w"));

    o.folder = dir.path() + "/no such folder";
    const in_process_result nowhere = run_in_process(d.text(), o);
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_EQ(nowhere.message, "quillet: the run folder " + o.folder + ": No such file or directory");
    EXPECT_EQ(nowhere.report, "");
}

// Two runs at once on two threads of this process, each with its own stop
// flag: the one stopped ends with the program's interruption message and
// leaves no result file; the other, its flag never set, runs whole and gives
// the program's files.
TEST(InProcessRun, AStopFlagStopsItsOwnRunAndNotTheOneBesideIt) {
    test_support::scratch_dir dir;
    deck_values d = busy_deck(-9);
    const test_support::process_result program =
        test_support::run_binary(QUILLET_BINARY, d.text(), make_folder(dir, "program"), {"--threads", "2"});
    ASSERT_EQ(program.status, 0) << program.err;

    deck_values big = busy_deck(-9);
    big.nxphot = big.nyphot = 2000;  // four million photons: minutes, stopped at once
    big.outfile = big.epsfile = "junk";
    volatile std::sig_atomic_t stop_big = SIGINT, stop_small = 0;
    in_process_options ob, os;
    ob.folder = make_folder(dir, "big");
    os.folder = make_folder(dir, "small");
    ob.threaded = os.threaded = true;
    ob.threads = os.threads = 2;
    ob.stop = &stop_big;
    os.stop = &stop_small;
    in_process_result rb, rs;
    std::thread tb([&] { rb = run_in_process(big.text(), ob); });
    std::thread ts([&] { rs = run_in_process(d.text(), os); });
    tb.join();
    ts.join();
    EXPECT_EQ(rb.status, 1);
    EXPECT_NE(rb.message.find("interrupted by signal 2 (SIGINT) after 0 of 4000000 photons"), std::string::npos)
        << rb.message;
    EXPECT_FALSE(dir.exists("big/result.w"));
    ASSERT_EQ(rs.status, 0) << rs.message;
    EXPECT_EQ(masked_report(rs.report), masked_report(program.out));
    for (const char* file : {"result.w", "run.esc", "run.hist"})
        EXPECT_EQ(without_cpu(dir.read(std::string("small/") + file)), without_cpu(dir.read(std::string("program/") + file)))
            << file;
}
