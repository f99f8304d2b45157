// The threaded photon loop: its result files do not depend on the number of
// threads (blocks added in block order, one stream per photon), the cell walk
// and the straightforward scan give the same files apart from the candidate
// mean, and a threaded run agrees with the serial run within their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/parallel_run.h"
#include "support/engine_fixture.h"
#include "support/result_files.h"
#include "support/physics_run.h"
#include "trace/trace_records.h"

using namespace quillet;
using namespace quillet::testing_support;
using quillet::test_support::find_result_files;
using quillet::test_support::without_cpu_line;

namespace {

// Switches the threaded run of `c` on for one scope.
struct threads_on {
    threads_on(engine_call& c, std::int32_t n) : c_(c) { c_.options.parallel = {true, n, 0, 1, 0}; }
    ~threads_on() { c_.options.parallel = {}; }
    threads_on(const threads_on&) = delete;
    threads_on& operator=(const threads_on&) = delete;

private:
    engine_call& c_;
};

// Every file on, haze, images, a 6 x 5 grid, 2,500 random-launch photons:
// two whole blocks and a part block.
void prepare(engine_call& c, const temp_dir& dir) {
    write_field_file(dir.file("field.pos"), random_field(300, 6.0, 5.0, 0.5, 1.2, 31));
    write_field_file(dir.file("haze.pos"), random_field(200, 6.0, 5.0, 0.1, 2.0, 32));
    c.outfile = text80(dir.file("esc.out"));
    c.epsfile = text80(dir.file("hist.out"));
    c.posfile_haze = text80(dir.file("haze.pos"));
    c.method = 4;
    c.ppar1 = -0.2;
    c.ssca_part = 0.8;
    c.method_haze = 2;
    c.ssca_haze = 0.9;
    c.nxphot = 50;
    c.nyphot = 50;
    c.irot = 1;
    c.mx = 6;
    c.my = 5;
    c.nxpix = 16;
    c.nypix = 8;
    c.idum = -4242;
    c.ntest = 3;
    c.set_direction(1, 30.0, 0.0);
    c.set_direction(2, 20.0, 40.0);
    c.set_direction(3, 60.0, 1120.0);
}

// Every result file of a run in dir (all but the particle files), without
// its cpu record (measured time) and, when asked, with the candidate mean
// (the middle value of the means record, six lines from the end of the
// files that have a cpu record) blanked; and the I/F lines of the report.
struct run_files {
    std::map<std::string, std::string> files;
    std::string report_if;
};

run_files files_of(const temp_dir& dir, const engine_call& c, bool blank_candidates = false) {
    run_files f;
    const auto found = find_result_files(dir.path(), [](const std::string& name) { return !name.ends_with(".pos"); });
    for (const auto& [name, file] : found) {
        std::string bytes = without_cpu_line(file);
        if (blank_candidates && file.cpu_line > 0) {
            std::vector<std::string> lines;
            std::istringstream in(bytes);
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            std::string& line = lines[lines.size() - 5];
            const std::size_t a = line.find(' '), b = line.rfind(' ');
            if (a != std::string::npos && b > a) line = line.substr(0, a) + " * " + line.substr(b + 1);
            bytes.clear();
            for (const std::string& l : lines) bytes += l + "\n";
        }
        f.files[name] = bytes;
    }
    for (const auto& v : quillet::physics::labelled_lines(c.out, "I/F: k,lat,fii,i_f,err,i_f_1,err_1"))
        for (double x : v) f.report_if += std::to_string(x) + " ";
    return f;
}

void expect_same(const run_files& a, const run_files& b, const std::string& what) {
    EXPECT_GE(a.files.size(), 5u) << what;  // escape, histogram, direction, errors by order, test image
    EXPECT_EQ(a.files.size(), b.files.size()) << what;
    for (const auto& [name, bytes] : a.files) {
        const auto it = b.files.find(name);
        ASSERT_TRUE(it != b.files.end()) << what << ": " << name << " missing";
        EXPECT_EQ(bytes, it->second) << what << ": " << name;
    }
    EXPECT_EQ(a.report_if, b.report_if) << what;
}

}  // namespace

TEST(ThreadedRun, ResultFilesAreTheSameBytesForEveryThreadCount) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir);
    run_files one;
    {
        threads_on on(c, 1);
        c.run();
        one = files_of(dir, c);
    }
    ASSERT_GT(one.files.at("esc.out").size(), 2500u * 10u);
    ASSERT_FALSE(one.report_if.empty());
    for (std::int32_t n : {2, 3, 7}) {
        threads_on on(c, n);
        c.run();
        expect_same(files_of(dir, c), one, std::to_string(n) + " threads");
    }
}

TEST(ThreadedRun, DiffersFromTheSerialRunWhichDrawsFromTheSharedGenerator) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir);
    c.run();
    const run_files serial = files_of(dir, c);
    threads_on on(c, 2);
    c.run();
    EXPECT_NE(files_of(dir, c).files.at("w.out"), serial.files.at("w.out"));
}

TEST(ThreadedRun, CellWalkAndFullScanGiveTheSameFilesApartFromTheCandidateMean) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir);
    for (bool threaded : {false, true}) {
        c.options.parallel = {threaded, 2, 0, 1, 0};
        c.options.full_scan = false;
        c.run();
        const run_files walk = files_of(dir, c, true);
        const double walk_mean = c.npot_mean;
        c.options.full_scan = true;
        c.run();
        const run_files scan = files_of(dir, c, true);
        expect_same(walk, scan, threaded ? "threaded" : "serial");
        EXPECT_LT(walk_mean, c.npot_mean) << "the walk tests fewer candidates";
    }
}

TEST(ThreadedRun, GridLaunchPointsAreThoseOfTheSerialRun) {
    // Grid launch without rotation: where each photon enters and first
    // scatters depends on no random number, and with albedo 0 nothing after
    // that adds light, so the threaded and the serial test images (entry and
    // first-scattering maps, brightness maps of zeros) must be the same bytes.
    temp_dir dir;
    engine_call c(dir);
    write_field_file(dir.file("field.pos"), random_field(40, 6.0, 5.0, 0.5, 1.2, 33));
    c.isquare = 1;
    c.nxphot = 45;
    c.nyphot = 40;
    c.nxpix = 9;
    c.nypix = 8;
    c.ssca_part = 0.0;
    c.run();
    const std::string serial_image = read_text_file(dir.file("img.TESTIMAGE"));
    const std::int32_t serial_direct = c.ndirect;
    threads_on on(c, 3);
    c.run();
    EXPECT_EQ(c.ndirect, serial_direct);
    EXPECT_GT(serial_direct, 0);
    EXPECT_LT(serial_direct, 45 * 40);
    EXPECT_EQ(read_text_file(dir.file("img.TESTIMAGE")), serial_image);
}

TEST(ThreadedRun, AgreesWithTheSerialRunWithinFourCombinedStandardErrors) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir);
    c.nxphot = c.nyphot = quillet::physics::under_sanitizers ? 60 : 150;
    c.nxpix = 0;
    c.outfile = text80("junk");
    c.epsfile = text80("junk");
    const std::string label = "I/F: k,lat,fii,i_f,err,i_f_1,err_1";
    c.run();
    const auto serial = quillet::physics::labelled_lines(c.out, label);
    std::vector<std::vector<double>> threaded;
    {
        threads_on on(c, 2);
        c.run();
        threaded = quillet::physics::labelled_lines(c.out, label);
    }
    ASSERT_EQ(serial.size(), 3u);
    ASSERT_EQ(threaded.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        ASSERT_EQ(serial[k].size(), 7u);
        for (int v : {3, 5}) {  // total and first order, each with its error
            const double diff = threaded[k][v] - serial[k][v];
            const double sigma = std::hypot(threaded[k][v + 1], serial[k][v + 1]);
            EXPECT_GT(sigma, 0.0);
            EXPECT_LE(std::fabs(diff), 4.0 * sigma) << "direction " << k + 1 << " value " << v;
        }
    }
}
