#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/tab_choose.h"
#include "numeric/ran1.h"

using namespace quillet;

namespace {

struct cell_spec {
    double cx, cy, dtab;
    std::vector<int> parts;
};

// A 2 x 2 grid laid by hand (cells 1..4) over particles set by the caller,
// so that distances and disc radii are exact.
void hand_grid(const std::vector<cell_spec>& cells) {
    field.mx = 2;
    field.my = 2;
    field.size_grid();
    int next = 1;
    for (int c = 1; c <= 4; ++c) {
        const cell_spec& s = cells[std::size_t(c - 1)];
        field.cx[c] = s.cx;
        field.cy[c] = s.cy;
        field.dtab[c] = s.dtab;
        field.dtab2[c] = s.dtab * s.dtab;
        field.istart[c] = next;
        field.nlist[c] = int(s.parts.size());
        for (int k : s.parts) field.ilist[next++] = k;
    }
}

std::vector<int> choose(double x0, double y0, double z0, double ux, double uy, double uz) {
    std::int32_t npot = -1;
    tab_choose(field, searches, x0, y0, z0, ux, uy, uz, npot);
    return std::vector<int>(searches.pottab.begin() + 1, searches.pottab.begin() + 1 + npot);
}

class TabChoose : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        // Four small particles, one per cell, inside a layer from -1 to 1.
        fixture::set_field({{0.1, -2.5, -2.5, 0.0}, {0.1, 2.5, -2.5, 0.0}, {0.1, 2.5, 2.5, 0.0}, {0.1, -2.5, 2.5, 0.5}},
                           5.0, 5.0, 0.0, false);
        field.zmin = -1.0;
        field.zmax = 1.0;
        hand_grid({{-2.5, -2.5, 2.0, {1}}, {-2.5, 2.5, 2.0, {}}, {2.5, -2.5, 1.0, {2}}, {2.5, 2.5, 1.5, {3}}});
    }
};

}  // namespace

TEST_F(TabChoose, CellBehindTheStartIsAcceptedOnlyWhenTheStartLiesInItsDisc) {
    // Cell 1's centre is behind both starts (epd < 0).
    EXPECT_EQ(choose(-1.0, -2.5, 0.0, 1.0, 0.0, 0.0), std::vector<int>({1, 2}));
    EXPECT_EQ(choose(-0.4, -2.5, 0.0, 1.0, 0.0, 0.0), std::vector<int>({2}));
}

TEST_F(TabChoose, DistanceEqualToTheDiscRadiusStillPasses) {
    // Cell 3: centre (2.5, -2.5), dtab 1; a ray along +x at y = -1.5 passes at
    // exactly distance 1 (smin2 = dtab2 = 1).
    field.dtab[1] = 0.5;
    field.dtab2[1] = 0.25;
    EXPECT_EQ(choose(-4.0, -1.5, 0.0, 1.0, 0.0, 0.0), std::vector<int>({2}));
    field.dtab2[3] = std::nextafter(1.0, 0.0);
    EXPECT_EQ(choose(-4.0, -1.5, 0.0, 1.0, 0.0, 0.0), std::vector<int>());
}

TEST_F(TabChoose, CellsTheRayPassesAboveAreRejectedByHeight) {
    // Rising steeply along +x from the middle of cell 1: at cell 3's disc
    // (horizontal distance 4) it is at least 4*0.8 = 3.2 high, above 1.01*zmax.
    EXPECT_EQ(choose(-2.5, -2.0, 0.0, 0.6, 0.0, 0.8), std::vector<int>({1}));
    // Nearly level: cell 3 kept.
    EXPECT_EQ(choose(-2.5, -2.0, 0.0, 0.99, 0.0, std::sqrt(1.0 - 0.99 * 0.99)), std::vector<int>({1, 2}));
}

TEST_F(TabChoose, CandidatesComeInCellOrderThenParticleOrder) {
    hand_grid({{-2.5, -2.5, 20.0, {4, 1}}, {-2.5, 2.5, 20.0, {}}, {2.5, -2.5, 20.0, {2}}, {2.5, 2.5, 20.0, {3}}});
    EXPECT_EQ(choose(0.0, 0.0, 0.0, 0.0, 0.6, 0.8), std::vector<int>({4, 1, 2, 3}));
}

TEST_F(TabChoose, NearlyHorizontalRayAboveTheLayerAndRisingHasNoCandidatesAndIsNotCounted) {
    searches.npot_sum = 7;
    searches.ntab_calls = 3;
    const double uz = 0.01;
    EXPECT_EQ(choose(0.0, 0.0, 1.5, std::sqrt(1.0 - uz * uz), 0.0, uz), std::vector<int>());
    EXPECT_EQ(searches.npot_sum, 7);
    EXPECT_EQ(searches.ntab_calls, 3);
    // The same ray inside the layer is counted.
    std::vector<int> got = choose(0.0, -2.5, 0.0, std::sqrt(1.0 - uz * uz), 0.0, uz);
    EXPECT_EQ(searches.npot_sum, 7 + std::int64_t(got.size()));
    EXPECT_EQ(searches.ntab_calls, 4);
}

TEST_F(TabChoose, SlopeOfExactlyTwoHundredthsIsSteepAndJustBelowIsFiltered) {
    // Particle 4 sits at z = 0.5 (0.4 .. 0.6); a ray from z = 0 sweeps
    // 0 .. 40*uz = 0.8 over its run of 2*(xl + yl) = 20.
    // Put it in cell 1 and start there so the disc tests accept it.
    hand_grid({{-2.5, -2.5, 20.0, {4}}, {-2.5, 2.5, 2.0, {}}, {2.5, -2.5, 1.0, {}}, {2.5, 2.5, 1.5, {}}});
    field.zpart[4] = 1.0;  // 0.9 .. 1.1: outside the range swept by a flat ray
    field.zmax = 2.0;
    const double steep = 0.0199999995529651641845703125;  // 0.02 in single precision
    const double flat = std::nextafter(steep, 0.0);
    EXPECT_EQ(choose(-2.5, -2.5, 0.0, std::sqrt(1.0 - steep * steep), 0.0, steep), std::vector<int>({4}));
    EXPECT_EQ(choose(-2.5, -2.5, 0.0, std::sqrt(1.0 - flat * flat), 0.0, flat), std::vector<int>());
    EXPECT_EQ(searches.ztmax, 20.0 * flat);
    EXPECT_EQ(choose(-2.5, -2.5, 0.0, std::sqrt(1.0 - 0.02 * 0.02), 0.0, 0.02), std::vector<int>({4}));
    // Downward flat ray from just above the particle keeps it.
    EXPECT_EQ(choose(-2.5, -2.5, 1.2, std::sqrt(1.0 - flat * flat), 0.0, -flat), std::vector<int>({4}));
}

TEST_F(TabChoose, VerticalRayGetsEveryNonEmptyCellWhoseDiscHoldsTheStart) {
    fixture::set_field(fixture::random_spheres(400, 10.0, 10.0, 0.2, 1.0, 1.0, -21), 10.0, 10.0, 1.0);
    fixture::set_grid(8, 8);
    for (double x0 : {-9.0, -3.3, 0.0, 2.2, 9.9}) {
        for (double y0 : {-9.5, -1.0, 4.4}) {
            std::set<int> want;
            for (int c = 1; c <= 64; ++c) {
                const double dx = field.cx[c] - x0, dy = field.cy[c] - y0;
                if (field.nlist[c] > 0 && dx * dx + dy * dy <= field.dtab2[c])
                    for (int l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l)
                        want.insert(field.ilist[l]);
            }
            for (double uz : {1.0, -1.0}) {
                std::set<int> got;
                for (int k : choose(x0, y0, 0.0, 0.0, 0.0, uz)) got.insert(field.file_number(k));
                EXPECT_EQ(got, want) << x0 << " " << y0;
                EXPECT_EQ(got.size(), want.size());
            }
        }
    }
}

TEST_F(TabChoose, GridTraceShowsNonEmptyCellsInFixedFormat) {
    searches.idebug = 3;
    searches.iphot = 3;
    testing::internal::CaptureStdout();
    std::vector<int> got = choose(-2.5, -2.0, 0.0, 0.6, 0.0, 0.8);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, std::vector<int>({1}));
    const std::string want =
        "=============================================\n"
        "tab_choose: start iphot=idebug\n"
        "=============================================\n"
        "------------------------\n"
        "    tab_choose: i,cx,cy,epd,d2    1   -2.50   -2.50      0.0000      0.2500\n"
        "  tab_choose: tmin,smin2,dtab2      0.0000      0.2500      4.0000\n"
        "------------------------\n"
        "    tab_choose: i,cx,cy,epd,d2    3    2.50   -2.50      5.0000     25.2500\n"
        "  tab_choose: tmin,smin2,dtab2      5.0000      0.2500      1.0000\n"
        "tab_choose: 3.2 1.0 -1.0\n"
        "tab_choose: zpot -> goto10\n"
        "------------------------\n"
        "    tab_choose: i,cx,cy,epd,d2    4    2.50    2.50      5.0000     45.2500\n"
        "  tab_choose: tmin,smin2,dtab2      5.0000     20.2500      2.2500\n"
        "tab_choose; smin2>dtab2 -> goto10\n"
        "=============================================\n"
        "tab_choose: end iphot=idebug\n"
        "=============================================\n";
    EXPECT_EQ(out, want);
}

TEST_F(TabChoose, GridTraceOnlyForTheTracedPhoton) {
    searches.idebug = 3;
    searches.iphot = 4;
    testing::internal::CaptureStdout();
    choose(-2.5, -2.0, 0.0, 0.6, 0.0, 0.8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    searches.idebug = 0;
    searches.iphot = 0;  // idebug 0 is "off", even before the first photon
    testing::internal::CaptureStdout();
    choose(-2.5, -2.0, 0.0, 0.6, 0.0, 0.8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(TabChooseBand, WalkingTheCellsNearTheRayGivesTheListOfTheFullPass) {
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(3000, 30.0, 20.0, 0.2, 1.5, 2.0, -31), 30.0, 20.0, 9.0, true,
                       fixture::random_spheres(500, 30.0, 20.0, 0.01, 0.05, 3.0, -32));
    ran1_state st;
    std::int32_t idum = -33;
    auto u = [&] { return double(ran1(st, idum)); };
    for (auto [mx, my] : {std::pair{40, 27}, std::pair{2, 2}, std::pair{3, 60}, std::pair{100, 100}}) {
        fixture::set_grid(mx, my);
        const grid_layout_t layout = field.layout;
        ASSERT_GT(layout.dtab_max, 0.0);
        std::int64_t walked = 0;
        for (int i = 0; i < 3000; ++i) {
            const double x0 = 30.0 * (2.0 * u() - 1.0), y0 = 20.0 * (2.0 * u() - 1.0), z0 = 4.0 * (2.0 * u() - 1.0);
            double uz = 2.0 * u() - 1.0;
            if (i % 4 == 0) uz *= 0.02;               // nearly horizontal
            const double phi = 6.283185307179586 * u();
            double ux = std::sqrt(1.0 - uz * uz) * std::cos(phi), uy = std::sqrt(1.0 - uz * uz) * std::sin(phi);
            if (i % 50 == 1) ux = 0.0, uy = std::copysign(std::sqrt(1.0 - uz * uz), uy);  // along y
            if (i % 50 == 2) uy = 0.0, ux = std::copysign(std::sqrt(1.0 - uz * uz), ux);  // along x
            if (i % 50 == 3) ux = uy = 0.0, uz = std::copysign(1.0, uz);                 // vertical
            field.layout = layout;
            std::vector<int> band = choose(x0, y0, z0, ux, uy, uz);
            field.layout.dtab_max = 0.0;
            std::vector<int> full = choose(x0, y0, z0, ux, uy, uz);
            ASSERT_EQ(band, full) << "grid " << mx << " x " << my << ", ray " << i;
            walked += std::int64_t(full.size());
        }
        EXPECT_GT(walked, 3000);
        field.layout = layout;
    }
}
