#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/path_segment.h"
#include "trace/trace_records.h"

using namespace quillet;

namespace {

struct segment_end {
    double x, y, z;
    std::int32_t ipart;
};

segment_end segment(double x, double y, double z, double ux, double uy, double uz, std::int32_t mode = 1,
                    std::int32_t excluded = no_particle) {
    segment_end e{x, y, z, 12345};
    path_segment(field, searches, e.x, e.y, e.z, ux, uy, uz, e.ipart, search_kind(mode), excluded);
    return e;
}

// An empty 10 x 10 cell with shear 2 and a layer from -1 to 1.
class PathSegment : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        fixture::set_field({}, 5.0, 5.0, 2.0);
        field.zmin = -1.0;
        field.zmax = 1.0;
    }
};

}  // namespace

TEST_F(PathSegment, NoBoxAllowedLeavesEverythingButCountsThePhotonPath) {
    searches.settings.nbox = 0;
    segment_end e = segment(1.0, 2.0, 0.5, 1.0, 0.0, 0.0, 1, 17);
    EXPECT_EQ(e.ipart, 0);
    EXPECT_EQ(e.x, 1.0);
    EXPECT_EQ(e.y, 2.0);
    EXPECT_EQ(e.z, 0.5);
    EXPECT_EQ(searches.nseg_calls, 1);
    EXPECT_EQ(searches.nbox_sum, 0);
    // The occlusion limit is nboxvis.
    searches.settings.nbox = 5;
    searches.settings.nboxvis = 0;
    EXPECT_EQ(segment(1.0, 2.0, 0.5, 1.0, 0.0, 0.0, 2).ipart, 0);
    EXPECT_EQ(searches.nseg_calls, 1);
}

TEST_F(PathSegment, CrossingPlusXReentersAtMinusXWithYLoweredByTheShear) {
    searches.settings.nbox = 1;
    segment_end e = segment(0.0, -4.0, 0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(e.ipart, -1);
    EXPECT_EQ(e.x, -5.0);
    EXPECT_EQ(e.y, 4.0);  // -4 - 2 = -6, folded back by one period
    EXPECT_EQ(e.z, 0.0);
    e = segment(0.0, 1.0, 0.0, 1.0, 0.0, 0.0);
    EXPECT_EQ(e.y, -1.0);
}

TEST_F(PathSegment, CrossingMinusXReentersAtPlusXWithYRaisedByTheShear) {
    searches.settings.nbox = 1;
    segment_end e = segment(0.0, 4.0, 0.0, -1.0, 0.0, 0.0);
    EXPECT_EQ(e.ipart, -2);
    EXPECT_EQ(e.x, 5.0);
    EXPECT_EQ(e.y, -4.0);  // 4 + 2 = 6, folded
}

TEST_F(PathSegment, CrossingYWallsShiftsByOnePeriod) {
    searches.settings.nbox = 1;
    segment_end e = segment(1.0, 0.0, 0.0, 0.0, 1.0, 0.0);
    EXPECT_EQ(e.ipart, -3);
    EXPECT_EQ(e.y, -5.0);
    EXPECT_EQ(e.x, 1.0);
    e = segment(1.0, 0.0, 0.0, 0.0, -1.0, 0.0);
    EXPECT_EQ(e.ipart, -4);
    EXPECT_EQ(e.y, 5.0);
}

TEST_F(PathSegment, BoxLimitStopsAHorizontalRayBackInsideTheCell) {
    searches.settings.nbox = 3;
    segment_end e = segment(0.0, 0.0, 0.0, 0.8, 0.6, 0.0, 1, 4);
    EXPECT_LT(e.ipart, 0);
    EXPECT_LE(std::fabs(e.x), 5.0);
    EXPECT_LE(std::fabs(e.y), 5.0);
    EXPECT_EQ(searches.nbox_sum, 3);
    EXPECT_EQ(searches.nseg_calls, 1);
    EXPECT_EQ(searches.ibox, 3);
}

TEST_F(PathSegment, RayStartingAtTheTopGoingUpStopsAfterTheFirstBox) {
    segment_end e = segment(0.0, 0.0, 1.0, 0.6, 0.0, 0.8);
    EXPECT_EQ(e.ipart, -1);
    EXPECT_EQ(e.x, 5.0);          // moved to the wall, not across it
    EXPECT_DOUBLE_EQ(e.z, 1.0 + (5.0 / 0.6) * 0.8);
    EXPECT_EQ(searches.nbox_sum, 1);
}

TEST_F(PathSegment, RisingRayCrossesBoxesUntilItIsAboveTheLayer) {
    // Rises 0.3 per box of length 10 in x: from z = 0 it needs 4 boxes to pass 1.
    const double uz = 0.03 / std::sqrt(1.0 + 0.03 * 0.03), ux = std::sqrt(1.0 - uz * uz);
    segment_end e = segment(-5.0, 0.0, 0.0, ux, 0.0, uz);
    EXPECT_EQ(e.ipart, -1);
    EXPECT_EQ(searches.nbox_sum, 4);
    EXPECT_GT(e.z, 1.0);
    EXPECT_EQ(e.x, 5.0);
    EXPECT_NEAR(e.y, 0.0 - 3 * 2.0 + 10.0, 1e-12);  // three shifts of -2, one fold
}

TEST_F(PathSegment, VerticalRayEndsAMillionUnitsAway) {
    segment_end e = segment(1.0, 2.0, 0.0, 0.0, 0.0, -1.0);
    EXPECT_EQ(e.ipart, -1);
    EXPECT_EQ(e.z, -1.0e6);
    EXPECT_EQ(e.x, 1.0);
}

TEST_F(PathSegment, ParticleMetInALaterBoxEndsTheSearchOnItsSurface) {
    fixture::set_field({{1.0, 0.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    // Start on particle 1's surface going +x: the periodic copy of particle 1
    // one box further on is particle 1 itself, met from its -x side.
    segment_end e = segment(1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 1);
    EXPECT_EQ(e.ipart, 1);
    EXPECT_EQ(e.x, -1.0);
    EXPECT_EQ(searches.nbox_sum, 2);
}

TEST_F(PathSegment, ExcludedParticleIsSkippedInTheFirstBoxOnly) {
    // Particle 1 on the ray ahead, excluded: found only in the next box.
    fixture::set_field({{1.0, 3.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    segment_end e = segment(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1, 1);
    EXPECT_EQ(e.ipart, 1);
    EXPECT_EQ(e.x, 2.0);
    EXPECT_EQ(searches.nbox_sum, 2);
}

TEST_F(PathSegment, OcclusionModeStopsAtTheFirstCandidateHit) {
    fixture::set_field({{0.5, 4.0, 0.0, 0.0}, {0.5, 2.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    segment_end e = segment(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 2);
    EXPECT_EQ(e.ipart, 1);
    EXPECT_EQ(e.x, 3.5);
    EXPECT_EQ(searches.nseg_calls, 0);
    EXPECT_EQ(searches.nbox_sum, 0);
    e = segment(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1);
    EXPECT_EQ(e.ipart, 2);
    EXPECT_EQ(e.x, 1.5);
}

TEST_F(PathSegment, PrintsEachBoxEndForPhotonPathsWithTraces) {
    searches.settings.icheck = 1;
    searches.settings.nbox = 2;
    testing::internal::CaptureStdout();
    segment(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    segment(0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "slice_edge: ipart,tmin -1 5.0\nseg: px,py,pz 5.0 0.0 0.0\n"
              "slice_edge: ipart,tmin -1 10.0\nseg: px,py,pz 5.0 -2.0 0.0\n");
}
