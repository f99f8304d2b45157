// The peel-off: its accumulators agree with each other, every contribution
// is counted once, the visibility test can be switched off, the first
// scattering's reversed path is checked, and single scattering in a sparse
// layer gives the classical reflectance.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "engine/engine_records.h"
#include "support/engine_fixture.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

int count_lines(const std::string& out, const std::string& prefix) {
    std::istringstream in(out);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.rfind(prefix, 0) == 0;
    return n;
}

// A run of several directions through a field of ring and haze particles.
void set_three_directions(engine_call& c) {
    c.ntest = 3;
    c.set_direction(1, 30.0, 60.0);
    c.set_direction(2, 70.0, 200.0);
    c.set_direction(3, -40.0, 10.0);  // below the ring plane: transmitted light
}

}  // namespace

TEST(PeelOff, OrderSumsAndRingHazeSumsEachAddUpToTestw) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(200, 5.0, 5.0, 0.8, 1.5, 11));
    write_field_file(dir.file("haze.pos"), random_field(300, 5.0, 5.0, 0.2, 2.5, 12));
    engine_call c(dir);
    c.posfile_haze = text80(dir.file("haze.pos"));
    c.method = 3;  // HG, centre
    c.ppar1 = 0.3;
    c.method_haze = 4;
    c.ppar1_haze = -0.2;
    c.ssca_part = 0.9;
    c.ssca_haze = 0.95;
    c.nxphot = 300;
    c.nyphot = 1;
    set_three_directions(c);
    c.run();
    for (int k = 1; k <= 3; ++k) {
        double orders = 0.0, kinds = 0.0;
        for (int o = 1; o <= max_order; ++o) orders += c.w_order[o][k];
        for (int ih = 0; ih <= max_haze_count; ++ih)
            for (int ir = 0; ir <= max_ring_count; ++ir) kinds += c.w_haze[ih][ir][k];
        ASSERT_GT(c.testw[k], 0.0);
        EXPECT_NEAR(orders, c.testw[k], 1e-12 * c.testw[k]) << k;
        EXPECT_NEAR(kinds, c.testw[k], 1e-12 * c.testw[k]) << k;
        // No contribution without at least one scattering.
        EXPECT_EQ(c.w_haze[0][0][k], 0.0);
    }
    // Both kinds of particles scattered light toward direction 1.
    double haze_only = 0.0, ring_only = 0.0;
    for (int ih = 1; ih <= max_haze_count; ++ih) haze_only += c.w_haze[ih][0][1];
    for (int ir = 1; ir <= max_ring_count; ++ir) ring_only += c.w_haze[0][ir][1];
    EXPECT_GT(haze_only, 0.0);
    EXPECT_GT(ring_only, 0.0);
}

TEST(PeelOff, TallyCountsExactlyTheVisibleContributions) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(200, 5.0, 5.0, 0.8, 1.5, 13));
    engine_call c(dir);
    c.method = 12;  // Lambert sphere, from the hit point
    c.nxphot = 60;
    c.nyphot = 1;
    c.icheck = 1;
    set_three_directions(c);
    c.run();
    // With icheck >= 1 the peel-off reports every test; "ishadow" <= 0 is a
    // visible point, and only those are counted.
    std::istringstream in(c.out);
    std::string line;
    const std::string label = "indirect: ishadow,iscat ";
    int visible = 0, tests = 0;
    while (std::getline(in, line)) {
        if (line.rfind(label, 0) != 0) continue;
        ++tests;
        visible += std::stoi(line.substr(label.size())) <= 0;
    }
    double tally = c.testw_n[1] + c.testw_n[2] + c.testw_n[3];
    EXPECT_EQ(tally, double(visible));
    EXPECT_GT(tests, visible);  // some points were hidden
    EXPECT_GT(visible, 0);
}

TEST(PeelOff, WithoutVisibilityTestEveryScatteringContributesToEveryDirection) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(200, 5.0, 5.0, 0.8, 1.5, 14));
    engine_call c(dir);
    c.outfile = text80(dir.file("esc.out"));
    c.method = 2;  // isotropic: phasef = 1/4 whatever the angle
    c.nxphot = 200;
    c.nyphot = 1;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n100000\n10000 0\n");
    set_three_directions(c);
    c.run();
    double scatterings = 0.0;
    for (int i = 1; i <= 200; ++i) scatterings += c.totals->esc_sca[std::size_t(i - 1)];
    ASSERT_GT(scatterings, 100.0);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(c.testw_n[k], scatterings);
        // Albedo 1: each contribution is weight 1 times 1/4.
        EXPECT_NEAR(c.testw[k], 0.25 * scatterings, 1e-9 * scatterings);
    }
}

TEST(PeelOff, BlockedReversedPathOfAFirstScatteringIsReportedAndStillContributes) {
    // A single sphere in a small cell, lit at a grazing angle: the photon is
    // moved to the centre ("-center" law), and the way back toward the Sun
    // from there meets the periodic copy one cell over.
    temp_dir dir;
    field_spec f;
    f.xl = f.yl = 2.0;
    f.particles.push_back({1.0, 0.0, 0.0, 0.0});
    write_field_file(dir.file("field.pos"), f);
    engine_call c(dir);
    c.bsun = 5.0;
    c.lonsun = 0.0;
    c.method = 3;
    c.ppar1 = 0.0;
    c.nxphot = 50;
    c.nyphot = 1;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n1\n10000 10000\n");
    c.ntest = 2;
    c.set_direction(1, 80.0, 0.0);
    c.set_direction(2, 60.0, 90.0);
    c.run();
    int first_scatterings = 50 - c.ndirect;
    ASSERT_GT(first_scatterings, 0);
    // Three lines per direction tested.
    EXPECT_EQ(count_lines(c.out, "IVIS3: ipart,ishadow_check ="), 2 * first_scatterings);
    EXPECT_EQ(count_lines(c.out, "IVIS3:  iphot="), 2 * first_scatterings);
    EXPECT_GT(c.testw_n[1], 0.0);
}

TEST(PeelOff, SingleScatteringOfASparseLayerGivesTheClassicalReflectance) {
    // Isotropic scatterers (P = 1) in a thick, sparse layer: the first-order
    // light toward (mu) from a Sun at (mu0), per photon, is
    // (P/4) * mu/(mu + mu0) * (1 - exp(-tau (1/mu + 1/mu0))).
    temp_dir dir;
    const int n = 320;
    const double xl = 50.0, r = 1.0;
    field_spec f = random_field(n, xl, xl, r, 49.0, 15);
    write_field_file(dir.file("field.pos"), f);
    engine_call c(dir);
    c.method = 2;
    c.bsun = 40.0;
    c.nxphot = 200;
    c.nyphot = 100;
    c.mx = c.my = 10;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n1\n10000 10000\n");
    c.ntest = 2;
    c.set_direction(1, 60.0, 90.0);
    c.set_direction(2, 25.0, 150.0);
    c.run();
    const double tau = n * 3.141592653589793 * r * r / (4.0 * xl * xl);
    EXPECT_NEAR(c.tau, tau, 1e-12);
    const double mu0 = std::sin(40.0 * 0.017453292519943295);
    for (int k = 1; k <= 2; ++k) {
        double mu = std::sin(c.latobs[k] * 0.017453292519943295);
        double expected = 0.25 * mu / (mu + mu0) * (1.0 - std::exp(-tau * (1.0 / mu + 1.0 / mu0)));
        double got = c.testw[k] / 20000.0;
        double sigma = c.testd_corr[k] / 20000.0;
        ASSERT_GT(sigma, 0.0);
        // Statistical error of the run plus a few percent for this one field.
        EXPECT_NEAR(got, expected, 4.0 * sigma + 0.05 * expected) << "direction " << k;
    }
}

TEST(PeelOff, LambertElementSeesNoBackFacesAndOrdersBeyondFiftyShareTheLastSlot) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(900, 4.0, 4.0, 0.5, 3.0, 16));
    engine_call c(dir);
    c.method = 1;
    c.nxphot = 100;
    c.nyphot = 1;
    c.bsun = 80.0;
    c.parfile = text80(dir.file("par"));
    write_text_file(dir.file("par"), "1.0\n400\n10000 0\n");
    c.outfile = text80(dir.file("esc.out"));
    c.run();
    double scatterings = 0.0, beyond = 0.0;
    for (int i = 1; i <= 100; ++i) {
        scatterings += c.totals->esc_sca[std::size_t(i - 1)];
        if (c.totals->esc_sca[std::size_t(i - 1)] >= 50.0f) beyond += c.totals->esc_sca[std::size_t(i - 1)] - 49.0f;
    }
    // Lambert element: only the half of the normals that face the observer count.
    EXPECT_LT(c.testw_n[1], scatterings);
    EXPECT_GT(c.testw_n[1], 0.0);
    double orders = 0.0;
    for (int o = 1; o <= max_order; ++o) orders += c.w_order[o][1];
    EXPECT_NEAR(orders, c.testw[1], 1e-12 * c.testw[1]);
    ASSERT_GT(beyond, 0.0);  // some photons scattered more than 50 times
    EXPECT_GT(c.w_order[max_order][1], 0.0);
}

TEST(PeelOff, ShadowPacketAndDirectionByDirectionTestsGiveTheSameSums) {
    // With per-photon traces (icheck 1) the peel-off folds and searches each
    // direction in its turn; without them it runs the shadow tests of a
    // scattering as one packet. Every sum must be the same bits, for a law
    // that scatters at the hit point and one that moves to the centre, with
    // and without the fold after each scattering (emulation code 2), on a
    // grid and without one.
    for (std::int32_t method : {4, 3}) {
        for (std::int32_t iemulate : {0, 2}) {
            for (std::int32_t grid : {1, 4}) {
                temp_dir dir;
                write_field_file(dir.file("field.pos"), random_field(200, 5.0, 5.0, 0.8, 1.5, 17));
                double testw[2][4] = {}, testw_n[2][4] = {}, order1[2][4] = {};
                for (int traced = 0; traced <= 1; ++traced) {
                    engine_call c(dir);
                    c.method = method;
                    c.ppar1 = -0.3;
                    c.iemulate = iemulate;
                    c.irot = 1;  // the directions turn from photon to photon
                    c.mx = grid;
                    c.my = grid;
                    c.nxphot = 200;
                    c.nyphot = 1;
                    c.icheck = traced;
                    set_three_directions(c);
                    c.run();
                    for (int k = 1; k <= 3; ++k) {
                        testw[traced][k] = c.testw[k];
                        testw_n[traced][k] = c.testw_n[k];
                        order1[traced][k] = c.w_order[1][k];
                    }
                }
                for (int k = 1; k <= 3; ++k) {
                    ASSERT_GT(testw_n[0][k], 0.0);
                    EXPECT_EQ(testw[0][k], testw[1][k]) << method << " " << iemulate << " " << grid << " " << k;
                    EXPECT_EQ(testw_n[0][k], testw_n[1][k]) << method << " " << iemulate << " " << grid << " " << k;
                    EXPECT_EQ(order1[0][k], order1[1][k]) << method << " " << iemulate << " " << grid << " " << k;
                }
            }
        }
    }
}
