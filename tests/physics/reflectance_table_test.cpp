// The I/F table that the engine prints after its summary lines: each value
// follows from the returned sums by I/F = (mu0/mu) testw / N, a run lit by
// the planet is normalised by flux_sat / pi in place of mu0 (so light from
// one direction with flux_sat = pi sin b gives the Sun's table at b), and the
// periodic-cell warning appears when rays cross the cell inside the layer.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/engine_fixture.h"
#include "support/physics_field.h"
#include "support/physics_run.h"

namespace quillet::physics {
namespace {

using testing_support::engine_call;
using testing_support::temp_dir;

constexpr double deg = std::numbers::pi / 180.0;
const std::string row_label = "I/F: k,lat,fii,i_f,err,i_f_1,err_1";

// A small sparse field (about 600 spheres of radius 1, tau 0.3, 40 thick).
slab_field small_field(double xl) {
    return make_slab({.xl = xl, .yl = xl, .sy = 0.37 * xl, .r = 1.0, .tau = 0.3, .filling = 0.01, .seed = 4});
}

void prepare(engine_call& c, const temp_dir& dir, const slab_field& f) {
    testing_support::write_field_file(dir.file("field.pos"), f.field);
    c.nxphot = 40;
    c.nyphot = 50;
    c.bsun = 35.0;
    c.lonsun = 10.0;
    c.ntest = 3;
    c.set_direction(1, 30.0, 50.0);
    c.set_direction(2, 60.0, 190.0);
    c.set_direction(3, -20.0, 100.0);  // below the ring plane: |sin lat|
    c.ssca_part = 0.7;
    c.irot = 1;
}

TEST(ReflectanceTable, ValuesFollowFromTheReturnedSums) {
    temp_dir dir;
    slab_field f = small_field(80.0);
    engine_call c(dir);
    prepare(c, dir, f);
    c.run();
    auto head = labelled_lines(c.out, "I/F: mu0,nphot");
    ASSERT_EQ(head.size(), 1u);
    const double mu0 = std::sin(35.0 * deg);
    EXPECT_DOUBLE_EQ(head[0][0], mu0);
    EXPECT_EQ(head[0][1], 2000.0);
    auto rows = labelled_lines(c.out, row_label);
    ASSERT_EQ(rows.size(), 3u);
    // The table comes right after the three summary lines.
    EXPECT_NE(c.out.find("nbox,nboxvis,nbox_mean"), std::string::npos);
    EXPECT_LT(c.out.find("nbox,nboxvis,nbox_mean"), c.out.find("I/F: mu0,nphot"));
    for (int k = 1; k <= 3; ++k) {
        const auto& v = rows[std::size_t(k - 1)];
        ASSERT_EQ(v.size(), 7u);
        const double scale = mu0 / std::abs(std::sin(c.latobs[k] * deg));
        EXPECT_EQ(v[0], double(k));
        EXPECT_EQ(v[1], c.latobs[k]);
        EXPECT_EQ(v[2], c.fiiobs[k]);
        EXPECT_NEAR(v[3], scale * c.testw[k] / 2000.0, 1e-15 * (1.0 + v[3]));
        EXPECT_NEAR(v[4], scale * c.testd_corr[k] / 2000.0, 1e-15 * (1.0 + v[4]));
        EXPECT_NEAR(v[5], scale * c.w_order[1][k] / 2000.0, 1e-15 * (1.0 + v[5]));
        EXPECT_GT(v[3], v[5]);  // albedo 0.7: higher orders add light
        EXPECT_GT(v[6], 0.0);
        EXPECT_LE(v[6], v[4] * 1.5);
    }
}

TEST(ReflectanceTable, FirstOrderErrorEqualsTotalErrorWhenOnlyOneScatteringIsFollowed) {
    temp_dir dir;
    slab_field f = small_field(80.0);
    engine_call c(dir);
    prepare(c, dir, f);
    testing_support::write_text_file(dir.file("par"), "1.0\n1\n10000 10000\n");
    c.parfile = text80(dir.file("par"));
    c.run();
    auto rows = labelled_lines(c.out, row_label);
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& v : rows) {
        EXPECT_EQ(v[3], v[5]);
        EXPECT_NEAR(v[4], v[6], 1e-12 * v[4]);
    }
}

TEST(ReflectanceTable, NoTableWhenSummaryLinesAreSuppressed) {
    temp_dir dir;
    slab_field f = small_field(80.0);
    engine_call c(dir);
    prepare(c, dir, f);
    c.icheck = -1;
    c.run();
    EXPECT_EQ(c.out.find("I/F:"), std::string::npos);
}

// The planet photons all arrive from the direction of a Sun at 35 degrees
// elevation and 10 degrees azimuth, with flux_sat = pi sin 35: the same
// light as the Sun's, so the same table (no rotation, the same random draws).
TEST(ReflectanceTable, PlanetSourceNormalisationMatchesTheSunForOneDirection) {
    temp_dir dir;
    slab_field f = small_field(80.0);
    engine_call sun(dir);
    prepare(sun, dir, f);
    sun.irot = 0;
    sun.run();

    engine_call planet(dir);
    prepare(planet, dir, f);
    planet.irot = 0;
    planet.isat = 1;
    const double b = 35.0 * deg, l = 10.0 * deg;
    planet.planet.add_photons(2000, std::cos(b) * std::cos(l), std::cos(b) * std::sin(l), std::sin(b));
    planet.planet.flux_sat = std::numbers::pi * std::sin(b);
    planet.run();

    auto head = labelled_lines(planet.out, "I/F: flux_sat/pi,nphot");
    ASSERT_EQ(head.size(), 1u);
    EXPECT_NEAR(head[0][0], std::sin(b), 1e-15);
    auto rs = labelled_lines(sun.out, row_label);
    auto rp = labelled_lines(planet.out, row_label);
    ASSERT_EQ(rs.size(), 3u);
    ASSERT_EQ(rp.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t j = 3; j < 7; ++j) EXPECT_NEAR(rp[k][j], rs[k][j], 1e-9 * (rs[k][j] + 1e-12)) << k << " " << j;

    // Half the planet-shine flux: half the I/F.
    engine_call half(dir);
    prepare(half, dir, f);
    half.irot = 0;
    half.isat = 1;
    half.planet = planet.planet;
    half.planet.flux_sat = 0.5 * std::numbers::pi * std::sin(b);
    half.run();
    auto rh = labelled_lines(half.out, row_label);
    ASSERT_EQ(rh.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(rh[k][3], 0.5 * rp[k][3], 1e-12);

    // Without a planet-shine flux there is no I/F to give.
    engine_call none(dir);
    prepare(none, dir, f);
    none.isat = 1;
    none.planet = planet.planet;
    none.planet.flux_sat = 0.0;
    none.run();
    EXPECT_NE(none.out.find("I/F: no planet-shine flux"), std::string::npos);
    EXPECT_TRUE(labelled_lines(none.out, row_label).empty());
}

TEST(PeriodicCellWarning, AppearsWhenRaysCrossTheCellInsideTheLayer) {
    const std::string warning = "warning: periodic cell narrower than the way of a ray through the layer";
    temp_dir dir;
    {
        // Layer 42 thick, cell 80 wide: a ray at 20 degrees goes 115 across.
        slab_field f = small_field(40.0);
        engine_call c(dir);
        prepare(c, dir, f);
        c.set_direction(3, 20.0, 100.0);
        c.run();
        auto w = labelled_lines(c.out, warning + " (widen the cell): lat,cells");
        ASSERT_EQ(w.size(), 1u) << c.out;
        EXPECT_EQ(w[0][0], 20.0);
        EXPECT_NEAR(w[0][1], (f.zmax - f.zmin) / std::tan(20.0 * deg) / 80.0, 1e-9);
    }
    {
        // The same layer in a cell 320 wide: no ray crosses it.
        slab_field f = small_field(160.0);
        engine_call c(dir);
        prepare(c, dir, f);
        c.set_direction(3, 20.0, 100.0);
        c.run();
        EXPECT_EQ(c.out.find(warning), std::string::npos);
    }
}

}  // namespace
}  // namespace quillet::physics
