#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/path_slice.h"
#include "trace/trace_records.h"

using namespace quillet;
using fixture::sphere;

namespace {

struct slice_result {
    std::int32_t ipart;
    double tmin;
};

slice_result slice(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t mode = 1,
                   std::int32_t excluded = no_particle) {
    slice_result r{0, 0.0};
    // The field's entries named by the particles' numbers (a grid puts the
    // entries in its own order).
    path_slice(field, searches, x0, y0, z0, ux, uy, uz, r.ipart, r.tmin, search_kind(mode),
               excluded >= 1 ? field.entry_of(excluded) : excluded);
    r.ipart = field.file_number(r.ipart);
    return r;
}

class PathSlice : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        fixture::set_field({}, 5.0, 5.0, 0.0);
    }
};

}  // namespace

TEST_F(PathSlice, EmptyCellRaysEndOnTheWallTheyMeetFirst) {
    slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(r.ipart, -1);
    EXPECT_EQ(r.tmin, 5.0);
    r = slice(1.0, 0.0, 0.0, -1.0, 0.0, 0.0);
    EXPECT_EQ(r.ipart, -2);
    EXPECT_EQ(r.tmin, 6.0);
    r = slice(0.0, 1.0, 0.0, 0.0, 0.8, 0.6);
    EXPECT_EQ(r.ipart, -3);
    EXPECT_DOUBLE_EQ(r.tmin, 4.0 / 0.8);
    r = slice(0.0, 1.0, 0.0, 0.0, -0.6, 0.8);
    EXPECT_EQ(r.ipart, -4);
    EXPECT_DOUBLE_EQ(r.tmin, 6.0 / 0.6);
    // On the diagonal of a square cell the x wall wins the tie.
    const double d = std::sqrt(0.5);
    r = slice(0.0, 0.0, 0.0, d, d, 0.0);
    EXPECT_EQ(r.ipart, -1);
    EXPECT_EQ(r.tmin, 5.0 * (1.0 / d));
    r = slice(0.0, 0.0, 0.0, -d, -d, 0.0);
    EXPECT_EQ(r.ipart, -2);
    // A vertical ray meets no wall: code -1 at 10^6.
    r = slice(0.0, 0.0, 0.0, 0.0, 0.0, 1.0);
    EXPECT_EQ(r.ipart, -1);
    EXPECT_EQ(r.tmin, 1.0e6);
    EXPECT_EQ(searches.twall[1], 1.0e6);
}

TEST_F(PathSlice, GrazingRayFindsTheSphereAtTheTouchingPoint) {
    fixture::set_field({{1.0, 3.0, 1.0, 0.0}}, 5.0, 5.0, 0.0);
    slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0);  // disc = 9 - 10 + 1 = 0
    EXPECT_EQ(r.ipart, 1);
    EXPECT_EQ(r.tmin, 3.0);
}

TEST_F(PathSlice, NearestModeKeepsTheEarlierOfTwoEqualHits) {
    fixture::set_field({{1.0, 3.0, 0.5, 0.0}, {1.0, 3.0, -0.5, 0.0}}, 5.0, 5.0, 0.0);
    for (std::int32_t mode : {0, 1}) {
        slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, mode);
        EXPECT_EQ(r.ipart, 1);
        EXPECT_DOUBLE_EQ(r.tmin, 3.0 - std::sqrt(0.75));
    }
}

TEST_F(PathSlice, OcclusionModeTakesTheFirstCandidateHitEvenIfAnotherIsNearer) {
    fixture::set_field({{1.0, 4.0, 0.0, 0.0}, {1.0, 2.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    for (std::int32_t mode : {2, 3}) {
        slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, mode);
        EXPECT_EQ(r.ipart, 1);
        EXPECT_EQ(r.tmin, 3.0);
    }
    slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1);
    EXPECT_EQ(r.ipart, 2);
    EXPECT_EQ(r.tmin, 1.0);
}

TEST_F(PathSlice, ExcludedParticleIsSkipped) {
    fixture::set_field({{1.0, 4.0, 0.0, 0.0}, {1.0, 2.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    EXPECT_EQ(slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 2).ipart, 1);
}

TEST_F(PathSlice, RayFromAParticleSurfaceNeverFindsThatParticle) {
    // Particle 1 at the origin with radius 1; starts on its surface, not excluded.
    fixture::set_field({{1.0, 0.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    const double s = std::sqrt(1.0 / 3.0);
    const double starts[][3] = {{1.0, 0.0, 0.0}, {0.0, -1.0, 0.0}, {s, s, s}, {0.6, 0.0, 0.8}};
    for (auto& p : starts) {
        for (double sign : {1.0, -1.0}) {  // outward, and straight inward
            for (std::int32_t mode : {0, 1, 2}) {
                slice_result r = slice(p[0], p[1], p[2], sign * p[0], sign * p[1], sign * p[2], mode);
                EXPECT_LT(r.ipart, 0) << p[0] << " " << p[1] << " " << p[2] << " sign " << sign;
            }
        }
    }
}

TEST_F(PathSlice, HitsCloserThanABillionthOfTheRadiusCountAsNoneFromAScatteringPoint) {
    // The start is a scattering point (particle 2, far away, is the one
    // excluded): an entry within 1e-9 of the radius is its own surface.
    fixture::set_field({{1.0, 2.0, 0.0, 0.0}, {1.0, -3.0, 3.0, 0.0}}, 5.0, 5.0, 0.0);
    EXPECT_EQ(slice(1.0 - 0.5e-9, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 2).ipart, -1);
    slice_result r = slice(1.0 - 2e-9, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 2);
    EXPECT_EQ(r.ipart, 1);
    EXPECT_NEAR(r.tmin, 2e-9, 1e-15);
    // From any other point (a wall, a launch) the start lies off the sphere
    // by far more than rounding: the entry is met.
    r = slice(1.0 - 0.5e-9, 0.0, 0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(r.ipart, 1);
    EXPECT_NEAR(r.tmin, 0.5e-9, 1e-15);
}

TEST_F(PathSlice, MixedGridSearchesNoParticles) {
    fixture::set_field({{1.0, 2.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    field.mx = 1;
    field.my = 4;
    EXPECT_EQ(slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0).ipart, -1);
    field.mx = 4;
    field.my = 1;
    EXPECT_EQ(slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0).ipart, -1);
}

TEST_F(PathSlice, GridAndFullSearchAgreeOnASimpleField) {
    fixture::set_field({{1.0, 2.0, 0.0, 0.0}, {0.5, -3.0, -3.0, 0.0}, {0.5, 3.0, 3.0, 0.2}}, 5.0, 5.0, 0.0);
    fixture::set_grid(3, 3);
    slice_result r = slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(r.ipart, 1);
    EXPECT_EQ(r.tmin, 1.0);
    r = slice(0.0, 0.0, 0.0, -std::sqrt(0.5), -std::sqrt(0.5), 0.0);
    EXPECT_EQ(r.ipart, 2);
}

TEST_F(PathSlice, PrintsHitAndEdgeLinesOnlyForPhotonPathsWithTraces) {
    fixture::set_field({{1.0, 3.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    searches.settings.icheck = 1;
    searches.iphot = 12;
    testing::internal::CaptureStdout();
    slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1);
    slice(0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1);
    slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0);
    slice(0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "slice_hit: ipart,tmin 1 2.0\nslice_edge: ipart,tmin -2 5.0\n");
    // A start outside the cell gives a negative wall distance, reported always.
    searches.settings.icheck = 0;
    testing::internal::CaptureStdout();
    slice(6.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "slice_edge: tmin<0 -1.0 12\n");
}

TEST_F(PathSlice, DebugTraceGoesToTheTraceFileNamedByTheImagePrefix) {
    fixture::set_field({{1.0, 3.0, 0.5, 0.0}, {0.5, -3.0, -0.5, 0.0}}, 5.0, 5.0, 0.0);
    const std::string prefix = fixture::scratch_path("traced");
    searches.trace_prefix = prefix;
    searches.iphot = 7;
    searches.iscat = 2;
    searches.ibox = 1;
    searches.idebug = 1;
    testing::internal::CaptureStdout();
    slice(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 2);
    fixture::set_grid(2, 2);
    slice(0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 2);
    close_slice_trace(searches);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::ifstream in(prefix + ".TRACE");
    ASSERT_TRUE(in.good());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string rule(46, '-');
    // Second search: the grid offers both particles (cells 1 and 4 hold
    // particles 2 and 1); the ray along +y meets neither.
    std::vector<std::string> want = {rule, "7 2 1 1", rule, "0.0 0.0 0.0", "1.0 0.0 0.0",
                                     "2 1 " + free_format(3.0 - std::sqrt(0.75)), "0",
                                     rule, "7 2 1 2", rule, "0.0 0.0 0.0", "0.0 1.0 0.0", "-999 -3 5.0", "2", "2 1"};
    EXPECT_EQ(lines, want);
    close_slice_trace(searches);  // closing twice is harmless
}
