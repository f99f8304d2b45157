// The fraction of photons that cross the layer without meeting a particle
// equals that of the very field the run used: the test projects every sphere
// (and its periodic images) along the beam onto the mid-plane and measures
// the part of the cell its shadows leave free. One field alone differs from
// exp(-tau/mu0) by up to a percent (the particular draw); a dense field of
// non-overlapping spheres differs by far more, and the simulator follows it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "support/physics_field.h"
#include "support/physics_run.h"

namespace quillet::physics {
namespace {

constexpr double deg = std::numbers::pi / 180.0;

struct direct_case {
    slab_request field;
    double bsun, lonsun;
    std::int32_t mx;
};

struct direct_result {
    double fdir, sigma, expected, poisson;
};

direct_result run_direct(const direct_case& c) {
    slab_field f = make_slab(c.field);
    physics_run_request r;
    r.field = &f.field;
    r.bsun = c.bsun;
    r.lonsun = c.lonsun;
    r.nphot = photons(200000, 20000);
    r.maxscat = 1;  // the first search decides whether a photon crosses unscattered
    r.mx = r.my = c.mx;
    physics_run_result res = run_field(r);
    direct_result out;
    out.fdir = double(res.ndirect) / res.nphot;
    out.sigma = std::sqrt(out.fdir * (1.0 - out.fdir) / res.nphot);  // binomial
    const double ex = -std::cos(c.bsun * deg) * std::cos(c.lonsun * deg);
    const double ey = -std::cos(c.bsun * deg) * std::sin(c.lonsun * deg);
    const double ez = -std::sin(c.bsun * deg);
    // About four million raster points; halving the pixel moves the result by
    // less than 2e-4 (checked below), which is added to the tolerance.
    const double pixel = 2.0 * c.field.xl / 2000.0;
    out.expected = unblocked_fraction(f.field, ex, ey, ez, pixel);
    const double finer = unblocked_fraction(f.field, ex, ey, ez, pixel / 2.0);
    EXPECT_LT(std::abs(finer - out.expected), 2e-4) << "raster not converged";
    out.poisson = std::exp(-f.tau / std::sin(c.bsun * deg));
    std::printf("[ physics  ] unscattered: D=%g tau=%.4f bsun=%g: quillet %.5f +- %.5f, same field %.5f, "
                "exp(-tau/mu0) %.5f\n",
                c.field.filling, f.tau, c.bsun, out.fdir, out.sigma, out.expected, out.poisson);
    return out;
}

TEST(UnscatteredFraction, SparseFieldMatchesStraightRaysThroughTheSameParticles) {
    // D = 0.01, tau = 0.5: the layer is 67 radii thick, the cell 800 wide with
    // a shear, the beam at 30 degrees and 17 degrees off the lattice axis.
    direct_case c{{.xl = 400.0, .yl = 400.0, .sy = 297.3, .r = 1.0, .tau = 0.5, .filling = 0.01, .overlap = true,
                   .seed = 11},
                  30.0, 17.0, 100};
    direct_result d = run_direct(c);
    EXPECT_NEAR(d.fdir, d.expected, 4.0 * d.sigma + 2e-4);
    // The classical value holds for this field to within about a percent.
    EXPECT_NEAR(d.expected / d.poisson, 1.0, 0.015);
}

TEST(UnscatteredFraction, DenseFieldMatchesItsOwnParticlesAndDepartsFromExponential) {
    // D = 0.1 without overlaps: the shadows of neighbours overlap less than
    // in a random medium, so less light crosses than exp(-tau/mu0).
    direct_case c{{.xl = 40.0, .yl = 40.0, .sy = 29.7, .r = 1.0, .tau = 0.5, .filling = 0.1, .overlap = false,
                   .seed = 5},
                  30.0, 17.0, 20};
    direct_result d = run_direct(c);
    EXPECT_NEAR(d.fdir, d.expected, 4.0 * d.sigma + 2e-4);
    EXPECT_GT(std::abs(d.expected - d.poisson), 10.0 * d.sigma);
    EXPECT_GT(std::abs(d.fdir - d.poisson), 5.0 * d.sigma);
}

}  // namespace
}  // namespace quillet::physics
