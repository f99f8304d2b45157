// The classical results the suite compares the simulator with are checked
// here on their own: phase-function normalisation, the H-function's known
// moment, and two independent solutions (H-function, finite slab) that must
// meet for a thick layer.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/physics_classical.h"

namespace quillet::physics {
namespace {

constexpr double pi = std::numbers::pi;

double sphere_mean(double (*p)(double, double), double par) {
    return 0.5 * gauss_integral([&](double t) { return p(t, par) * std::sin(t); }, 0.0, pi, 100);
}

TEST(ClassicalReference, PhaseFunctionsHaveMeanOneOverTheSphere) {
    EXPECT_NEAR(sphere_mean([](double t, double) { return p_isotropic(t); }, 0.0), 1.0, 1e-12);
    for (double g : {-0.5, -0.3, 0.2, 0.6})
        EXPECT_NEAR(sphere_mean([](double t, double gg) { return p_henyey_greenstein(t, gg); }, g), 1.0, 1e-10) << g;
    EXPECT_NEAR(sphere_mean([](double t, double) { return p_lambert_sphere(t); }, 0.0), 1.0, 1e-12);
    for (double n : {0.0, 1.5, 3.092}) {
        double c = power_law_constant(n);
        EXPECT_NEAR(sphere_mean([](double t, double nn) { return std::pow(t, nn); }, n) * c, 1.0, 1e-12) << n;
    }
    // n = 0 is isotropic; n = 1: integral of t sin t over [0, pi] is pi.
    EXPECT_NEAR(power_law_constant(0.0), 1.0, 1e-13);
    EXPECT_NEAR(power_law_constant(1.0), 2.0 / pi, 1e-13);
    // The Lambert sphere at full phase (theta = pi) is 8/3, dark at theta = 0.
    EXPECT_NEAR(p_lambert_sphere(pi), 8.0 / 3.0, 1e-12);
    EXPECT_NEAR(p_lambert_sphere(0.0), 0.0, 1e-12);
}

TEST(ClassicalReference, ExponentialIntegralsMatchKnownValues) {
    EXPECT_NEAR(expint_e1(1.0), 0.21938393439552027, 1e-14);
    EXPECT_NEAR(expint_e1(0.1), 1.8229239584193906, 1e-13);
    EXPECT_NEAR(expint_e1(5.0), 0.0011482955912753257, 1e-16);
    EXPECT_NEAR(expint_e2(1.0), std::exp(-1.0) - 0.21938393439552027, 1e-14);
    EXPECT_EQ(expint_e2(0.0), 1.0);
}

TEST(ClassicalReference, HFunctionHasItsKnownZerothMoment) {
    for (double w : {0.3, 0.5, 0.7, 0.9}) {
        h_function h(w);
        EXPECT_NEAR(h.moment0(), 2.0 / w * (1.0 - std::sqrt(1.0 - w)), 1e-10) << w;
        EXPECT_NEAR(h(0.0), 1.0, 1e-12);
        EXPECT_GT(h(1.0), h(0.5));
    }
}

TEST(ClassicalReference, ThickFiniteSlabMeetsTheSemiInfiniteHFunctionResult) {
    // Two independent solutions of the same problem: the source-function
    // integral equation of a slab of optical depth 12 and the H-function.
    const double w = 0.5, mu0 = 0.5;
    h_function h(w);
    std::vector<double> mus = {0.3, 0.6, 0.9};
    auto slab = finite_slab_if(w, 12.0, mu0, mus, 2400);
    for (std::size_t i = 0; i < mus.size(); ++i) {
        double semi = semi_infinite_if(h, w, mu0, mus[i]);
        EXPECT_NEAR(slab[i] / semi, 1.0, 1e-4) << mus[i];
    }
}

}  // namespace
}  // namespace quillet::physics
