// The quillet program as users run it: a deck piped into the binary, the
// report on standard output, one message on standard error and exit status 1
// on failure, with the report lines printed before the failure kept in order.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "deck_reading.h"
#include "format/free_writer.h"
#include "support/deck_text.h"
#include "support/physics_run.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

using namespace quillet;
using test_support::deck_values;
using test_support::process_result;
using test_support::split_lines;

namespace {

const std::string banner(42, '=');

// A scratch directory holding a three-particle field named ring.pos, the
// default posfile of deck_values.
class QuilletProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("ring.pos",
                   "small-field\n1\n1.0 2.0 2.0 0.0\n3\n0.5 0.0 0.0 0.0\n0.4 1.0 1.0 0.2\n0.3 -1.0 0.5 -0.1\n");
    }
    process_result run(const std::string& deck, const std::vector<std::string>& args = {}) {
        return test_support::run_binary(QUILLET_BINARY, deck, dir_.path(), args);
    }
    test_support::scratch_dir dir_;
};

int index_of(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return int(i);
    return -1;
}

std::vector<double> numbers_after(const std::string& line, const std::string& label) {
    std::istringstream s(line.substr(label.size()));
    std::vector<double> v;
    double x;
    while (s >> x) v.push_back(x);
    return v;
}

}  // namespace

TEST_F(QuilletProgram, HelpNamesTheInputTheOutputAndWhereToReadMore) {
    process_result r = run("", {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("standard input"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("standard output"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("README.md"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_F(QuilletProgram, VersionPrintsTheVersion) {
    process_result r = run("", {"--version"});
    EXPECT_EQ(r.status, 0);
    ASSERT_GT(r.out.size(), 9u);
    EXPECT_EQ(r.out.compare(0, 8, "quillet "), 0) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    // A version of three dot-separated numbers on the first line.
    const std::size_t end = r.out.find('\n');
    std::string v = r.out.substr(8, end - 8);
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2) << v;
    EXPECT_EQ(v.find_first_not_of("0123456789."), std::string::npos) << v;
}

// The second line names the instruction set of the ray searches and those
// the processor runs; QUILLET_SIMD picks one of them, and refuses any other.
TEST_F(QuilletProgram, VersionNamesTheInstructionSetsAndQuilletSimdPicksOne) {
    process_result r = run("", {"--version"});
    ASSERT_EQ(r.status, 0);
    const std::string second = r.out.substr(r.out.find('\n') + 1);
    const std::string runs = "(this processor runs: ";
    ASSERT_EQ(second.compare(0, 14, "ray searches: "), 0) << second;
    const std::size_t open = second.find(runs);
    ASSERT_NE(open, std::string::npos) << second;
    std::vector<std::string> names;
    std::istringstream list(second.substr(open + runs.size(), second.find(')') - open - runs.size()));
    for (std::string n; list >> n;) names.push_back(n);
    ASSERT_FALSE(names.empty()) << second;
    EXPECT_EQ(second.substr(14, open - 15), names.front()) << second;  // the best by default
    for (const std::string& n : names) {
        ::setenv("QUILLET_SIMD", n.c_str(), 1);
        process_result picked = run("", {"--version"});
        EXPECT_EQ(picked.status, 0) << n;
        EXPECT_NE(picked.out.find("ray searches: " + n + " ("), std::string::npos) << picked.out;
    }
    ::setenv("QUILLET_SIMD", "avx9000", 1);
    process_result bad = run("", {"--version"});
    ::unsetenv("QUILLET_SIMD");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("QUILLET_SIMD=avx9000: the ray searches run here on one of: " + names.front()),
              std::string::npos)
        << bad.err;
}

TEST_F(QuilletProgram, AnyOtherArgumentIsAnErrorWithAUsageHint) {
    for (auto args : std::vector<std::vector<std::string>>{{"--verbose"}, {"deck"}, {"--help", "x"}}) {
        process_result r = run(deck_values().text(), args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("quillet: unexpected argument '" + args.back() + "'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
}

TEST_F(QuilletProgram, ThreadCountsOutsideZeroTo1024AreRefusedBeforeTheDeckIsRead) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--threads"}, {"--threads", "-1"}, {"--threads", "1025"}, {"--threads", "two"}, {"--threads=2x"},
             {"--threads", ""}, {"--threads", "99999999999999999999"}}) {
        process_result r = run(deck_values().text(), args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("quillet: --threads expects"), std::string::npos) << r.err;
    }
}

TEST_F(QuilletProgram, SunLitRunPrintsTheWholeReportInOrder) {
    deck_values d;
    d.ntest = 3;
    d.directions = {{30.0, 40.0}, {30.0, 1180.0}, {30.0, 0.0}};
    process_result r = run(d.text());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GT(lines.size(), 60u);
    // Deck lines: three directions, then the record 8 echo before the first banner.
    EXPECT_EQ(lines[0], "   lat,fii,alpha  30.000  46.523   40.000000");
    EXPECT_EQ(lines[1], "   lat,fii,alpha  30.000 180.000  120.000000");
    EXPECT_EQ(lines[2], "   lat,fii,alpha  30.000   0.000    0.000000");
    EXPECT_EQ(lines[3], "2 2 1 1");
    EXPECT_EQ(lines[4], banner);
    EXPECT_EQ(lines[5], "REVAZO2004/VER2/vellomar (27.07.2004)");
    EXPECT_TRUE(test_support::is_date_time_line(lines[6])) << lines[6];
    EXPECT_EQ(lines[7], banner);
    // Header lines in their order, nphot seeded by nxphot*nyphot = 4.
    const char* order[] = {"POSFILE=     ", "NTEST         3", "NPHOT,MX,MY=  4 1 1", "ILLUMINATION BY SUN",
                           "isquare=1 -> new nphot= 4", "nxphot,nyphot =  2 2", "flux_sat,nphot 0.0 4",
                           "NORI,TAU  = "};
    int last = -1;
    for (const char* label : order) {
        int at = index_of(lines, label);
        EXPECT_GT(at, last) << label;
        last = at;
    }
    EXPECT_EQ(index_of(lines, "SATURN:"), -1);
    // The closing summary is the last ten lines.
    const std::size_t n = lines.size();
    EXPECT_EQ(lines[n - 10].compare(0, 12, "NORI,TAU  = "), 0) << lines[n - 10];
    EXPECT_EQ(lines[n - 9], "SREDU, ZREDU =  1.0 1.0");
    EXPECT_EQ(lines[n - 8].compare(0, 14, "cpu, cpu_comp "), 0);
    EXPECT_EQ(lines[n - 7].compare(0, 22, "npart,npot,nbox,iscat "), 0);
    EXPECT_EQ(lines[n - 6].compare(0, 21, "fdir,mu0,tau_p,tau_n "), 0);
    EXPECT_EQ(lines[n - 5], "sizemin  0.0");
    EXPECT_EQ(lines[n - 4], "s20,f20  0.0 1.0");
    EXPECT_EQ(lines[n - 3], banner);
    EXPECT_TRUE(test_support::is_date_time_line(lines[n - 2])) << lines[n - 2];
    EXPECT_EQ(lines[n - 1], banner);
    // fdir counts whole photons out of 4; the depths follow from it.
    std::vector<double> v = numbers_after(lines[n - 6], "fdir,mu0,tau_p,tau_n ");
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0] * 4.0, std::round(v[0] * 4.0));
    EXPECT_EQ(lines[n - 6].substr(21).substr(0, free_format(v[0]).size()), free_format(v[0]));
    EXPECT_EQ(v[1], std::cos(1.57079637 - 0.017453293 * 30.0));
    if (v[0] > 0.0) {
        EXPECT_DOUBLE_EQ(v[2], -std::log(v[0]));
        EXPECT_DOUBLE_EQ(v[3], v[2] * v[1]);
    } else {
        EXPECT_EQ(v[2], 9999.0);
        EXPECT_EQ(v[3], 9999.0);
    }
}

TEST_F(QuilletProgram, PlanetRunTakesThePlanetsPhotonCount) {
    deck_values d;
    d.isat = 1;
    d.nxphot = 10, d.nyphot = 10;
    d.isquare = 0;
    d.distance = 140.0;
    process_result r = run(d.text());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    int sat = index_of(lines, "SATURN: fii,flux,nphot,cpu ");
    int p1 = index_of(lines, "flux_sat,nphot ");
    ASSERT_GE(sat, 0);
    ASSERT_EQ(p1, sat + 1);
    EXPECT_GT(sat, index_of(lines, "nxphot,nyphot =  10 10"));
    std::vector<double> s = numbers_after(lines[sat], "SATURN: fii,flux,nphot,cpu ");
    std::vector<double> p = numbers_after(lines[p1], "flux_sat,nphot ");
    ASSERT_EQ(s.size(), 4u);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], s[1]);  // flux_sat
    EXPECT_EQ(p[1], s[2]);  // nphot
    EXPECT_LE(p[1], 100.0);  // at most the budget nxphot*nyphot
    EXPECT_TRUE(index_of(lines, "ILLUMINATION BY SATURN") >= 0);
}

TEST_F(QuilletProgram, NegativeIsatRunsWithoutThePlanet) {
    deck_values d;
    d.isat = -1;
    process_result r = run(d.text());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_EQ(index_of(lines, "SATURN:"), -1);
    EXPECT_EQ(index_of(lines, "ILLUMINATION BY"), -1);
    EXPECT_EQ(index_of(lines, "MODEL_SAT="), -1);
    EXPECT_GE(index_of(lines, "flux_sat,nphot 0.0 4"), 0);
}

TEST_F(QuilletProgram, MalformedDeckStopsWithTheRecordLineAndText) {
    deck_values d;
    std::vector<std::string> lines = split_lines(d.text());
    lines[4] = "2 x 1 1";
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    process_result r = run(text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "quillet: standard input, line 5, deck record 8 (nxphot, nyphot, mx, my): expected an integer, found "
              "'x'\n");
    EXPECT_EQ(r.out, "   lat,fii,alpha  30.000  46.523   40.000000\n");
}

TEST_F(QuilletProgram, ShortDeckStopsWhereTheInputEnds) {
    process_result r = run(deck_values().text(20));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.compare(0, 24, "quillet: standard input,"), 0) << r.err;
    EXPECT_NE(r.err.find("deck record 21 (sredu, zredu)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("input ended"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(r.out, "   lat,fii,alpha  30.000  46.523   40.000000\n2 2 1 1\n");
}

TEST_F(QuilletProgram, EmptyDeckNamesTheFirstRecord) {
    process_result r = run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("deck record 1 (posfile)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(QuilletProgram, CapacityIsCheckedBeforeTheHeader) {
    deck_values d;
    d.outfile = "run.esc";
    d.nxphot = 65536, d.nyphot = 32768;
    process_result r = run(d.text());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "quillet: standard input, line 5, deck record 8 (nxphot, nyphot, mx, my): nxphot*nyphot = 2147483648 "
              "photons, more than the 2147483647 a 32-bit photon number counts\n");
    EXPECT_EQ(r.out, "   lat,fii,alpha  30.000  46.523   40.000000\n65536 32768 1 1\n");
}

// A run whose tables the process cannot hold stops before the header, with
// one message naming its sizes and the limit (here an address-space limit of
// 300 MB: 100,000 observer directions take about 2.8 GB of sums).
TEST_F(QuilletProgram, ARunBeyondTheMemoryLeftIsRefusedBeforeTheHeader) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' shadow memory needs an address space without limit";
#endif
    deck_values d;
    d.ntest = -1;
    d.nlat = 2000, d.nfii = 500;
    d.latgrid.assign(2000, 30.0);
    for (int j = 0; j < 500; ++j) d.fiigrid.push_back(1000.0 + 0.25 * j);
    process_result r = test_support::run_binary(
        "/bin/sh", d.text(), dir_.path(), {"-c", std::string("ulimit -v 300000 && exec ") + QUILLET_BINARY});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("quillet: the run needs about 2.5 GB of memory (1,000,000 observer directions: 2.5 GB) but "
                          "the process's address-space limit (RLIMIT_AS) leaves ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(r.out.find("POSFILE="), std::string::npos) << "no header";
    EXPECT_FALSE(dir_.exists("result.w"));
}

// The trace lines of each photon, by photon number: from "iphot = N" to the
// rule that opens the next photon's trace, or to the first line after the
// photon loop.
std::vector<std::vector<std::string>> photon_traces(const std::string& out, std::size_t nphot) {
    std::vector<std::vector<std::string>> by_photon(nphot + 1);
    std::size_t current = 0;
    for (const std::string& line : split_lines(out)) {
        if (line.rfind("iphot = ", 0) == 0) current = std::stoul(line.substr(8));
        if (line == std::string(29, '-') || line.rfind("mean: ", 0) == 0 || line.rfind("photon replayed", 0) == 0)
            current = 0;
        if (current >= 1 && current <= nphot) by_photon[current].push_back(line);
    }
    return by_photon;
}

// The records of the trace file by photon number, each record whole (a rule,
// "iphot iscat ibox mode", a rule, four lines more, and the candidate list
// when there is one); the photon numbers must not go down.
std::vector<std::string> search_records(const std::string& trace, std::size_t nphot) {
    std::vector<std::string> by_photon(nphot + 1);
    const std::string rule(46, '-');
    const std::vector<std::string> lines = split_lines(trace);
    std::size_t last = 0;
    for (std::size_t i = 0; i < lines.size();) {
        EXPECT_EQ(lines[i], rule) << "line " << i + 1;
        const std::size_t iphot = std::stoul(lines.at(i + 1));
        EXPECT_GE(iphot, last) << "line " << i + 2;
        EXPECT_LE(iphot, nphot);
        last = iphot;
        const std::size_t npot = std::stoul(lines.at(i + 6));
        const std::size_t end = i + 7 + (npot > 0 ? 1 : 0);
        for (; i < end; ++i) by_photon[std::min(iphot, nphot)] += lines.at(i) + "\n";
    }
    return by_photon;
}

// Per-photon traces of a threaded run come in photon order whatever the
// number of threads, and --photon N replays photon N alone on the path it
// takes in the whole run (lines for lines), writing no result file.
TEST_F(QuilletProgram, ThreadedTracesComeInPhotonOrderAndOnePhotonReplaysAlone) {
    dir_.write("ring.pos", "dense\n1\n1.0 2.0 2.0 0.7\n6\n0.5 0.0 0.0 0.0\n0.4 1.0 1.0 0.2\n0.3 -1.0 0.5 -0.1\n"
                           "0.5 -1.2 -1.1 0.3\n0.45 1.1 -0.9 -0.2\n0.35 0.2 1.4 0.1\n");
    deck_values d;
    d.icheck = 1;
    d.nxphot = 40, d.nyphot = 40;  // two blocks: the replayed photon is in the second
    d.irot = 1, d.isquare = 0;
    process_result one = run(d.text(), {"--threads", "1", "--quiet"});
    process_result three = run(d.text(), {"--threads", "3", "--quiet"});
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(three.status, 0) << three.err;
    const auto traces = photon_traces(three.out, 1600);
    EXPECT_EQ(traces, photon_traces(one.out, 1600));
    std::size_t scattered = 0;
    for (std::size_t n = 1; n <= 1600; ++n) {
        ASSERT_FALSE(traces[n].empty()) << n;
        scattered += std::count_if(traces[n].begin(), traces[n].end(),
                                   [](const std::string& l) { return l.rfind("scatter: NEW", 0) == 0; });
    }
    ASSERT_GT(scattered, 100u);  // the traces follow scatterings, not only escapes

    std::remove((dir_.path() + "/result.w").c_str());
    for (std::size_t n : {1u, 1234u, 1600u}) {
        process_result alone = run(d.text(), {"--threads", "2", "--photon", std::to_string(n), "--quiet"});
        ASSERT_EQ(alone.status, 0) << alone.err;
        EXPECT_EQ(photon_traces(alone.out, 1600)[n], traces[n]) << n;
        EXPECT_NE(alone.out.find("photon replayed, no result file written: iphot " + std::to_string(n)),
                  std::string::npos);
    }
    EXPECT_FALSE(dir_.exists("result.w"));
    process_result beyond = run(d.text(), {"--threads", "2", "--photon", "1601"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("--photon 1601: the run launches 1600 photons"), std::string::npos) << beyond.err;
    process_result serial = run(d.text(), {"--photon", "3"});
    EXPECT_EQ(serial.status, 1);
    EXPECT_NE(serial.err.find("--photon N replays a photon of a threaded run"), std::string::npos) << serial.err;

    // The trace file of every search (idebug): the records in photon order
    // and the same bytes whatever the number of threads; a replayed photon's
    // are its records in the whole run.
    d.icheck = 0;
    d.idebug = 2;
    ASSERT_EQ(run(d.text(), {"--threads", "1", "--quiet"}).status, 0);
    const std::string trace = dir_.read("test.TRACE");
    ASSERT_EQ(run(d.text(), {"--threads", "3", "--quiet"}).status, 0);
    EXPECT_EQ(dir_.read("test.TRACE"), trace);
    const auto records = search_records(trace, 1600);
    for (std::size_t n = 1; n <= 1600; ++n) ASSERT_FALSE(records[n].empty()) << n;
    for (std::size_t n : {1u, 1234u}) {
        ASSERT_EQ(run(d.text(), {"--threads", "2", "--photon", std::to_string(n), "--quiet"}).status, 0);
        const std::string alone = dir_.read("test.TRACE");
        EXPECT_EQ(alone, records[n]) << n;
    }
    // A part's blocks go to its partial file, which keeps no trace records.
    process_result r = run(d.text(), {"--threads=2", "--part", "1/2", "--partial", "p.part"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("deck record 32 (idebug = 2)"), std::string::npos) << r.err;
}

TEST_F(QuilletProgram, WithoutTheEscapeFileARunLaunchesMoreThanAMillionPhotons) {
    deck_values d;
    d.nxphot = 1001, d.nyphot = 1000;
    d.icheck = 0;  // the engine's summary with its I/F lines
    process_result r = run(d.text());
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<double>> lines = quillet::physics::labelled_lines(r.out, "I/F: mu0,nphot");
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 2u);
    EXPECT_GT(lines[0][1], 1000000.0);
}

TEST_F(QuilletProgram, ImpossiblePhaseAngleIsRejected) {
    deck_values d;
    d.directions = {{60.0, 10.0}};
    process_result r = run(d.text());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("observer direction 1 (latitude 60.0, phase angle 10.0)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(QuilletProgram, MissingParticleFileIsFoundBeforeTheReportWithTheRecordThatNamesIt) {
    deck_values d;
    d.posfile = "missing.pos";
    process_result r = run(d.text());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quillet: standard input, line 1, deck record 1 (posfile): cannot open the file missing.pos: No "
                     "such file or directory\n");
    EXPECT_EQ(index_of(split_lines(r.out), "flux_sat,nphot"), -1);
}

TEST_F(QuilletProgram, FailureInsideTheRunKeepsTheReportPrintedSoFar) {
    dir_.write("bad.pos", "bad\n1\n1.0 2.0 2.0 0.0\n1\n0.5 0.0 zero 0.0\n");
    deck_values d;
    d.posfile = "bad.pos";
    process_result r = run(d.text());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.compare(0, 9, "quillet: "), 0) << r.err;
    EXPECT_NE(r.err.find("bad.pos, line 5, particle 1"), std::string::npos) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_GE(index_of(lines, "flux_sat,nphot 0.0 4"), 0);
    EXPECT_EQ(index_of(lines, "NORI,TAU"), -1);
}

TEST_F(QuilletProgram, ReportThatCannotBeWrittenIsAFailure) {
    test_support::scratch_dir io;
    io.write("deck", deck_values().text());
    std::string command = "cd '" + dir_.path() + "' && '" + QUILLET_BINARY + "' < '" + io.path() + "/deck' > /dev/full 2> '" +
                          io.path() + "/err'";
    int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_NE(io.read("err").find("could not be written"), std::string::npos) << io.read("err");
}
