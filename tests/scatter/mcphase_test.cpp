// Tabulated laws read from "mcphase.dat" and "mcphase_haze.dat": the table
// of a known law reproduces it, integrates to pi and samples like its
// evaluator; the two sets stay apart; bad files stop with file, line and
// what was expected.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "field/field_records.h"
#include "format/run_error.h"
#include "numeric/spline.h"
#include "scatter/mcphase.h"
#include "scatter/phase_functions.h"
#include "support/sampler_stats.h"
#include "support/scratch_dir.h"
#include "trace/trace_records.h"

using namespace quillet;
using namespace quillet::test_support;

namespace {

constexpr double pi = 3.141592653589793;

// A table file of the law P(alpha) = 4 * phasef(cos theta), theta = pi - alpha,
// in rows every `step` degrees from 0 to 180.
std::string table_of(const std::string& title, const phase_law& phasef, double step = 1.0) {
    std::string text = title + "\n";
    int rows = int(std::lround(180.0 / step)) + 1;
    text += std::to_string(rows) + "\n";
    for (int i = 0; i < rows; ++i) {
        double deg = i * step;
        char line[80];
        std::snprintf(line, sizeof line, "%.17g %.17g\n", deg, 4.0 * phasef(-std::cos(deg * pi / 180.0)));
        text += line;
    }
    return text;
}

phase_law hg(double g) {
    return [g](double c) { double p; p_hg(c, p, g); return p; };
}
phase_law constant(double value) {
    return [value](double) { return value / 4.0; };
}

// The tables the tests build, the codes and the trace level they are built with.
phase_table ring_tab, haze_tab;
std::int32_t ring_method = 16, haze_method = 16, icheck_level = 0;
void init_ring() { init_mcphase(ring_tab, ring_method, icheck_level); }
void init_haze() { init_mcphase_haze(haze_tab, haze_method, icheck_level); }

phase_law ring_table() {
    return [](double c) { double p; p_mcphase(ring_tab, c, p); return p; };
}
phase_law haze_table() {
    return [](double c) { double p; p_mcphase_haze(haze_tab, c, p); return p; };
}
// cos(theta) drawn from the ring or the haze table.
double ring_cose() {
    double s, c;
    e_mcphase(ring_tab, s, c, test_draws());
    return c;
}
double haze_cose() {
    double s, c;
    e_mcphase_haze(haze_tab, s, c, test_draws());
    return c;
}

struct quiet_tables : testing::Test {
    scratch_dir dir;
    void SetUp() override { icheck_level = 0; }
    // Runs an initialisation with its echo lines captured.
    static std::string captured(void (*init)()) {
        testing::internal::CaptureStdout();
        try {
            init();
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        return testing::internal::GetCapturedStdout();
    }
};

using TabulatedLaw = quiet_tables;
using TabulatedLawFile = quiet_tables;

// The message of the error `init` throws (empty when it throws none).
template <class Error>
std::string error_of(void (*init)()) {
    testing::internal::CaptureStdout();
    std::string message;
    try {
        init();
    } catch (const Error& e) {
        message = e.what();
    }
    testing::internal::GetCapturedStdout();
    return message;
}

}  // namespace

TEST_F(TabulatedLaw, TableOfHenyeyGreensteinReproducesItAndIntegratesToPi) {
    dir.write("mcphase.dat", table_of("hg0.4", hg(0.4)));
    captured(init_ring);
    EXPECT_EQ(ring_tab.n_alpha, 181);
    for (double c = -1.0; c <= 1.0; c += 0.01) {
        double p, exact;
        p_mcphase(ring_tab, c, p);
        p_hg(c, exact, 0.4);
        // Natural cubic spline over 1-degree rows of a smooth law.
        ASSERT_NEAR(p, exact, 1e-4 * exact) << "cose = " << c;
    }
    EXPECT_NEAR(sphere_integral(ring_table()), pi, 1e-5 * pi);
    double edge, past;
    p_mcphase(ring_tab, -1.0, edge);
    p_mcphase(ring_tab, -1.0 - 4e-16, past);
    EXPECT_EQ(past, edge) << "a cosine rounded past -1 is taken as -1";
}

TEST_F(TabulatedLaw, EvaluationIsExactAtTheTableNodes) {
    dir.write("mcphase.dat", table_of("hg0.6", hg(0.6), 5.0));
    captured(init_ring);
    for (int i = 1; i <= ring_tab.n_alpha; ++i) {
        double v;
        splint(ring_tab.alpha.data(), ring_tab.phase.data(), ring_tab.phase_y2.data(), ring_tab.n_alpha,
               ring_tab.alpha.data()[i], v);
        EXPECT_EQ(v, ring_tab.phase[i]) << "row " << i;
        double p;
        p_mcphase(ring_tab, -std::cos(ring_tab.alpha[i]), p);
        EXPECT_NEAR(p, 0.25 * ring_tab.phase[i], 1e-12 * (1.0 + ring_tab.phase[i])) << "row " << i;
    }
}

TEST_F(TabulatedLaw, CumulativeTableRunsFromZeroToOneAndItsEndsInvertExactly) {
    dir.write("mcphase.dat", table_of("hg-0.3", hg(-0.3), 2.0));
    captured(init_ring);
    const int n = ring_tab.n_alpha;
    EXPECT_EQ(ring_tab.inte[1], 0.0);
    EXPECT_EQ(ring_tab.inte[n], 1.0);
    double a;
    splint(ring_tab.inte.data(), ring_tab.alpha.data(), ring_tab.alpha_y2.data(), n, 0.0, a);
    EXPECT_EQ(a, ring_tab.alpha[1]);
    splint(ring_tab.inte.data(), ring_tab.alpha.data(), ring_tab.alpha_y2.data(), n, 1.0, a);
    EXPECT_EQ(a, ring_tab.alpha[n]);
}

TEST_F(TabulatedLaw, ConstantTableIsIsotropic) {
    dir.write("mcphase.dat", table_of("flat", constant(1.0), 3.0));
    captured(init_ring);
    for (double c : {-1.0, -0.4, 0.0, 0.5, 1.0}) {
        double p;
        p_mcphase(ring_tab, c, p);
        EXPECT_NEAR(p, 0.25, 1e-14);
    }
    reseed(-12);
    auto r = cose_chi_square(ring_cose, constant(1.0), 500000);
    print_figure("e_mcphase constant table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
}

TEST_F(TabulatedLaw, SamplerMatchesEvaluator) {
    dir.write("mcphase.dat", table_of("hg0.5", hg(0.5)));
    captured(init_ring);
    reseed(-13);
    auto r = cose_chi_square(ring_cose, ring_table(), 1000000);
    print_figure("e_mcphase HG g=0.5 table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
}

TEST_F(TabulatedLaw, HazeTableIsReadAndSampledApartFromTheRingTable) {
    dir.write("mcphase.dat", table_of("ring", hg(0.7)));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.4), 2.0));
    captured(init_ring);
    std::string echo = captured(init_haze);
    EXPECT_EQ(ring_tab.n_alpha, 181);
    EXPECT_EQ(haze_tab.n_alpha, 91);
    EXPECT_NE(echo.find("n_alpha_haze 91\n"), std::string::npos) << echo;
    double ring, haze;
    p_mcphase(ring_tab, 1.0, ring);
    p_mcphase_haze(haze_tab, 1.0, haze);
    double ring_exact, haze_exact;
    p_hg(1.0, ring_exact, 0.7);
    p_hg(1.0, haze_exact, -0.4);
    EXPECT_NEAR(ring, ring_exact, 1e-9 * ring_exact);
    EXPECT_NEAR(haze, haze_exact, 1e-9 * haze_exact);
    reseed(-14);
    auto r = cose_chi_square(haze_cose, haze_table(), 500000);
    print_figure("e_mcphase_haze HG g=-0.4 table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
    EXPECT_NEAR(sphere_integral(haze_table()), pi, 1e-5 * pi);
}

TEST_F(TabulatedLaw, EachSamplerTakesExactlyOneDeviate) {
    dir.write("mcphase.dat", table_of("ring", hg(0.2), 4.0));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.2), 4.0));
    captured(init_ring);
    captured(init_haze);
    double s, c;
    EXPECT_EQ(draws_taken([&](random_draws& rng) { e_mcphase(ring_tab, s, c, rng); }), 1);
    EXPECT_EQ(draws_taken([&](random_draws& rng) { e_mcphase_haze(haze_tab, s, c, rng); }), 1);
}

TEST_F(TabulatedLaw, EchoLinesNameTheTitle) {
    dir.write("mcphase.dat", "'Phase function of icy grains'\n2\n0 1\n180 1\n");
    dir.write("mcphase_haze.dat", "dust\n2\n0 1\n180 1\n");
    std::string ring = captured(init_ring);
    std::string haze = captured(init_haze);
    const std::string title = "Phase function of icy grains";
    EXPECT_EQ(ring, "tabulated phase-function: " + title + std::string(80 - title.size(), ' ') + "\n");
    EXPECT_EQ(haze, "tabulated haze phase-function: dust" + std::string(76, ' ') + "\nn_alpha_haze 2\n");
}

TEST_F(TabulatedLaw, PrintLevelOneWritesTheDebugLinesAndSplineDumps) {
    dir.write("mcphase.dat", table_of("ring", hg(0.2), 10.0));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.2), 20.0));
    icheck_level = 1;
    ring_method = 16;
    haze_method = 15;
    std::string ring = captured(init_ring);
    std::string haze = captured(init_haze);
    icheck_level = 0;
    haze_method = 16;
    EXPECT_NE(ring.find("\nINIT_MCPHASE: method 16\nINIT_MCPHASE: n_alpha 19\nINIT_MCPHASE: alpha  0.0 "),
              std::string::npos) << ring;
    EXPECT_NE(ring.find("\nINIT_MCPHASE: inte   0.0 1.0\n"), std::string::npos) << ring;
    EXPECT_NE(haze.find("\nINIT_MCPHASE_HAZE: method 15\nINIT_MCPHASE_HAZE: n_alpha 10\n"), std::string::npos)
        << haze;
    EXPECT_NE(haze.find("\nINIT_MCPHASE_haze: inte   0.0 1.0\n"), std::string::npos) << haze;
    auto count_lines = [](const std::string& s) {
        int n = 0;
        for (char ch : s) n += ch == '\n';
        return n;
    };
    std::string dump = dir.read("SPLINE_TEST");
    EXPECT_EQ(count_lines(dump), 1 + 2 * 19);
    EXPECT_EQ(dump.rfind("19\n1 0.0 0.0 ", 0), 0u) << dump.substr(0, 80);
    std::string dump_haze = dir.read("SPLINE_TEST_HAZE");
    EXPECT_EQ(count_lines(dump_haze), 1 + 2 * 10);
    EXPECT_EQ(dump_haze.rfind("10\n", 0), 0u);
}

TEST_F(TabulatedLawFile, MissingFileNamesTheFile) {
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("mcphase.dat"), std::string::npos) << m;
    m = error_of<input_error>(init_haze);
    EXPECT_NE(m.find("mcphase_haze.dat"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, MalformedRowNamesFileLineAndValue) {
    dir.write("mcphase.dat", "t\n3\n0 1\n90 one\n180 1\n");
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("mcphase.dat, line 4"), std::string::npos) << m;
    EXPECT_NE(m.find("table row 2"), std::string::npos) << m;
    EXPECT_NE(m.find("expected a number, found 'one'"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, ShortFileSaysTheInputEnded) {
    dir.write("mcphase_haze.dat", "t\n4\n0 1\n90 1\n");
    std::string m = error_of<input_error>(init_haze);
    EXPECT_NE(m.find("mcphase_haze.dat"), std::string::npos) << m;
    EXPECT_NE(m.find("table row 3"), std::string::npos) << m;
    EXPECT_NE(m.find("input ended"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, MissingRowCountIsRejected) {
    dir.write("mcphase.dat", "t\n,\n");
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("mcphase.dat, line 2"), std::string::npos) << m;
    EXPECT_NE(m.find("n_alpha"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, LongTablesAreTakenAndAStatedCountTakesNoRoomOfItsOwn) {
    // 9001 rows, 0.02 degrees apart: the rows a spline takes are sized from
    // the file.
    dir.write("mcphase.dat", table_of("hg0.4", hg(0.4), 0.02));
    captured(init_ring);
    ASSERT_EQ(ring_tab.n_alpha, 9001);
    for (double c = -1.0; c <= 1.0; c += 0.01) {
        double p, exact;
        p_mcphase(ring_tab, c, p);
        p_hg(c, exact, 0.4);
        ASSERT_NEAR(p, exact, 1e-7 * exact) << "cose = " << c;
    }
    // A count far beyond the rows that follow: refused at the first missing
    // row, with no room taken for the rows stated.
    dir.write("mcphase.dat", "t\n2000000000\n0 1\n");
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("mcphase.dat, line 3, table row 2"), std::string::npos) << m;
    EXPECT_NE(m.find("input ended"), std::string::npos) << m;
    EXPECT_LE(ring_tab.alpha.capacity(), 10001u);
    EXPECT_LE(ring_tab.phase_y2.capacity(), 9002u);
}

TEST_F(TabulatedLawFile, FewerThanTwoRowsIsRejected) {
    for (const char* count : {"1", "0", "-3"}) {
        dir.write("mcphase.dat", std::string("t\n") + count + "\n0 1\n");
        std::string m = error_of<input_error>(init_ring);
        EXPECT_NE(m.find("at least 2 table rows"), std::string::npos) << m;
    }
}

TEST_F(TabulatedLawFile, AnglesOutOfOrderOrOutOfRangeAreRejected) {
    dir.write("mcphase.dat", "t\n3\n0 1\n90 1\n90 1\n");
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("line 5"), std::string::npos) << m;
    EXPECT_NE(m.find("increasing order"), std::string::npos) << m;
    dir.write("mcphase.dat", "t\n3\n0 1\n90 1\n181 1\n");
    m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("0 to 180 degrees"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, TableWhoseIntegralDoesNotRiseIsRejected) {
    // Zero values over two rows leave the cumulative integral flat there; the
    // inverse spline of the sampler could not be built.
    dir.write("mcphase.dat", "t\n5\n0 1\n60 1\n120 0\n150 0\n180 1\n");
    std::string m = error_of<input_error>(init_ring);
    EXPECT_NE(m.find("mcphase.dat, lines 5-6"), std::string::npos) << m;
    EXPECT_NE(m.find("rows 3 and 4"), std::string::npos) << m;
    EXPECT_NE(m.find("increase from row to row"), std::string::npos) << m;
}
