// Power law of the scattering angle: normalisation against an independent
// quadrature, shape, the sampler against the evaluator, one deviate per draw
// and the spline dump.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "format/run_error.h"
#include "scatter/callisto.h"
#include "support/sampler_stats.h"
#include "support/scratch_dir.h"

using namespace quillet;
using namespace quillet::test_support;

namespace {

constexpr double pi = 3.141592653589793;

// The table the tests of this file look at.
power_table table;

void build_power_law(double n) {
    table.pow_n = n;
    init_callisto(table, 9, 0);
}

phase_law power_law() {
    return [](double c) { double p; p_callisto(table, c, p); return p; };
}

std::function<double()> power_law_cose() {
    return [] {
        double sine, cose;
        e_callisto(table, sine, cose, test_draws());
        return cose;
    };
}

// int_0^pi t^n sin t dt by Simpson with 200000 intervals.
double exact_moment(double n) {
    const int m = 200000;
    double h = pi / m, sum = 0.0;
    for (int i = 0; i <= m; ++i) {
        double t = i * h;
        double f = (t == 0.0 ? 0.0 : std::pow(t, n)) * std::sin(t);
        sum += (i == 0 || i == m ? 1.0 : (i % 2 ? 4.0 : 2.0)) * f;
    }
    return sum * h / 3.0;
}

}  // namespace

TEST(Callisto, NormalisationMatchesAnIndependentQuadrature) {
    for (double n : {0.0, 1.5, 3.092}) {
        build_power_law(n);
        // The 401-node rule is second order in h = pi/400: h^2 ~ 6e-5.
        EXPECT_NEAR(table.c_n, 2.0 / exact_moment(n), 1e-4 * table.c_n) << "n = " << n;
        EXPECT_EQ(table.cum[1], 0.0);
        EXPECT_DOUBLE_EQ(table.cum[401], 2.0);
        EXPECT_NEAR(table.theta[401], pi, 1e-15);
        for (int i = 2; i <= 401; ++i) ASSERT_GT(table.cum[i], table.cum[i - 1]);
    }
}

TEST(Callisto, EvaluatorIntegratesToPiOverTheSphere) {
    for (double n : {0.0, 1.5, 3.092}) {
        build_power_law(n);
        EXPECT_NEAR(sphere_integral(power_law(), 40000), pi, 1e-4 * pi) << "n = " << n;
    }
}

TEST(Callisto, ExponentZeroIsIsotropic) {
    build_power_law(0.0);
    EXPECT_NEAR(table.c_n, 1.0, 1e-4);
    for (double c : {-1.0, -0.5, 0.0, 0.7, 1.0}) {
        double p;
        p_callisto(table, c, p);
        EXPECT_NEAR(p, 0.25, 0.25e-4);
    }
}

TEST(Callisto, CallistoExponentIsZeroForwardAndLargestBackward) {
    build_power_law(3.092);
    double forward, backward, p;
    p_callisto(table, 1.0, forward);
    p_callisto(table, -1.0, backward);
    EXPECT_EQ(forward, 0.0);
    p_callisto(table, 1.0 + 4e-16, p);
    EXPECT_EQ(p, forward) << "a cosine rounded past 1 is taken as 1";
    p_callisto(table, -1.0 - 4e-16, p);
    EXPECT_EQ(p, backward);
    for (double c = -0.999; c < 1.0; c += 0.01) {
        p_callisto(table, c, p);
        ASSERT_LT(p, backward) << "cose = " << c;
    }
}

TEST(Callisto, SamplerMatchesEvaluator) {
    for (double n : {3.092, 1.0, 0.0}) {
        build_power_law(n);
        reseed(-21);
        auto r = cose_chi_square(power_law_cose(), power_law(), 1000000 / 2);
        print_figure("e_callisto n=" + std::to_string(n), r);
        EXPECT_LT(r.value, r.threshold) << "n = " << n << ": " << r.summary();
    }
}

TEST(Callisto, SamplerTakesExactlyOneDeviate) {
    build_power_law(3.092);
    double s, c;
    EXPECT_EQ(draws_taken([&](random_draws& rng) { e_callisto(table, s, c, rng); }), 1);
}

TEST(Callisto, PrintLevelOneWritesTheSplineDumpAndTheEchoLines) {
    scratch_dir dir;
    table.pow_n = 3.092;
    testing::internal::CaptureStdout();
    init_callisto(table, 7, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("INIT_CALLISTO: n, c_n 3.092 "), std::string::npos) << out;
    EXPECT_NE(out.find("INIT_CALLISTO: inte   0.0 "), std::string::npos) << out;
    std::string dump = dir.read("SPLINE_TEST");
    int lines = 0;
    for (char ch : dump) lines += ch == '\n';
    EXPECT_EQ(lines, 1 + 401);
    EXPECT_EQ(dump.rfind("3.092 ", 0), 0u) << "the first line holds n and c_n";
    EXPECT_NE(dump.find("\n1 0.0 0.0 "), std::string::npos);
    EXPECT_NE(dump.find("\n401 "), std::string::npos);
}

// Every exponent that the check accepts gives a table whose draws and values
// are finite (the forward value of a negative exponent is the law's own
// infinity); every one it refuses would have given a table that is not, and
// init_callisto refuses it too. The bound lies near 66: the distribution's
// first rise there, c_n (about 1e-31) times h/2 0.0039^n sin 0.0039 (about
// 1e-164), is near 1e-195, and the spline divides the angle's slope over it
// (1e193) once more by the rises: beyond the range of a double.
TEST(Callisto, AcceptedExponentsGiveFiniteTablesAndTheOthersAreRefused) {
    int accepted = 0, refused = 0;
    for (double n = -1.99; n <= 700.0; n += n < 70.0 ? 0.37 : 25.0) {
        if (!power_law_problem(n).empty()) {
            ++refused;
            power_table refused_table;
            refused_table.pow_n = n;
            EXPECT_THROW(init_callisto(refused_table, 9, 0), limit_error) << "n = " << n;
            continue;
        }
        ++accepted;
        build_power_law(n);
        EXPECT_TRUE(std::isfinite(table.c_n) && table.c_n > 0.0) << "n = " << n;
        for (int k = 0; k <= 400; ++k) {
            const double c = std::cos(k * pi / 400.0);
            double p = 0.0;
            p_callisto(table, c, p);
            if (!(n < 0.0 && k == 0)) {
                ASSERT_TRUE(std::isfinite(p)) << "n = " << n << ", cose = " << c;
            }
        }
        for (int k = 0; k < 200; ++k) {
            double s = 0.0, c = 0.0;
            e_callisto(table, s, c, test_draws());
            ASSERT_TRUE(std::isfinite(c) && std::fabs(c) <= 1.0) << "n = " << n;
        }
    }
    EXPECT_TRUE(power_law_problem(3.092).empty());
    EXPECT_TRUE(power_law_problem(60.0).empty());
    EXPECT_FALSE(power_law_problem(70.0).empty());
    EXPECT_GT(accepted, 150);
    EXPECT_GT(refused, 20);
}
