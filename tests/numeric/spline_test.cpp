// Cubic splines: the defining equations hold, lines and cubics are
// reproduced where the end conditions allow it, nodes are met exactly, and
// the end intervals extend beyond the table.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "format/run_error.h"
#include "numeric/spline.h"

using namespace quillet;

namespace {

// A 1-based table.
struct table {
    std::vector<double> x, y, y2;
    explicit table(int n) : x(n + 1), y(n + 1), y2(n + 1) {}
    int n() const { return int(x.size()) - 1; }
    void fit(double yp1 = spline_natural, double ypn = spline_natural) {
        spline(x.data(), y.data(), n(), yp1, ypn, y2.data());
    }
    double at(double v) const {
        double r = 0.0;
        splint(x.data(), y.data(), y2.data(), n(), v, r);
        return r;
    }
};

// Uneven, strictly increasing abscissae.
table uneven_nodes(int n, unsigned seed) {
    table t(n);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> step(0.2, 1.5);
    t.x[1] = -1.0;
    for (int i = 2; i <= n; ++i) t.x[i] = t.x[i - 1] + step(gen);
    return t;
}

double cubic(double x) { return x * x * x - 2.0 * x * x + 0.5 * x + 1.0; }
double cubic_slope(double x) { return 3.0 * x * x - 4.0 * x + 0.5; }
double cubic_curvature(double x) { return 6.0 * x - 4.0; }

}  // namespace

TEST(Spline, NaturalSplineOfAStraightLineIsTheLineWithZeroCurvature) {
    // Integer nodes keep every slope exactly 3, so y2 must be exactly zero.
    const double xs[] = {0.0, 1.0, 3.0, 4.0, 7.0, 8.0, 12.0};
    table t(7);
    for (int i = 1; i <= 7; ++i) {
        t.x[i] = xs[i - 1];
        t.y[i] = 3.0 * xs[i - 1] + 1.0;
    }
    t.fit();
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(t.y2[i], 0.0) << i;
    for (double v = -3.0; v <= 15.0; v += 0.37) EXPECT_NEAR(t.at(v), 3.0 * v + 1.0, 1e-12) << v;
}

TEST(Spline, TwoPointsInterpolateLinearlyInsideAndOutside) {
    table t(2);
    t.x[1] = 2.0;
    t.x[2] = 5.0;
    t.y[1] = -1.0;
    t.y[2] = 8.0;
    t.fit();
    EXPECT_EQ(t.y2[1], 0.0);
    EXPECT_EQ(t.y2[2], 0.0);
    for (double v : {2.0, 2.5, 3.0, 4.9, 5.0, 0.0, 7.5})
        EXPECT_NEAR(t.at(v), -1.0 + (v - 2.0) * 3.0, 1e-13) << v;
}

TEST(Spline, NodesAreMetExactly) {
    table t = uneven_nodes(40, 7);
    std::mt19937 gen(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int i = 1; i <= t.n(); ++i) t.y[i] = noise(gen);
    t.fit();
    for (int i = 1; i <= t.n(); ++i) EXPECT_EQ(t.at(t.x[i]), t.y[i]) << i;
}

TEST(Spline, SecondDerivativesSolveTheContinuityEquations) {
    // Interior nodes: h[i-1] y2[i-1] + 2 (h[i-1] + h[i]) y2[i] + h[i] y2[i+1]
    //                 = 6 (slope right - slope left); natural ends have y2 = 0.
    table t = uneven_nodes(60, 3);
    for (int i = 1; i <= t.n(); ++i) t.y[i] = std::sin(t.x[i]) + 0.1 * t.x[i] * t.x[i];
    t.fit();
    EXPECT_EQ(t.y2[1], 0.0);
    EXPECT_EQ(t.y2[t.n()], 0.0);
    for (int i = 2; i < t.n(); ++i) {
        double hl = t.x[i] - t.x[i - 1], hr = t.x[i + 1] - t.x[i];
        double lhs = hl * t.y2[i - 1] + 2.0 * (hl + hr) * t.y2[i] + hr * t.y2[i + 1];
        double rhs = 6.0 * ((t.y[i + 1] - t.y[i]) / hr - (t.y[i] - t.y[i - 1]) / hl);
        EXPECT_NEAR(lhs, rhs, 1e-12 * (1.0 + std::fabs(rhs))) << i;
    }
}

TEST(Spline, FirstDerivativeIsContinuousAtInteriorNodes) {
    table t = uneven_nodes(25, 5);
    for (int i = 1; i <= t.n(); ++i) t.y[i] = std::exp(0.3 * t.x[i]);
    t.fit();
    for (int i = 2; i < t.n(); ++i) {
        const double h = 1e-6;
        double left = (t.y[i] - t.at(t.x[i] - h)) / h;
        double right = (t.at(t.x[i] + h) - t.y[i]) / h;
        EXPECT_NEAR(left, right, 1e-4) << i;
    }
}

TEST(Spline, ClampedSplineReproducesACubicItsSlopesAndCurvature) {
    // A cubic is a C2 piecewise cubic meeting both end slopes: the clamped
    // spline through its samples is the cubic itself.
    table t = uneven_nodes(12, 9);
    for (int i = 1; i <= t.n(); ++i) t.y[i] = cubic(t.x[i]);
    t.fit(cubic_slope(t.x[1]), cubic_slope(t.x[t.n()]));
    for (int i = 1; i <= t.n(); ++i) EXPECT_NEAR(t.y2[i], cubic_curvature(t.x[i]), 1e-9) << i;
    for (double v = t.x[1]; v <= t.x[t.n()]; v += 0.113) EXPECT_NEAR(t.at(v), cubic(v), 1e-10) << v;
    // The end slopes come back out of the interpolant.
    const double h = 1e-6;
    EXPECT_NEAR((t.at(t.x[1] + h) - t.at(t.x[1] - h)) / (2 * h), cubic_slope(t.x[1]), 1e-6);
    int n = t.n();
    EXPECT_NEAR((t.at(t.x[n] + h) - t.at(t.x[n] - h)) / (2 * h), cubic_slope(t.x[n]), 1e-6);
}

TEST(Spline, BeyondTheTableTheEndIntervalsCubicIsExtended) {
    // The clamped cubic fit is the cubic on every interval, so its extension
    // past either end is the cubic too.
    table t = uneven_nodes(8, 21);
    for (int i = 1; i <= t.n(); ++i) t.y[i] = cubic(t.x[i]);
    t.fit(cubic_slope(t.x[1]), cubic_slope(t.x[t.n()]));
    for (double d : {0.1, 0.5, 1.0, 2.0}) {
        EXPECT_NEAR(t.at(t.x[1] - d), cubic(t.x[1] - d), 1e-9) << d;
        EXPECT_NEAR(t.at(t.x[t.n()] + d), cubic(t.x[t.n()] + d), 1e-9) << d;
    }
    // A natural fit extends its end cubics without clamping: left of the
    // table the value follows the first interval's polynomial.
    table u(3);
    u.x[1] = 0.0, u.x[2] = 1.0, u.x[3] = 2.0;
    u.y[1] = 0.0, u.y[2] = 1.0, u.y[3] = 0.0;
    u.fit();
    // y2 = (0, -3, 0): on [0,1] the spline is 1.5 x - 0.5 x^3.
    EXPECT_NEAR(u.y2[2], -3.0, 1e-15);
    for (double v : {-1.0, -0.5, 0.5}) EXPECT_NEAR(u.at(v), 1.5 * v - 0.5 * v * v * v, 1e-14) << v;
    EXPECT_NEAR(u.at(3.0), u.at(1.0 - 2.0), 1e-14);  // mirror image about x = 1
}

TEST(Spline, NaturalEndThresholdIsTheSinglePrecisionPointNineNineTimesTenToThirty) {
    table t(3);
    t.x[1] = 0.0, t.x[2] = 1.0, t.x[3] = 2.0;
    t.y[1] = 0.0, t.y[2] = 1.0, t.y[3] = 4.0;
    const double threshold = double(0.99e30f);
    t.fit(std::nextafter(threshold, 2.0 * threshold), spline_natural);
    EXPECT_EQ(t.y2[1], 0.0);  // above the threshold: natural
    t.fit(threshold, spline_natural);
    EXPECT_NE(t.y2[1], 0.0);  // exactly at it: a (huge) clamped slope
    t.fit(0.99e30, spline_natural);
    EXPECT_NE(t.y2[1], 0.0);  // the double 0.99e30 lies below the float threshold
}

TEST(Spline, TablesOfFewerThanTwoPointsAreRefusedAndLongOnesAreTaken) {
    // 200,001 points of sin x over [0, 20] (step 1e-4): the scratch of the
    // sweep is sized from the table.
    const int n = 200001;
    std::vector<double> x(n + 1), y(n + 1), y2(n + 1);
    for (int i = 1; i <= n; ++i) x[i] = (i - 1) * 1e-4, y[i] = std::sin(x[i]);
    EXPECT_THROW(spline(x.data(), y.data(), 1, spline_natural, spline_natural, y2.data()), limit_error);
    spline(x.data(), y.data(), n, spline_natural, spline_natural, y2.data());
    double v = 0.0;
    splint(x.data(), y.data(), y2.data(), n, 10.00005, v);
    EXPECT_NEAR(v, std::sin(10.00005), 1e-12);
    EXPECT_NEAR(y2[100001], -std::sin(x[100001]), 1e-6);  // the curvature in the middle
}
