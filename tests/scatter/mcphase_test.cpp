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
#include "scatter/scatter_records.h"
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

phase_law ring_table() {
    return [](double c) { double p; p_mcphase(c, p); return p; };
}
phase_law haze_table() {
    return [](double c) { double p; p_mcphase_haze(c, p); return p; };
}

struct quiet_tables : testing::Test {
    scratch_dir dir;
    void SetUp() override { com3.icheck = 0; }
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
    captured(init_mcphase);
    EXPECT_EQ(com_mcphase2.n_alpha, 181);
    for (double c = -1.0; c <= 1.0; c += 0.01) {
        double p, exact;
        p_mcphase(c, p);
        p_hg(c, exact, 0.4);
        // Natural cubic spline over 1-degree rows of a smooth law.
        ASSERT_NEAR(p, exact, 1e-4 * exact) << "cose = " << c;
    }
    EXPECT_NEAR(sphere_integral(ring_table()), pi, 1e-5 * pi);
    double edge, past;
    p_mcphase(-1.0, edge);
    p_mcphase(-1.0 - 4e-16, past);
    EXPECT_EQ(past, edge) << "a cosine rounded past -1 is taken as -1";
}

TEST_F(TabulatedLaw, EvaluationIsExactAtTheTableNodes) {
    dir.write("mcphase.dat", table_of("hg0.6", hg(0.6), 5.0));
    captured(init_mcphase);
    for (int i = 1; i <= com_mcphase2.n_alpha; ++i) {
        double v;
        splint(com_mcphase1.alpha, com_mcphase1.phase, com_mcphase1.phase_y2, com_mcphase2.n_alpha,
               com_mcphase1.alpha[i], v);
        EXPECT_EQ(v, com_mcphase1.phase[i]) << "row " << i;
        double p;
        p_mcphase(-std::cos(com_mcphase1.alpha[i]), p);
        EXPECT_NEAR(p, 0.25 * com_mcphase1.phase[i], 1e-12 * (1.0 + com_mcphase1.phase[i])) << "row " << i;
    }
}

TEST_F(TabulatedLaw, CumulativeTableRunsFromZeroToOneAndItsEndsInvertExactly) {
    dir.write("mcphase.dat", table_of("hg-0.3", hg(-0.3), 2.0));
    captured(init_mcphase);
    const int n = com_mcphase2.n_alpha;
    EXPECT_EQ(com_mcphase1.inte[1], 0.0);
    EXPECT_EQ(com_mcphase1.inte[n], 1.0);
    double a;
    splint(com_mcphase1.inte, com_mcphase1.alpha, com_mcphase1.alpha_y2, n, 0.0, a);
    EXPECT_EQ(a, com_mcphase1.alpha[1]);
    splint(com_mcphase1.inte, com_mcphase1.alpha, com_mcphase1.alpha_y2, n, 1.0, a);
    EXPECT_EQ(a, com_mcphase1.alpha[n]);
}

TEST_F(TabulatedLaw, ConstantTableIsIsotropic) {
    dir.write("mcphase.dat", table_of("flat", constant(1.0), 3.0));
    captured(init_mcphase);
    for (double c : {-1.0, -0.4, 0.0, 0.5, 1.0}) {
        double p;
        p_mcphase(c, p);
        EXPECT_NEAR(p, 0.25, 1e-14);
    }
    reseed(-12);
    auto r = cose_chi_square([] { double s, c; e_mcphase(s, c, test_draws()); return c; }, constant(1.0), 500000);
    print_figure("e_mcphase constant table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
}

TEST_F(TabulatedLaw, SamplerMatchesEvaluator) {
    dir.write("mcphase.dat", table_of("hg0.5", hg(0.5)));
    captured(init_mcphase);
    reseed(-13);
    auto r = cose_chi_square([] { double s, c; e_mcphase(s, c, test_draws()); return c; }, ring_table(), 1000000);
    print_figure("e_mcphase HG g=0.5 table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
}

TEST_F(TabulatedLaw, HazeTableIsReadAndSampledApartFromTheRingTable) {
    dir.write("mcphase.dat", table_of("ring", hg(0.7)));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.4), 2.0));
    captured(init_mcphase);
    std::string echo = captured(init_mcphase_haze);
    EXPECT_EQ(com_mcphase2.n_alpha, 181);
    EXPECT_EQ(com_mcphase2_haze.n_alpha, 91);
    EXPECT_NE(echo.find("n_alpha_haze 91\n"), std::string::npos) << echo;
    double ring, haze;
    p_mcphase(1.0, ring);
    p_mcphase_haze(1.0, haze);
    double ring_exact, haze_exact;
    p_hg(1.0, ring_exact, 0.7);
    p_hg(1.0, haze_exact, -0.4);
    EXPECT_NEAR(ring, ring_exact, 1e-9 * ring_exact);
    EXPECT_NEAR(haze, haze_exact, 1e-9 * haze_exact);
    reseed(-14);
    auto r = cose_chi_square([] { double s, c; e_mcphase_haze(s, c, test_draws()); return c; }, haze_table(), 500000);
    print_figure("e_mcphase_haze HG g=-0.4 table", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
    EXPECT_NEAR(sphere_integral(haze_table()), pi, 1e-5 * pi);
}

TEST_F(TabulatedLaw, EachSamplerTakesExactlyOneDeviate) {
    dir.write("mcphase.dat", table_of("ring", hg(0.2), 4.0));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.2), 4.0));
    captured(init_mcphase);
    captured(init_mcphase_haze);
    double s, c;
    EXPECT_EQ(draws_taken([&](random_draws& rng) { e_mcphase(s, c, rng); }), 1);
    EXPECT_EQ(draws_taken([&](random_draws& rng) { e_mcphase_haze(s, c, rng); }), 1);
}

TEST_F(TabulatedLaw, EchoLinesNameTheTitle) {
    dir.write("mcphase.dat", "'Phase function of icy grains'\n2\n0 1\n180 1\n");
    dir.write("mcphase_haze.dat", "dust\n2\n0 1\n180 1\n");
    std::string ring = captured(init_mcphase);
    std::string haze = captured(init_mcphase_haze);
    const std::string title = "Phase function of icy grains";
    EXPECT_EQ(ring, "tabulated phase-function: " + title + std::string(80 - title.size(), ' ') + "\n");
    EXPECT_EQ(haze, "tabulated haze phase-function: dust" + std::string(76, ' ') + "\nn_alpha_haze 2\n");
}

TEST_F(TabulatedLaw, PrintLevelOneWritesTheDebugLinesAndSplineDumps) {
    dir.write("mcphase.dat", table_of("ring", hg(0.2), 10.0));
    dir.write("mcphase_haze.dat", table_of("haze", hg(-0.2), 20.0));
    com3.icheck = 1;
    com12.method = 16;
    com_haze2.method_haze = 15;
    std::string ring = captured(init_mcphase);
    std::string haze = captured(init_mcphase_haze);
    com3.icheck = 0;
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
    std::string m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("mcphase.dat"), std::string::npos) << m;
    m = error_of<input_error>(init_mcphase_haze);
    EXPECT_NE(m.find("mcphase_haze.dat"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, MalformedRowNamesFileLineAndValue) {
    dir.write("mcphase.dat", "t\n3\n0 1\n90 one\n180 1\n");
    std::string m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("mcphase.dat, line 4"), std::string::npos) << m;
    EXPECT_NE(m.find("table row 2"), std::string::npos) << m;
    EXPECT_NE(m.find("expected a number, found 'one'"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, ShortFileSaysTheInputEnded) {
    dir.write("mcphase_haze.dat", "t\n4\n0 1\n90 1\n");
    std::string m = error_of<input_error>(init_mcphase_haze);
    EXPECT_NE(m.find("mcphase_haze.dat"), std::string::npos) << m;
    EXPECT_NE(m.find("table row 3"), std::string::npos) << m;
    EXPECT_NE(m.find("input ended"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, MissingRowCountIsRejected) {
    dir.write("mcphase.dat", "t\n,\n");
    std::string m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("mcphase.dat, line 2"), std::string::npos) << m;
    EXPECT_NE(m.find("n_alpha"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, MoreThanFiveThousandRowsIsRejectedWithTheLimitNamed) {
    dir.write("mcphase.dat", "t\n5001\n0 1\n");
    std::string m = error_of<limit_error>(init_mcphase);
    EXPECT_NE(m.find("mcphase.dat, line 2"), std::string::npos) << m;
    EXPECT_NE(m.find("5001"), std::string::npos) << m;
    EXPECT_NE(m.find("limit of 5000 rows"), std::string::npos) << m;
    // Far beyond the table capacity as well: rejected before any row is stored.
    dir.write("mcphase.dat", "t\n2000000000\n");
    EXPECT_NE(error_of<limit_error>(init_mcphase).find("limit of 5000"), std::string::npos);
}

TEST_F(TabulatedLawFile, FewerThanTwoRowsIsRejected) {
    for (const char* count : {"1", "0", "-3"}) {
        dir.write("mcphase.dat", std::string("t\n") + count + "\n0 1\n");
        std::string m = error_of<input_error>(init_mcphase);
        EXPECT_NE(m.find("at least 2 table rows"), std::string::npos) << m;
    }
}

TEST_F(TabulatedLawFile, AnglesOutOfOrderOrOutOfRangeAreRejected) {
    dir.write("mcphase.dat", "t\n3\n0 1\n90 1\n90 1\n");
    std::string m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("line 5"), std::string::npos) << m;
    EXPECT_NE(m.find("increasing order"), std::string::npos) << m;
    dir.write("mcphase.dat", "t\n3\n0 1\n90 1\n181 1\n");
    m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("0 to 180 degrees"), std::string::npos) << m;
}

TEST_F(TabulatedLawFile, TableWhoseIntegralDoesNotRiseIsRejected) {
    // Zero values over two rows leave the cumulative integral flat there; the
    // inverse spline of the sampler could not be built.
    dir.write("mcphase.dat", "t\n5\n0 1\n60 1\n120 0\n150 0\n180 1\n");
    std::string m = error_of<input_error>(init_mcphase);
    EXPECT_NE(m.find("mcphase.dat, lines 5-6"), std::string::npos) << m;
    EXPECT_NE(m.find("rows 3 and 4"), std::string::npos) << m;
    EXPECT_NE(m.find("increase from row to row"), std::string::npos) << m;
}
