// The shadow packet's pre-test (the shadow grid in single precision): it may
// call a way free only where the occlusion search of every box finds it free
// and name a blocker only where one is in the way; it must decide alike on
// every instruction set (the candidate counts of the result files depend on
// it), and it must settle most ways, or it saves nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "field/retbox.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "support/test_rng.h"
#include "trace/sphere_entry.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/path_slice.h"
#include "trace/search_targets.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

using namespace quillet;

namespace {

using rng = fixture::test_rng;

struct field_case {
    const char* name;
    int n;
    double xl, rmin, rmax, zhalf, sy;
    std::int32_t grid;
    double cleared_share;  // of the free ways, at least
};

// Like the benchmark field (tau 0.5, a slab about 8.7 radii thick), and a
// small dense one whose reach (the cell's half-width, 10) leaves the flatter
// rays to the search.
const field_case fields[] = {
    {"benchmark-like", 2000, 56.05, 1.0, 1.0, 3.35, 17.3, 25, 0.7},
    {"small dense", 400, 10.0, 0.3, 0.8, 1.5, 3.7, 8, 0.4},
};

void load(const field_case& f) {
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(f.n, f.xl, f.xl, f.rmin, f.rmax, f.zhalf, -977), f.xl, f.xl, f.sy);
    fixture::set_grid(f.grid, f.grid);
    searches.settings.nbox = 1000;
    searches.settings.nboxvis = 1000;
}

// A point on the surface of particle k along the unit normal n, folded into the cell.
void surface_point(std::int32_t k, double nx, double ny, double nz, double& x, double& y, double& z) {
    x = field.xpart[k] + field.rpart[k] * nx;
    y = field.ypart[k] + field.rpart[k] * ny;
    z = field.zpart[k] + field.rpart[k] * nz;
    retbox(field, x, y);
}

// The occlusion search of every box, by the full scan: >= 1 when blocked.
std::int32_t full_scan_blocker(double x, double y, double z, double ux, double uy, double uz, std::int32_t k) {
    searches.settings.full_scan = true;
    std::int32_t hit = 0;
    path_segment(field, searches, x, y, z, ux, uy, uz, hit, search_kind::first_in_list, k);
    searches.settings.full_scan = false;
    return hit;
}

// The free-path slice search from a point off every particle, by the fast
// search ([0]) and by the full scan ([1]): the particle met and its distance.
void slice_fast_and_full(double x, double y, double z, double ux, double uy, double uz, std::int32_t* found,
                         double* t) {
    for (int full = 0; full <= 1; ++full) {
        searches.settings.full_scan = full == 1;
        path_slice(field, searches, x, y, z, ux, uy, uz, found[full], t[full], search_kind::free_path, no_particle);
    }
    searches.settings.full_scan = false;
}

}  // namespace

// Random scattering points and directions (half of them into the particle a
// point lies on, through which the search passes): every way cleared is free
// by the full scan, on every instruction set, with the same decisions.
TEST(ShadowPretest, ClearsOnlyWaysTheFullScanFindsFreeAndMostOfThem) {
    const std::string best = search_target_name();
    for (const field_case& f : fields) {
        load(f);
        ASSERT_TRUE(field.shadow.ready) << f.name;
        std::vector<char> first_decisions;
        for (const std::string& target : search_target_names()) {
            ASSERT_TRUE(choose_search_target(target));
            rng g(-4242);
            std::vector<char> decisions;
            int free_ways = 0, blocked_ways = 0, cleared = 0, cleared_through_own = 0, named_blockers = 0;
            for (int i = 0; i < 3000; ++i) {
                const std::int32_t k = 1 + std::int32_t(g.u() * (field.npart - 1));
                double nx, ny, nz, x, y, z;
                g.direction(nx, ny, nz);
                surface_point(k, nx, ny, nz, x, y, z);
                for (int d = 0; d < 8; ++d) {
                    double ux, uy, uz;
                    g.direction(ux, uy, uz);
                    search_direction dir;
                    prepare_direction(ux, uy, uz, dir);
                    const std::int32_t pre = shadow_pretest(field, searches, x, y, z, dir, k);
                    const bool clear = pre == 0;
                    decisions.push_back(char(pre >= 1 ? 2 : clear));
                    if (!first_decisions.empty()) continue;  // the answers were checked on the first one
                    const bool blocked = full_scan_blocker(x, y, z, ux, uy, uz, k) >= 1;
                    const std::string where = std::string(f.name) + " " + target + ", point " + std::to_string(i) +
                                              " direction " + std::to_string(d);
                    ASSERT_FALSE(clear && blocked) << where;
                    if (pre >= 1) {
                        // The particle named is in the way.
                        ASSERT_TRUE(blocked) << where;
                        ASSERT_NE(pre, k) << where;
                        ASSERT_GT(sphere_entry(field, pre, x, y, z, ux, uy, uz, HUGE_VAL), 0.0) << where;
                        named_blockers += 1;
                    }
                    free_ways += !blocked;
                    blocked_ways += blocked;
                    cleared += clear;
                    cleared_through_own += clear && ux * nx + uy * ny + uz * nz < 0.0;
                }
            }
            if (first_decisions.empty()) {
                first_decisions = decisions;
                EXPECT_GE(cleared, f.cleared_share * free_ways) << f.name << ": " << cleared << " of " << free_ways;
                EXPECT_GT(cleared_through_own, cleared / 10) << f.name;
                EXPECT_GE(named_blockers, blocked_ways / 2) << f.name << ": " << named_blockers << " of " << blocked_ways;
            } else {
                EXPECT_EQ(decisions, first_decisions) << f.name << " " << target;
            }
        }
    }
    ASSERT_TRUE(choose_search_target(best));
}

// Rays aimed past a sphere or one of its periodic copies in the boxes around
// the cell (sheared), just inside its radius (by a millionth: blocked) or just
// outside (by a hundredth): the first are never cleared, nearly all of the
// second are, where nothing else is in the way. The layer is thin and the
// rays steep enough for the reach, so every one of them is pre-tested.
TEST(ShadowPretest, GrazingRaysAtCopiesAcrossTheWalls) {
    const field_case f{"sparse", 300, 15.0, 0.3, 0.5, 1.0, 3.7, 10, 0.0};
    load(f);
    ASSERT_TRUE(field.shadow.ready);
    rng g(-99);
    int inside = 0, inside_copies = 0, outside_free = 0, outside_cleared = 0;
    struct copy {
        double x, y, z, r;
        bool central;
    };
    std::vector<copy> near;
    for (int i = 0; i < 8000 && inside_copies < 300; ++i) {
        const std::int32_t k = 1 + std::int32_t(g.u() * (field.npart - 1));
        double nx, ny, nz, x, y, z;
        g.direction(nx, ny, nz);
        surface_point(k, nx, ny, nz, x, y, z);
        // The copies of every entry, m boxes across in x and n in y, 0.8 to 4
        // from the point horizontally; one of them at random.
        near.clear();
        for (std::int32_t j = 1; j <= field.npart; ++j) {
            for (int m = -1; m <= 1; ++m) {
                for (int n = -1; n <= 1; ++n) {
                    const double cx = field.xpart[j] + m * field.xl2,
                                 cy = field.ypart[j] + m * field.sy + n * field.yl2;
                    const double h = std::hypot(cx - x, cy - y);
                    if (h >= 0.8 && h <= 4.0)
                        near.push_back({cx, cy, field.zpart[j], field.rpart[j], m == 0 && n == 0});
                }
            }
        }
        // Copies in the boxes around first, where there are any.
        const auto central = std::partition(near.begin(), near.end(), [](const copy& c) { return !c.central; });
        const std::size_t across = std::size_t(central - near.begin());
        const std::size_t pick = across > 0 && g.u() < 0.75 ? std::size_t(g.u() * double(across)) % across
                                                            : std::size_t(g.u() * double(near.size())) % near.size();
        const copy c = near[pick];
        const double dx = c.x - x, dy = c.y - y, dz = c.z - z;
        const double dist = std::sqrt(dx * dx + dy * dy + dz * dz);
        // A unit vector w across the line to the centre.
        double wx, wy, wz;
        g.direction(wx, wy, wz);
        const double along = (wx * dx + wy * dy + wz * dz) / dist;
        wx -= along * dx / dist;
        wy -= along * dy / dist;
        wz -= along * dz / dist;
        const double wn = std::sqrt(wx * wx + wy * wy + wz * wz);
        for (const double miss : {c.r * (1.0 - 1.0e-6), c.r + 0.01}) {
            // Toward the point at `miss` from the centre across the line: the
            // line passes the centre a little nearer than that.
            double ux = dx + miss * wx / wn, uy = dy + miss * wy / wn, uz = dz + miss * wz / wn;
            const double len = std::sqrt(ux * ux + uy * uy + uz * uz);
            ux /= len;
            uy /= len;
            uz /= len;
            if (std::fabs(uz) < 0.25 || ux * nx + uy * ny + uz * nz <= 0.0) continue;
            search_direction dir;
            prepare_direction(ux, uy, uz, dir);
            const bool clear = shadow_pretest(field, searches, x, y, z, dir, k) == 0;
            const bool blocked = full_scan_blocker(x, y, z, ux, uy, uz, k) >= 1;
            ASSERT_FALSE(clear && blocked) << "point " << i << ", miss " << miss;
            if (miss < c.r) {
                ASSERT_TRUE(blocked) << "point " << i;  // the aimed sphere at least is in the way
                inside += 1;
                inside_copies += !c.central;
            } else if (!blocked) {
                outside_free += 1;
                outside_cleared += clear;
            }
        }
    }
    EXPECT_GE(inside_copies, 300) << inside << " inside, " << outside_free << " outside";
    EXPECT_GT(inside, inside_copies);
    EXPECT_GE(outside_cleared, outside_free * 9 / 10) << outside_cleared << " of " << outside_free;
}

// A cell less than four radii across leaves copies of one particle within
// two radii of each other: the pre-test stays out of it.
TEST(ShadowPretest, NotBuiltForACellOfAFewRadii) {
    fixture::reset_field();
    fixture::set_field({{1.0, 0.0, 0.0, 0.0}, {1.0, 0.9, 0.4, 1.5}}, 1.8, 1.8, 0.5);
    fixture::set_grid(2, 2);
    EXPECT_FALSE(field.shadow.ready);
    search_direction dir;
    prepare_direction(0.0, 0.0, 1.0, dir);
    EXPECT_EQ(shadow_pretest(field, searches, 0.0, 0.0, 1.0, dir, 1), -1);
}

// Free paths from scattering points (outward) and from above the layer
// (downward, no particle excluded), followed box by box: with the shadow
// grid's candidates, with the cell walk alone and with the full scan, the
// same particle at the same point, the same slice and box counts. The
// spheres tested are the same on every instruction set, and fewer than the
// walk tests.
TEST(ShadowGridFreePaths, FindTheParticleOfTheWalkAndOfTheFullScan) {
    const std::string best = search_target_name();
    for (const field_case& f : fields) {
        load(f);
        std::int64_t tested_first = -1;
        for (const std::string& target : search_target_names()) {
            ASSERT_TRUE(choose_search_target(target));
            rng g(-515);
            std::int64_t tested = 0, tested_walk = 0;
            for (int i = 0; i < 4000; ++i) {
                double x, y, z, ux, uy, uz;
                std::int32_t k = no_particle;
                if (i % 4 == 0) {
                    x = (2.0 * g.u() - 1.0) * field.xl;
                    y = (2.0 * g.u() - 1.0) * field.yl;
                    z = field.zmax;
                    g.direction(ux, uy, uz);
                    uz = -std::fabs(uz);
                } else {
                    k = 1 + std::int32_t(g.u() * (field.npart - 1));
                    double nx, ny, nz;
                    g.direction(nx, ny, nz);
                    surface_point(k, nx, ny, nz, x, y, z);
                    g.direction(ux, uy, uz);
                    if (ux * nx + uy * ny + uz * nz < 0.0) ux = -ux, uy = -uy, uz = -uz;
                }
                struct answer {
                    std::int32_t ipart;
                    double x, y, z;
                    fixture::search_counts counts;
                };
                auto follow = [&](bool grid, bool full) {
                    const bool ready = field.shadow.ready;
                    field.shadow.ready = grid && ready;
                    searches.settings.full_scan = full;
                    searches.npot_sum = searches.ntab_calls = searches.nseg_calls = searches.nbox_sum = 0;
                    answer a{0, x, y, z, {}};
                    path_segment(field, searches, a.x, a.y, a.z, ux, uy, uz, a.ipart, search_kind::free_path, k);
                    a.counts = fixture::counts_of(searches);
                    field.shadow.ready = ready;
                    searches.settings.full_scan = false;
                    return a;
                };
                const answer fast = follow(true, false), walk = follow(false, false);
                tested += fast.counts.npot_sum;
                tested_walk += walk.counts.npot_sum;
                const std::vector<answer> others =
                    tested_first < 0 ? std::vector<answer>{walk, follow(false, true)} : std::vector<answer>{walk};
                for (const answer& o : others) {
                    ASSERT_EQ(fast.ipart, o.ipart) << f.name << " " << target << ", ray " << i;
                    ASSERT_EQ(fast.x, o.x) << f.name << " " << target << ", ray " << i;
                    ASSERT_EQ(fast.y, o.y);
                    ASSERT_EQ(fast.z, o.z);
                    ASSERT_EQ(fast.counts.ntab_calls, o.counts.ntab_calls);
                    ASSERT_EQ(fast.counts.nbox_sum, o.counts.nbox_sum);
                }
            }
            if (tested_first < 0) tested_first = tested;
            EXPECT_EQ(tested, tested_first) << f.name << " " << target;
            EXPECT_LT(tested, tested_walk) << f.name << " " << target;
        }
    }
    ASSERT_TRUE(choose_search_target(best));
}

// A flat free path, longer than the shadow grid's reach (14 here: the layer
// is 2 thick): the nearest entry is taken from the grid only where it lies
// within the reach less the largest radius. Sphere 1 is entered just beyond
// that cut, from a centre inside the box the grid looks at; sphere 2, entered
// 0.02 nearer, lies in the next column of the grid's cells, beyond the box,
// and only the walk finds it. Small spheres away from the ray make the
// grid's cells about 2 wide.
TEST(ShadowGridFreePaths, AFlatPathTakesTheGridsEntryOnlyWithinTheReach) {
    auto build = [](double x0) {
        std::vector<fixture::sphere> field{{1.0, x0 + 13.9, 0.9, 0.0}, {1.0, x0 + 14.5, 0.0, 0.0}};
        for (double y = 4.0; y < 19.5; y += 0.6)
            for (double x = -19.4; x < 19.5; x += 0.6) {
                field.push_back({0.3, x, y, 0.0});
                field.push_back({0.3, x, -y, 0.0});
            }
        fixture::reset_field();
        fixture::set_field(field, 20.0, 20.0, 0.0, false);
        fixture::set_grid(8, 8);
    };
    // The start point's x puts a wall of the grid's cells midway between the
    // box's edge (14 + 0.00013 ahead) and the centre of sphere 2.
    build(-12.0);
    ASSERT_TRUE(field.shadow.ready);
    ASSERT_EQ(field.shadow.reach, 14.0);
    ASSERT_LT(field.shadow.width, 3.0);
    const double wall = field.shadow.x0 + field.shadow.width * std::ceil((2.25 - field.shadow.x0) / field.shadow.width);
    const double x0 = wall - 14.25;
    build(x0);
    const double uz = 0.02, ux = std::sqrt(1.0 - uz * uz);
    for (const std::string& target : search_target_names()) {
        ASSERT_TRUE(choose_search_target(target));
        std::int32_t found[2];
        double t[2];
        slice_fast_and_full(x0, 0.0, 0.0, ux, 0.0, uz, found, t);
        EXPECT_EQ(field.file_number(found[1]), 2) << target;
        EXPECT_NEAR(t[1], 13.540073, 1e-6) << target;
        EXPECT_EQ(found[0], found[1]) << target;
        EXPECT_EQ(t[0], t[1]) << target;
    }
    ASSERT_TRUE(choose_search_target(search_target_names().front()));
}

// Two spheres entered at exactly the same distance by a vertical ray
// (19 - 10 - 1 = 19 - 7 - 4 = 8, both on the ray's axis): the shadow grid's
// candidates must give the one the cell list names first, as the walk does.
TEST(ShadowGridFreePaths, TieGoesToTheSphereTheListNamesFirst) {
    fixture::reset_field();
    fixture::set_field({{0.5, -15.0, 12.0, 1.0}, {1.0, 0.0, 0.0, 10.0}, {4.0, 0.0, 0.0, 7.0}, {0.5, 18.0, -12.0, 1.0}},
                       20.0, 20.0, 0.0, false);
    fixture::set_grid(8, 8);
    ASSERT_TRUE(field.shadow.ready);
    for (const std::string& target : search_target_names()) {
        ASSERT_TRUE(choose_search_target(target));
        std::int32_t found[2];
        double t[2];
        slice_fast_and_full(0.0, 0.0, 19.0, 0.0, 0.0, -1.0, found, t);
        EXPECT_EQ(t[0], 8.0) << target;
        EXPECT_EQ(field.file_number(found[1]), 2) << target;
        EXPECT_EQ(found[0], found[1]) << target;
    }
    ASSERT_TRUE(choose_search_target(search_target_names().front()));
}
