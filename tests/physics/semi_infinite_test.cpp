// Multiple scattering of a thick sparse layer of isotropic scatterers against
// Chandrasekhar's semi-infinite result
//     I/F = (w/4) mu0 / (mu + mu0) H(mu) H(mu0),
// with H solved in the test from its integral equation, for the albedo
// w = 0.5 (quillet's total over all orders, maxscat 40: w^40 ~ 1e-12).
//
// The layer has optical depth 3. That it is thick enough is shown in the
// test: the reflectance of a finite slab of that depth (from the integral
// equation of its source function, a solution independent of H) differs from
// the semi-infinite value by less than a quarter of the tolerance.
//
// Tolerance: 4 run sigma plus an allowance for finite D. In a field of
// spheres every peel-off shares empty space with the way the photon came in
// (shared_shadow_volume): the first order is brighter by ex(alpha) and the
// higher orders, which arrive from all directions, by about the mean of ex
// over the sphere. The expected value is
//     semi + ex(alpha) I/F_1 + ex_mean (semi - I/F_1),
// with I/F_1 the classical single scattering, and the allowance is half of
// that finite-D term. The scatterers are HG with g = 0 scattered from the
// centre (isotropic; the "-center" laws follow the finite-D model closely).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "support/physics_classical.h"
#include "support/physics_field.h"
#include "support/physics_run.h"

namespace quillet::physics {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double deg = pi / 180.0;
constexpr double albedo = 0.5;
constexpr double bsun = 35.0;

struct thick_result {
    std::vector<double> q, err, semi, expected, tol;
};

// A layer of optical depth 3 and filling factor d in a cell 9 mean free paths
// wide (the mean free path is 4/(3 d) radii).
thick_result run_thick(double d, const std::vector<view>& views, std::int32_t nphot) {
    const double xl = 6.0 / d;
    slab_field f = make_slab(
        {.xl = xl, .yl = xl, .sy = 0.7434 * xl, .r = 1.0, .tau = 3.0, .filling = d, .overlap = true, .seed = 21});
    physics_run_request r;
    r.field = &f.field;
    r.bsun = bsun;
    r.lonsun = 17.0;
    r.views = views;
    r.nphot = nphot;
    r.method = 3;
    r.ppar1 = 0.0;
    r.albedo = albedo;
    r.maxscat = 40;
    r.irot = 1;
    r.mx = r.my = std::int32_t(xl / 2.0);
    physics_run_result res = run_field(r);

    h_function h(albedo);
    const double mu0 = std::sin(bsun * deg);
    std::vector<double> mus;
    for (const view& v : views) mus.push_back(std::sin(v.lat * deg));
    const std::vector<double> slab = finite_slab_if(albedo, f.tau, mu0, mus, 1200);
    const double n = 3.0 * f.filling / (4.0 * pi);
    // Mean of the finite-D excess over directions uniform on the sphere.
    double ex_mean = 0.0;
    for (int i = 0; i < 24; ++i) {
        double cosa = 1.0 - (i + 0.5) / 12.0;
        ex_mean += (std::exp(n * shared_shadow_volume(std::acos(cosa), true, 50000, 40 + i)) - 1.0) / 24.0;
    }
    thick_result out;
    for (std::size_t k = 0; k < views.size(); ++k) {
        const double theta = scattering_angle(bsun, views[k].lat, views[k].dfii);
        const double semi = semi_infinite_if(h, albedo, mu0, mus[k]);
        const double single = single_scattering_if(albedo, 1.0, mu0, mus[k], f.tau);
        const double ex = std::exp(n * shared_shadow_volume(pi - theta, true, 200000, 3 + k)) - 1.0;
        const double finite_d = ex * single + ex_mean * (semi - single);
        const double expected = semi + finite_d;
        const double tol = 4.0 * res.err[k] + 0.5 * finite_d;
        std::printf("[ physics  ] semi-infinite D=%g lat %4.1f alpha %5.1f: quillet %.5f +- %.5f, H-function %.5f "
                    "(%+.2f %%), with finite D %.5f; slab of tau %.2f: %.5f\n",
                    d, views[k].lat, 180.0 - theta / deg, res.i_f[k], res.err[k], semi,
                    100.0 * (res.i_f[k] / semi - 1.0), expected, f.tau, slab[k]);
        // The layer is deep enough: its finite depth is far inside the tolerance.
        EXPECT_LT(std::abs(slab[k] - semi), 0.25 * tol) << "lat " << views[k].lat;
        out.q.push_back(res.i_f[k]);
        out.err.push_back(res.err[k]);
        out.semi.push_back(semi);
        out.expected.push_back(expected);
        out.tol.push_back(tol);
    }
    return out;
}

const std::vector<view> thick_views{{50.0, 30.0}, {50.0, 160.0}, {25.0, 120.0}, {75.0, 60.0}};

TEST(SemiInfiniteLayer, IsotropicMultipleScatteringMatchesChandrasekharH) {
    thick_result t = run_thick(0.02, thick_views, photons(30000, 3000));
    for (std::size_t k = 0; k < thick_views.size(); ++k)
        EXPECT_NEAR(t.q[k], t.expected[k], t.tol[k]) << "lat " << thick_views[k].lat << " dfii " << thick_views[k].dfii;
}

}  // namespace
}  // namespace quillet::physics
