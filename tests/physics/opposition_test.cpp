// Opposition brightening from mutual shadowing: near zero phase angle the
// way out of a scattering retraces the way in, which is known to be free, so
// a layer is brighter there than at 10 to 20 degrees. The height of the peak
// at exactly zero phase is much the same for any filling factor (the way out
// is the way in), but its width grows with D: at a phase angle of 3 degrees a
// dense layer (D = 0.1, no overlaps) is still well up its peak, relative to
// 15 degrees, while a sparse layer (D = 0.005) of the same optical depth has
// all but left its own. Classical transfer has no peak at all: for isotropic
// scatterers its I/F does not depend on the azimuth, so the ratio
// I/F(3 deg) / I/F(15 deg) at one elevation is 1 there.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "support/physics_field.h"
#include "support/physics_run.h"

namespace quillet::physics {
namespace {

constexpr double deg = std::numbers::pi / 180.0;

// Azimuth from the Sun (degrees) of an observer at elevation lat seeing the
// phase angle alpha with the Sun at elevation b.
double azimuth_for_phase(double b, double lat, double alpha) {
    double c = (std::cos(alpha * deg) - std::sin(b * deg) * std::sin(lat * deg)) /
               (std::cos(b * deg) * std::cos(lat * deg));
    return std::acos(c) / deg;
}

struct opposition {
    std::vector<double> i_f, err;
    double ratio, sigma;  // I/F(3 deg) / I/F(15 deg)
};

// Phase angles 0, 1, 3, 15 and 30 degrees, Sun and observers 40 degrees up.
const std::vector<double> phases{0.0, 1.0, 3.0, 15.0, 30.0};

opposition run_opposition(const slab_request& req, std::int32_t mx) {
    slab_field f = make_slab(req);
    physics_run_request r;
    r.field = &f.field;
    r.bsun = 40.0;
    r.lonsun = 17.0;
    for (double a : phases) r.views.push_back({40.0, azimuth_for_phase(40.0, 40.0, a)});
    r.nphot = 100000;  // also under the sanitizers: fewer photons cannot separate the layers at 5 sigma
    r.method = 2;  // isotropic
    r.albedo = 0.5;
    r.maxscat = 40;
    r.irot = 1;
    r.mx = r.my = mx;
    physics_run_result res = run_field(r);
    opposition o;
    o.i_f = res.i_f;
    o.err = res.err;
    o.ratio = res.i_f[2] / res.i_f[3];
    // Errors of the two directions added as if independent (they are
    // positively correlated, so this overstates the ratio's error).
    o.sigma = o.ratio * std::hypot(res.err[2] / res.i_f[2], res.err[3] / res.i_f[3]);
    for (std::size_t k = 0; k < phases.size(); ++k)
        std::printf("[ physics  ] opposition D=%.3g tau=%.3f alpha %4.1f: I/F %.5f +- %.5f\n", f.filling, f.tau,
                    phases[k], res.i_f[k], res.err[k]);
    std::printf("[ physics  ] opposition D=%.3g: I/F(3 deg) / I/F(15 deg) = %.4f +- %.4f\n", f.filling, o.ratio,
                o.sigma);
    return o;
}

TEST(Opposition, DenseLayerIsBrighterNearZeroPhaseThanSparseLayer) {
    opposition dense = run_opposition(
        {.xl = 40.0, .yl = 40.0, .sy = 29.7, .r = 1.0, .tau = 0.5, .filling = 0.1, .overlap = false, .seed = 3}, 20);
    opposition sparse = run_opposition(
        {.xl = 300.0, .yl = 300.0, .sy = 223.0, .r = 1.0, .tau = 0.5, .filling = 0.005, .overlap = true, .seed = 3},
        75);
    // The dense layer at 3 degrees: at least 5 % above 15 degrees, and at
    // least 4 % (and 5 sigma) above the sparse layer's ratio.
    EXPECT_GT(dense.ratio, 1.05);
    EXPECT_GT(dense.ratio - sparse.ratio, std::max(0.04, 5.0 * std::hypot(dense.sigma, sparse.sigma)));
    // Both have the narrow retrace peak at exactly zero phase; the sparse one
    // is nearly gone by 3 degrees.
    EXPECT_GT(sparse.i_f[0] / sparse.i_f[3], 1.15);
    EXPECT_GT(dense.i_f[0] / dense.i_f[3], 1.1);
    EXPECT_LT(sparse.ratio, 1.05);
}

}  // namespace
}  // namespace quillet::physics
