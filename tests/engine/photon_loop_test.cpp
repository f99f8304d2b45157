// The photon loop: launch points, the order of random draws, escapes and
// their records, the unscattered fraction against straight rays cast through
// the same field, and the search count.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_records.h"
#include "engine/photon_loop.h"
#include "field/field_records.h"
#include "trace/trace_records.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/path_segment.h"
#include "support/engine_fixture.h"
#include "numeric/ran1.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

// The numbers after a label on the lines of a run's standard output.
std::vector<std::vector<double>> labelled_values(const std::string& out, const std::string& label) {
    std::vector<std::vector<double>> rows;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(label, 0) != 0) continue;
        std::istringstream v(line.substr(label.size()));
        std::vector<double> row;
        double x;
        while (v >> x) row.push_back(x);
        rows.push_back(row);
    }
    return rows;
}

double layer_zmin(const field_spec& f) {
    double z = 0.0;
    for (const sphere& s : f.particles) z = std::min(z, s.z - s.r);
    return z;
}
double layer_zmax(const field_spec& f) {
    double z = 0.0;
    for (const sphere& s : f.particles) z = std::max(z, s.z + s.r);
    return z;
}

}  // namespace

TEST(PhotonLoop, GridLaunchOfTwoByTwoUsesTheFourCellCentresInRowOrder) {
    temp_dir dir;
    field_spec f;
    f.xl = 8.0;
    f.yl = 5.0;
    write_field_file(dir.file("field.pos"), f);
    engine_call c(dir);
    c.nxphot = c.nyphot = 2;
    c.isquare = 1;
    c.icheck = 1;
    c.run();
    auto pts = labelled_values(c.out, "x0,y0   ");
    ASSERT_EQ(pts.size(), 4u);
    const double expect[4][2] = {{-4.0, -2.5}, {4.0, -2.5}, {-4.0, 2.5}, {4.0, 2.5}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pts[i][0], expect[i][0]);
        EXPECT_EQ(pts[i][1], expect[i][1]);
    }
}

TEST(PhotonLoop, RandomLaunchDrawsRotationThenXThenYFromTheSeededStream) {
    temp_dir dir;
    field_spec f;  // empty: no scattering draws
    f.xl = 3.0;
    f.yl = 2.0;
    write_field_file(dir.file("field.pos"), f);
    engine_call c(dir);
    c.nxphot = 5;
    c.nyphot = 1;
    c.icheck = 1;
    c.idum = -17;
    c.run();
    auto pts = labelled_values(c.out, "x0,y0   ");
    ASSERT_EQ(pts.size(), 5u);
    ran1_state s;
    std::int32_t seed = -17;
    ran1(s, seed);  // the set-up's own draw
    for (int i = 0; i < 5; ++i) {
        ran1(s, seed);  // rotation
        double u1 = ran1(s, seed), u2 = ran1(s, seed);
        EXPECT_EQ(pts[i][0], u1 * 3.0 * 2.0 - 3.0);
        EXPECT_EQ(pts[i][1], u2 * 2.0 * 2.0 - 2.0);
    }
}

TEST(PhotonLoop, SwitchingRotationChangesOnlyTheAzimuthNotTheLaterDraws) {
    temp_dir dir;
    field_spec f;
    f.xl = 3.0;
    f.yl = 3.0;
    write_field_file(dir.file("field.pos"), f);
    engine_call a(dir), b(dir);
    for (engine_call* c : {&a, &b}) {
        c->nxphot = 20;
        c->nyphot = 1;
        c->icheck = 1;
        c->lonsun = 40.0;
    }
    a.irot = 0;
    b.irot = 1;
    a.run();
    auto la = labelled_values(a.out, "x0,y0   ");
    auto ea = labelled_values(a.out, "ex,ey,ez");
    b.run();
    auto lb = labelled_values(b.out, "x0,y0   ");
    auto eb = labelled_values(b.out, "ex,ey,ez");
    ASSERT_EQ(la.size(), 20u);
    ASSERT_EQ(lb.size(), 20u);
    EXPECT_EQ(la, lb);  // the same launch points: the rotation draw is made either way
    // Without rotation every photon comes from the Sun's azimuth; with it the
    // azimuth is shifted by pi times the photon's first draw.
    ran1_state s;
    std::int32_t seed = -1;
    ran1(s, seed);
    const double deg = 0.017453292519943295;
    for (int i = 0; i < 20; ++i) {
        double rot = std::numbers::pi * double(ran1(s, seed));
        ran1(s, seed);
        ran1(s, seed);
        EXPECT_NEAR(std::atan2(-ea[i][1], -ea[i][0]), 40.0 * deg, 1e-12);
        double az = std::atan2(-eb[i][1], -eb[i][0]);
        EXPECT_NEAR(std::remainder(az - (40.0 * deg + rot), 2.0 * std::numbers::pi), 0.0, 1e-12);
        EXPECT_EQ(ea[i][2], eb[i][2]);
    }
}

TEST(PhotonLoop, WithAlbedoOneEveryPhotonEscapesWithWeightOne) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(150, 5.0, 5.0, 0.8, 1.5, 3));
    engine_call c(dir);
    c.outfile = text80(dir.file("esc.out"));
    c.nxphot = 40;
    c.nyphot = 10;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n100000\n10000 10000\n");
    c.run();
    int scattered = 0;
    double sca_sum = 0.0;
    for (int i = 1; i <= 400; ++i) {
        ASSERT_EQ(c.totals->esc_weight[std::size_t(i - 1)], 1.0f) << "photon " << i;
        scattered += c.totals->esc_sca[std::size_t(i - 1)] > 0.0f;
        sca_sum += c.totals->esc_sca[std::size_t(i - 1)];
    }
    EXPECT_GT(scattered, 100);
    EXPECT_EQ(400 - scattered, c.ndirect);
    // Every photon made one search more than it scattered.
    EXPECT_FLOAT_EQ(float(c.iscat_mean), float(sca_sum / 400.0));
}

TEST(PhotonLoop, EscapeWeightIsTheAlbedoToThePowerOfTheScatterings) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(150, 5.0, 5.0, 0.8, 1.5, 4));
    engine_call c(dir);
    c.outfile = text80(dir.file("esc.out"));
    c.nxphot = 300;
    c.nyphot = 1;
    c.ssca_part = 0.5;
    c.run();
    for (int i = 1; i <= 300; ++i)
        ASSERT_EQ(c.totals->esc_weight[std::size_t(i - 1)], float(std::pow(0.5, double(c.totals->esc_sca[std::size_t(i - 1)])))) << i;
}

TEST(PhotonLoop, PhotonsStoppedAtMaxscatLeaveNoEscapeRecord) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(400, 5.0, 5.0, 0.8, 1.5, 5));
    engine_call c(dir);
    c.outfile = text80(dir.file("esc.out"));
    c.nxphot = 200;
    c.nyphot = 1;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n2\n10000 10000\n");
    c.run();
    int stopped = 0;
    for (int i = 1; i <= 200; ++i) {
        ASSERT_LE(c.totals->esc_sca[std::size_t(i - 1)], 1.0f);
        if (c.totals->esc_weight[std::size_t(i - 1)] == 0.0f) {
            ++stopped;
            EXPECT_EQ(c.totals->esc_sca[std::size_t(i - 1)], 0.0f);
            EXPECT_EQ(c.totals->esc_lat[std::size_t(i - 1)], 0.0f);
        }
    }
    EXPECT_GT(stopped, 0);
}

TEST(PhotonLoop, NoSearchWithMaxscatZero) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(50, 5.0, 5.0, 0.8, 1.5, 6));
    engine_call c(dir);
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n0\n10000 10000\n");
    c.run();
    EXPECT_EQ(c.ndirect, 0);
    EXPECT_EQ(c.iscat_mean, -1.0);
    EXPECT_EQ(c.testw_n[1], 0.0);
}

TEST(PhotonLoop, UnscatteredFractionMatchesStraightRaysThroughTheSameField) {
    // Grid launch: the engine's rays are the test's rays, so the counts agree
    // photon for photon (up to rays that graze a sphere).
    temp_dir dir;
    field_spec f = random_field(60, 6.0, 4.0, 0.7, 1.2, 7);
    f.sy = 1.3;
    write_field_file(dir.file("field.pos"), f);
    const double zmin = layer_zmin(f), zmax = layer_zmax(f);
    const double deg = 0.017453292519943295;
    engine_call c(dir);
    c.bsun = 35.0;
    c.lonsun = 25.0;
    c.isquare = 1;
    c.nxphot = 60;
    c.nyphot = 40;
    c.mx = c.my = 4;
    c.run();
    const double b = c.bsun * deg, l = c.lonsun * deg;
    const double ux = -std::cos(b) * std::cos(l), uy = -std::cos(b) * std::sin(l), uz = -std::sin(b);
    int free_rays = 0;
    for (int iy = 1; iy <= 40; ++iy)
        for (int ix = 1; ix <= 60; ++ix) {
            double x0 = double(2.0f * (float(ix) - 0.5f) / 60.0f) * f.xl - f.xl;
            double y0 = double(2.0f * (float(iy) - 0.5f) / 40.0f) * f.yl - f.yl;
            free_rays += line_is_free(f, zmin, zmax, x0, y0, ux, uy, uz);
        }
    EXPECT_NEAR(c.ndirect, free_rays, 1) << "engine " << c.ndirect << ", straight rays " << free_rays;
    EXPECT_GT(free_rays, 200);
    EXPECT_LT(free_rays, 2200);
}

TEST(PhotonLoop, UnscatteredFractionOfRandomLaunchIsWithinItsBinomialError) {
    temp_dir dir;
    field_spec f = random_field(200, 6.0, 6.0, 0.6, 1.5, 8);
    f.sy = -2.0;
    write_field_file(dir.file("field.pos"), f);
    const double zmin = layer_zmin(f), zmax = layer_zmax(f);
    engine_call c(dir);
    c.bsun = 50.0;
    c.lonsun = -70.0;
    c.nxphot = 100;
    c.nyphot = 50;
    c.mx = c.my = 5;
    c.run();
    const double deg = 0.017453292519943295;
    const double b = c.bsun * deg, l = c.lonsun * deg;
    const double ux = -std::cos(b) * std::cos(l), uy = -std::cos(b) * std::sin(l), uz = -std::sin(b);
    // The field's own unscattered fraction, over a fine grid of launch points.
    const int g = 200;
    int free_rays = 0;
    for (int iy = 0; iy < g; ++iy)
        for (int ix = 0; ix < g; ++ix)
            free_rays += line_is_free(f, zmin, zmax, (ix + 0.5) / g * 2.0 * f.xl - f.xl,
                                      (iy + 0.5) / g * 2.0 * f.yl - f.yl, ux, uy, uz);
    const double p = double(free_rays) / (g * g);
    const double n = 5000.0;
    const double sigma = std::sqrt(p * (1.0 - p) / n);
    EXPECT_NEAR(c.ndirect / n, p, 4.0 * sigma + 0.005);
}

// A photon moved to the centre of an edge copy (a "-center" law) and folded
// into the cell stands on the centre of the same particle's image there; the
// next search must pass over that image, not over the copy now a period away,
// which a ray leaving the particle across the cell still has to meet.
TEST(PhotonLoopFold, AfterTheFoldTheImageThePhotonIsInIsExcludedAndTheCopyIsMet) {
    fixture::reset_field();
    // Particle 1 straddles x = +xl; its copy (entry 4) at x = -2.2 reaches
    // into the cell. Particles 2 and 3, small and far from the ray, spread
    // the centres over both sides of the origin as the search grid needs.
    fixture::set_field({{0.5, 1.8, 0.0, 0.0}, {0.1, -1.0, -1.0, 0.0}, {0.1, 0.5, 1.0, 0.0}}, 2.0, 2.0, 0.0);
    ASSERT_EQ(field.npart, 4);
    ASSERT_EQ(field.xpart[4], 1.8 - 4.0);
    ran1_state unused_draws;  // the fold draws nothing
    for (bool grid : {false, true}) {
        fixture::set_grid(grid ? 4 : 1, grid ? 4 : 1);
        // Scattered at the copy's centre, then folded. (The entries are
        // named by the particles' numbers: a grid puts them in its order.)
        photon ph(1, random_draws(unused_draws), nullptr);
        ph.px = field.xpart[field.entry_of(4)];
        ph.ipart = field.entry_of(4);
        fold_after_scattering(field, ph);
        EXPECT_NEAR(ph.px, 1.8, 1e-15);
        EXPECT_EQ(field.file_number(ph.ipart), 1) << "the excluded entry must be the image the photon is in";
        // Leaving the particle toward -x, slightly upward: the copy's sphere is met at x = -1.7.
        const double ez = 0.01, ex = -std::sqrt(1.0 - ez * ez);
        std::int32_t ipart = 0;
        path_segment(field, searches, ph.px, ph.py, ph.pz, ex, 0.0, ez, ipart, search_kind::free_path,
                     ph.ipart);
        EXPECT_EQ(field.file_number(ipart), 4) << (grid ? "grid" : "no grid");
        EXPECT_NEAR(ph.px, -1.7, 0.01);
    }
    // A fold that moves nothing leaves the excluded particle alone.
    photon ph(1, random_draws(unused_draws), nullptr);
    ph.px = 0.5, ph.py = 0.5;
    ph.ipart = field.entry_of(4);
    fold_after_scattering(field, ph);
    EXPECT_EQ(field.file_number(ph.ipart), 4);
}
