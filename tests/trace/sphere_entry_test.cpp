// The self-hit rule of the sphere test: a search passes over a sphere only when
// its start point lies on it (within the start point's rounding) or inside it.
// A sphere entered just beyond a cell wall, closer to the wall than the
// self-hit distance, must be met in the next box, by the straightforward scan,
// by the grid list and by the cell walk alike, whichever wall the ray crosses.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "field/field_records.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/sphere_entry.h"
#include "trace/trace_records.h"

using namespace quillet;
using fixture::sphere;

namespace {

// Gap between a wall and the surface of the sphere just beyond it: well
// below the self-hit distance 1e-9 r, far above the rounding of positions.
constexpr double gap = 2.0e-10;

struct wall_case {
    const char* wall;
    double x, y, z, ux, uy, uz;  // start of the ray in the central cell
    std::int32_t sphere;         // the sphere beyond the wall (1-based)
    double ex, ey;               // where the ray enters it, in the next box
};

// Cell 2L x 2L with shear sy; four unit spheres, each with its surface `gap`
// beyond one wall as the ray crossing that wall sees it.
std::vector<wall_case> wall_field(double L, double sy) {
    fixture::reset_field();
    const std::vector<sphere> p = {
        {1.0, -L + 1.0 + gap, 0.3, 0.0},   // 1: beyond x = +L (entered at x = -L after the crossing)
        {1.0, L - 1.0 - gap, -2.0, 0.0},   // 2: beyond x = -L
        {1.0, 2.0, -L + 1.0 + gap, 0.0},   // 3: beyond y = +L
        {1.0, -2.0, L - 1.0 - gap, 0.0},   // 4: beyond y = -L
    };
    fixture::set_field(p, L, L, sy);
    // Crossing x = +L lowers y by sy, crossing x = -L raises it.
    return {
        {"x = +xl", 0.0, 0.3 + sy, 0.0, 1.0, 0.0, 0.0, 1, -L + gap, 0.3},
        {"x = -xl", 0.0, -2.0 - sy, 0.0, -1.0, 0.0, 0.0, 2, L - gap, -2.0},
        {"y = +yl", 2.0, 0.0, 0.0, 0.0, 1.0, 0.0, 3, 2.0, -L + gap},
        {"y = -yl", -2.0, 0.0, 0.0, 0.0, -1.0, 0.0, 4, -2.0, L - gap},
    };
}

void expect_met_beyond_wall(const std::vector<wall_case>& cases, double L, const char* search) {
    for (const wall_case& c : cases) {
        for (std::int32_t mode : {0, 1, 2}) {
            const std::int64_t boxes = searches.nbox_sum;
            double x = c.x, y = c.y, z = c.z;
            std::int32_t ipart = 0;
            path_segment(field, searches, x, y, z, c.ux, c.uy, c.uz, ipart, search_kind(mode), no_particle);
            EXPECT_EQ(field.file_number(ipart), c.sphere) << search << ", wall " << c.wall << ", mode " << mode;
            // On the sphere's surface, gap beyond the wall of the next box.
            EXPECT_NEAR(x, c.ex, 1e-12 * L) << search << ", wall " << c.wall << ", mode " << mode;
            EXPECT_NEAR(y, c.ey, 1e-12 * L) << search << ", wall " << c.wall << ", mode " << mode;
            EXPECT_EQ(z, 0.0);
            if (mode == 1) {
                EXPECT_EQ(searches.nbox_sum - boxes, 2) << search << ", wall " << c.wall;
            }
        }
    }
}

void expect_met_by_every_search(double L, double sy) {
    const std::vector<wall_case> cases = wall_field(L, sy);
    fixture::set_grid(1, 1);
    expect_met_beyond_wall(cases, L, "every particle");
    fixture::set_grid(4, 4);
    searches.settings.full_scan = true;
    expect_met_beyond_wall(cases, L, "grid list");
    searches.settings.full_scan = false;
    expect_met_beyond_wall(cases, L, "cell walk");
}

}  // namespace

TEST(SelfHit, SphereEnteredJustBeyondAWallIsMetInTheNextBox) {
    expect_met_by_every_search(5.0, 1.3);
}

TEST(SelfHit, SphereEnteredJustBeyondAWallIsMetInALargeShearedCell) {
    // Coordinates of 125 carry rounding of about 3e-14: still far below the gap.
    expect_met_by_every_search(125.3314, 41.7);
}

TEST(SelfHit, SphereTestFromAWallPointMeetsASurfaceJustAhead) {
    // Start 2e-10 in front of a unit sphere, heading at its centre.
    const double x0 = -1.0 - gap;
    const double reach = start_reach(false, x0, 0.0, 0.0);
    const double t = sphere_entry<false>(0.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0, reach);
    EXPECT_NEAR(t, gap, 1e-16);
    // From a scattering point the same entry is the particle's own surface,
    // whether told by the unlimited reach or by the scattering start's test.
    const double from_scattering = start_reach(true, x0, 0.0, 0.0);
    EXPECT_LE(sphere_entry<false>(0.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0, from_scattering), 0.0);
    EXPECT_LE(sphere_entry<true>(0.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0), 0.0);
    // A sphere further ahead is met at the same distance by both.
    EXPECT_EQ(sphere_entry<true>(2.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0),
              sphere_entry<false>(2.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0, reach));
    EXPECT_NEAR(sphere_entry<true>(2.0, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0), 2.0 + gap, 1e-15);
}

TEST(SelfHit, SphereTestPassesOverASurfaceWithinRoundingOfTheStart) {
    // A start point that rounding leaves 4 ulps outside a sphere of radius 1
    // centred 100 away (the position of a periodic copy, say) lies on it.
    const double cx = 100.0;
    const double x0 = std::nextafter(std::nextafter(std::nextafter(std::nextafter(cx - 1.0, 0.0), 0.0), 0.0), 0.0);
    ASSERT_LT(x0, cx - 1.0);
    const double reach = start_reach(false, x0, 0.0, 0.0);
    EXPECT_LE(sphere_entry<false>(cx, 0.0, 0.0, 1.0, 1.0, x0, 0.0, 0.0, 1.0, 0.0, 0.0, reach), 0.0);
    // A start inside is passed over however the reach is set.
    EXPECT_LE(sphere_entry<false>(0.0, 0.0, 0.0, 1.0, 1.0, -0.5, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0), 0.0);
    EXPECT_LE(sphere_entry<true>(0.0, 0.0, 0.0, 1.0, 1.0, -0.5, 0.0, 0.0, 1.0, 0.0, 0.0), 0.0);
}

TEST(SelfHit, RayFromAScatteringPointStillSkipsEntriesWithinTheSelfHitDistance) {
    // The start is a scattering point on particle 1 (excluded); particle 2's
    // surface lies 2e-10 ahead: with the start known only to about 1e-9 of a
    // radius, that entry is taken to be the start point and passed over, as
    // before; a ray from the same point with nothing excluded meets it.
    fixture::reset_field();
    fixture::set_field({{1.0, 0.0, 0.0, 0.0}, {1.0, 2.0 + gap, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    fixture::set_grid(1, 1);
    std::int32_t ipart = 0;
    double tmin = 0.0;
    path_slice(field, searches, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, ipart, tmin, search_kind::free_path, 1);
    EXPECT_EQ(ipart, -1);
    path_slice(field, searches, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, ipart, tmin, search_kind::free_path, no_particle);
    EXPECT_EQ(ipart, 2);
    EXPECT_NEAR(tmin, gap, 1e-15);
}
