// The grid search against the search over all particles, and rays that leave
// particles straddling the cell edges (the periodic copy they land on must not
// be met again at the start point).
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "field/retbox.h"
#include "numeric/ran1.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "support/stdout_capture.h"
#include "support/test_rng.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/search_targets.h"
#include "trace/sphere_entry.h"
#include "trace/trace_records.h"

using namespace quillet;
using fixture::sphere;

namespace {

using rng = fixture::test_rng;

struct ray {
    double x, y, z, ux, uy, uz;
    std::int32_t excluded;
};

struct segment_end {
    double x, y, z;
    std::int32_t ipart;
};

segment_end run(const ray& r, std::int32_t mode, std::int32_t mx, std::int32_t my) {
    field.mx = mx;
    field.my = my;
    segment_end e{r.x, r.y, r.z, 0};
    path_segment(field, searches, e.x, e.y, e.z, r.ux, r.uy, r.uz, e.ipart, search_kind(mode), r.excluded);
    return e;
}

// Random rays of four kinds: from inside the layer, leaving a particle
// surface (folded into the cell, that particle excluded), entering from just
// above or below the layer, and nearly horizontal inside the layer.
ray random_ray(rng& g, int kind) {
    ray r{};
    r.excluded = no_particle;
    const double zlo = field.zmin, zhi = field.zmax;
    switch (kind) {
        case 0:
            r.x = field.xl * (2.0 * g.u() - 1.0);
            r.y = field.yl * (2.0 * g.u() - 1.0);
            r.z = zlo + (zhi - zlo) * g.u();
            g.direction(r.ux, r.uy, r.uz);
            break;
        case 1: {
            const std::int32_t k = 1 + std::int32_t(g.u() * (field.npart - 1));
            double nx, ny, nz;
            g.direction(nx, ny, nz);
            const double rad = field.rpart[k];
            r.x = field.xpart[k] + rad * nx;
            r.y = field.ypart[k] + rad * ny;
            r.z = field.zpart[k] + rad * nz;
            g.direction(r.ux, r.uy, r.uz);
            if (r.ux * nx + r.uy * ny + r.uz * nz < 0.0) r.ux = -r.ux, r.uy = -r.uy, r.uz = -r.uz;
            retbox(field, r.x, r.y);
            r.excluded = k;
            break;
        }
        case 2: {
            // Within the 1 % height margin of the candidate search.
            const bool top = g.u() < 0.5;
            r.x = field.xl * (2.0 * g.u() - 1.0);
            r.y = field.yl * (2.0 * g.u() - 1.0);
            r.z = (top ? zhi : zlo) * (1.0 + 0.005 * g.u());
            g.direction(r.ux, r.uy, r.uz);
            r.uz = top ? -std::fabs(r.uz) : std::fabs(r.uz);
            break;
        }
        default: {
            r.x = field.xl * (2.0 * g.u() - 1.0);
            r.y = field.yl * (2.0 * g.u() - 1.0);
            r.z = zlo + (zhi - zlo) * g.u();
            r.uz = 0.04 * (g.u() - 0.5);
            const double s = std::sqrt(1.0 - r.uz * r.uz), phi = 2.0 * std::numbers::pi * g.u();
            r.ux = s * std::cos(phi);
            r.uy = s * std::sin(phi);
            break;
        }
    }
    return r;
}

struct field_case {
    const char* name;
    int nring, nhaze;
    double xl, yl, sy, rmin, rmax, zring, zhaze;
    std::int32_t mx, my;
};

void PrintTo(const field_case& f, std::ostream* os) { *os << f.name; }

class GridAgainstAllParticles : public testing::TestWithParam<field_case> {};

}  // namespace

TEST_P(GridAgainstAllParticles, SameParticleAndDistanceWhenNearestAndSameAnswerWhenOccluding) {
    const field_case& f = GetParam();
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(f.nring, f.xl, f.yl, f.rmin, f.rmax, f.zring, -101),
                       f.xl, f.yl, f.sy, true,
                       fixture::random_spheres(f.nhaze, f.xl, f.yl, 0.02, 0.06, f.zhaze, -202));
    fixture::set_grid(f.mx, f.my);
    searches.settings.nbox = 25;
    searches.settings.nboxvis = 25;
    rng g(-303);
    const int per_kind = 1000;
    int hits = 0, occluded = 0;
    for (int kind = 0; kind < 4; ++kind) {
        for (int i = 0; i < per_kind; ++i) {
            const ray r = random_ray(g, kind);
            const std::int32_t mode = i % 2;  // photon path and silent nearest search
            const segment_end grid = run(r, mode, f.mx, f.my);
            const segment_end all = run(r, mode, 1, 1);
            ASSERT_EQ(grid.ipart, all.ipart) << "kind " << kind << " ray " << i;
            ASSERT_EQ(grid.x, all.x) << "kind " << kind << " ray " << i;
            ASSERT_EQ(grid.y, all.y) << "kind " << kind << " ray " << i;
            ASSERT_EQ(grid.z, all.z) << "kind " << kind << " ray " << i;
            hits += all.ipart >= 1;
            const segment_end grid_vis = run(r, 2, f.mx, f.my);
            const segment_end all_vis = run(r, 2, 1, 1);
            ASSERT_EQ(grid_vis.ipart >= 1, all_vis.ipart >= 1) << "kind " << kind << " ray " << i;
            if (all_vis.ipart < 1) {
                ASSERT_EQ(grid_vis.x, all_vis.x);
                ASSERT_EQ(grid_vis.z, all_vis.z);
            }
            occluded += all_vis.ipart >= 1;
        }
    }
    // The rays must exercise both outcomes for the comparison to mean anything.
    EXPECT_GT(hits, per_kind / 2);
    EXPECT_LT(hits, 4 * per_kind - per_kind / 2);
    EXPECT_EQ(occluded, hits);  // the same particles block, found in another order
}

INSTANTIATE_TEST_SUITE_P(
    RandomFields, GridAgainstAllParticles,
    testing::Values(field_case{"sheared_with_haze", 1500, 500, 20.0, 15.0, 7.3, 0.3, 1.2, 2.0, 3.0, 12, 9},
                    field_case{"negative_shear_fine_grid", 800, 300, 12.0, 12.0, -11.0, 0.2, 1.0, 1.0, 1.5, 30, 30},
                    field_case{"dense_overlapping_coarse_grid", 1500, 0, 8.0, 10.0, 3.0, 0.5, 1.0, 1.0, 0.0, 2, 2},
                    field_case{"thin_layer_elongated_cell", 600, 200, 15.0, 6.0, 5.9, 0.3, 0.6, 0.3, 0.5, 20, 8}),
    [](const testing::TestParamInfo<field_case>& p) { return std::string(p.param.name); });

// The cell walk against the full scan, on every instruction set the searches
// run on here: the nearest particle (modes 0 and 1) and the first particle of
// the list in the way (mode 2) are the same bit for bit; an occlusion test
// that takes any particle in the way (mode 3, the peel-off's) gives the same
// answer blocked or free, and the particle it reports does block the ray.
// Run on the fields above and on a field lying wholly below z = 0, where the
// scan's 1 % height margin works the other way.
TEST_P(GridAgainstAllParticles, CellWalkFindsExactlyWhatTheFullScanFinds) {
    const field_case& f = GetParam();
    const std::string best = search_target_name();
    std::vector<std::int64_t> walked_first;  // by lift, on the first instruction set
    for (const std::string& target : search_target_names()) {
        ASSERT_TRUE(choose_search_target(target)) << target;
        for (const double lift : {0.0, -6.0}) {
            fixture::reset_field();
            std::vector<sphere> ring = fixture::random_spheres(f.nring, f.xl, f.yl, f.rmin, f.rmax, f.zring, -111);
            for (sphere& p : ring) p.z += lift;
            fixture::set_field(ring, f.xl, f.yl, f.sy, true,
                               fixture::random_spheres(f.nhaze, f.xl, f.yl, 0.02, 0.06, f.zhaze, -222));
            if (lift < 0.0) field.zmax = -3.0;  // every sphere lies below the layer's top
            fixture::set_grid(f.mx, f.my);
            ASSERT_GT(field.layout.dtab_max, 0.0);
            rng g(-333);
            std::int64_t walked = 0, scanned = 0;
            int met[4] = {0, 0, 0, 0};
            for (int kind = 0; kind < 4; ++kind) {
                for (int i = 0; i < 800; ++i) {
                    const ray r = random_ray(g, kind);
                    for (std::int32_t mode = 0; mode <= 3; ++mode) {
                        std::int32_t ip[2];
                        double t[2];
                        std::int64_t tested[2];
                        for (int full = 0; full <= 1; ++full) {
                            searches.settings.full_scan = full == 1;
                            const std::int64_t before = searches.npot_sum;
                            // The full scan's answer of mode 3 is the list's (mode 2).
                            path_slice(field, searches, r.x, r.y, r.z, r.ux, r.uy, r.uz, ip[full], t[full],
                                       search_kind(full && mode == 3 ? 2 : mode), r.excluded);
                            tested[full] = searches.npot_sum - before;
                        }
                        searches.settings.full_scan = false;
                        const std::string where = target + " lift " + std::to_string(lift) + " kind " +
                                                  std::to_string(kind) + " ray " + std::to_string(i) + " mode " +
                                                  std::to_string(mode);
                        met[mode] += ip[0] >= 1;
                        walked += tested[0];
                        scanned += tested[1];
                        if (mode == 3 && ip[0] >= 1) {
                            ASSERT_GE(ip[1], 1) << where;
                            ASSERT_NE(ip[0], r.excluded) << where;
                            const double reach = start_reach(r.excluded != no_particle, r.x, r.y, r.z);
                            ASSERT_EQ(sphere_entry(field, ip[0], r.x, r.y, r.z, r.ux, r.uy, r.uz, reach), t[0])
                                << where;
                            continue;
                        }
                        ASSERT_EQ(ip[0], ip[1]) << where;
                        ASSERT_EQ(t[0], t[1]) << where;
                    }
                }
            }
            // Both outcomes occur, the two occlusion tests agree, and the walk
            // tests fewer candidates.
            for (int m : met) {
                EXPECT_GT(m, 100) << "lift " << lift;
                EXPECT_LT(m, 3100) << "lift " << lift;
            }
            EXPECT_EQ(met[2], met[3]) << "lift " << lift;
            EXPECT_LT(walked, scanned) << "lift " << lift;
            // The candidates tested do not depend on the number of lanes.
            const std::size_t n = lift < 0.0 ? 1 : 0;
            if (walked_first.size() <= n) walked_first.push_back(walked);
            EXPECT_EQ(walked, walked_first[n]) << target << " lift " << lift;
        }
    }
    ASSERT_TRUE(choose_search_target(best));
}

TEST(SearchTargets, TheBestIsChosenAndUnknownNamesAreRefused) {
    const std::vector<std::string> names = search_target_names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(search_target_name(), names.front());
    EXPECT_FALSE(choose_search_target("avx9000"));
    EXPECT_FALSE(choose_search_target(""));
    EXPECT_EQ(search_target_name(), names.front());
    // Names are taken in either case.
    std::string upper = names.back();
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(choose_search_target(upper));
    EXPECT_EQ(search_target_name(), names.back());
    EXPECT_TRUE(choose_search_target(names.front()));
}

namespace {

// Particles reaching over the x edge, the y edge and the corner of a sheared
// cell, in a random field.
void straddling_field() {
    fixture::reset_field();
    std::vector<sphere> p = {{1.0, 4.6, 4.7, 0.0}, {0.8, -4.5, 0.3, 0.2}, {0.6, 1.0, -4.8, -0.1}};
    for (const sphere& s : fixture::random_spheres(60, 5.0, 5.0, 0.1, 0.4, 1.0, -77)) p.push_back(s);
    fixture::set_field(p, 5.0, 5.0, 1.3);
}

}  // namespace

TEST(SelfHit, RaysFromStraddlingParticlesDoNotMeetTheCopyTheyStartOn) {
    for (std::int32_t grid : {1, 6}) {
        straddling_field();
        fixture::set_grid(grid, grid);
        rng g(-909);
        int folded = 0, rounding_cases = 0;
        for (int i = 0; i < 20000; ++i) {
            const std::int32_t k = field.entry_of(1 + i % 3);  // the three straddling particles
            double nx, ny, nz, ux, uy, uz;
            g.direction(nx, ny, nz);
            g.direction(ux, uy, uz);  // outward (a scattering) or inward (a peel-off through the particle)
            double x = field.xpart[k] + field.rpart[k] * nx, y = field.ypart[k] + field.rpart[k] * ny;
            const double z = field.zpart[k] + field.rpart[k] * nz;
            if (std::fabs(x) <= field.xl && std::fabs(y) <= field.yl) continue;  // not on an edge copy
            retbox(field, x, y);
            ++folded;
            // Count the starts where the plain sphere test would see the copy
            // just ahead: those are the cases the test is about.
            for (std::int32_t j = 1; j <= field.npart; ++j) {
                const double dx = x - field.xpart[j], dy = y - field.ypart[j], dz = z - field.zpart[j];
                const double b = -(dx * ux + dy * uy + dz * uz);
                const double disc = b * b - (dx * dx + dy * dy + dz * dz) + field.rpart[j] * field.rpart[j];
                if (j != k && b >= 0.0 && disc >= 0.0 && b - std::sqrt(disc) > 0.0 &&
                    b - std::sqrt(disc) < 1e-12)
                    ++rounding_cases;
            }
            for (std::int32_t mode : {0, 1, 2}) {
                std::int32_t ipart = 0;
                double tmin = 0.0;
                path_slice(field, searches, x, y, z, ux, uy, uz, ipart, tmin, search_kind(mode), k);
                if (ipart >= 1) {
                    ASSERT_GT(tmin, 1e-6) << "start " << i << " mode " << mode << " met " << ipart;
                }
                double px = x, py = y, pz = z;
                path_segment(field, searches, px, py, pz, ux, uy, uz, ipart, search_kind(mode), k);
                const double moved = std::sqrt((px - x) * (px - x) + (py - y) * (py - y) + (pz - z) * (pz - z));
                if (ipart >= 1) {
                    ASSERT_GT(moved, 1e-6) << "start " << i << " mode " << mode << " met " << ipart;
                }
            }
        }
        EXPECT_GT(folded, 5000);
        EXPECT_GT(rounding_cases, 50) << "the starts never hit the rounding case: the test would prove nothing";
    }
}

// Two spheres entered at exactly the same distance, in two grid columns: the
// walk along the ray meets the one of the later column first, and must still
// return the one the cell list names first, as the full scan does. Both lie
// on the ray's axis, so both distances are exact: 19 - 10 - 1 = 19 - 7 - 4 = 8.
TEST(FreePathTie, GoesToTheCandidateTheListNamesFirst) {
    fixture::reset_field();
    fixture::set_field({{1.0, 10.0, 0.0, 0.0}, {4.0, 7.0, 0.0, 0.0}, {0.5, -15.0, 12.0, 1.0}, {0.5, 18.0, -12.0, 1.0}}, 20.0, 20.0, 0.0,
                       false);
    fixture::set_grid(8, 8);
    ASSERT_GT(field.layout.dtab_max, 0.0);
    std::int32_t found[2];
    double t[2];
    for (const std::string& target : search_target_names()) {
        ASSERT_TRUE(choose_search_target(target));
        for (int full = 0; full <= 1; ++full) {
            searches.settings.full_scan = full == 1;
            path_slice(field, searches, 19.0, 0.0, 0.0, -1.0, 0.0, 0.0, found[full], t[full], search_kind::free_path,
                       no_particle);
        }
        searches.settings.full_scan = false;
        EXPECT_EQ(t[0], 8.0) << target;
        EXPECT_EQ(t[1], 8.0) << target;
        EXPECT_EQ(field.file_number(found[1]), 2) << target;  // the sphere at x = 7 lies in the earlier column
        EXPECT_EQ(found[0], found[1]) << target;
    }
    ASSERT_TRUE(choose_search_target(search_target_names().front()));
}

// The grid puts the particle tables in its own order; the searches must find
// on it what they find on the tables in the files' order without a grid (the
// straightforward scan of every particle in turn), naming the particles by
// the files' numbers: the same particle and end point of every free path,
// the same answer blocked or free of every occlusion test (and a blocker
// named that does block the way), and the same report lines of the traced
// free paths (the occlusion tests may name another blocker: the lists come
// in another order). On a random field whose files' order has nothing to do with
// space, with haze and edge copies, from every kind of start, the particle
// a ray leaves excluded by its number.
TEST(RenumberedField, SearchesNameTheParticlesOfTheFilesAsTheFilesOrderDoes) {
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(3000, 30.0, 25.0, 0.3, 1.0, 2.0, -515), 30.0, 25.0, 8.1, true,
                       fixture::random_spheres(600, 30.0, 25.0, 0.02, 0.06, 3.0, -616));
    const particle_field plain = field;  // the files' order, no grid
    // The rays as random_ray draws them on the plain field: an excluded
    // particle is named by its number there, by its entry on the grid.
    rng g(-717);
    std::vector<ray> drawn;
    for (int i = 0; i < 4000; ++i) drawn.push_back(random_ray(g, i % 4));
    fixture::set_grid(24, 20);
    ASSERT_GT(field.layout.dtab_max, 0.0);
    std::int32_t moved = 0;
    for (std::int32_t l = 1; l <= field.npart; ++l) moved += field.file_number(l) != l;
    ASSERT_GT(moved, field.npart * 9 / 10) << "the grid's order must differ from the files' for the test to mean anything";
    search_settings quiet = searches.settings;
    quiet.nbox = quiet.nboxvis = 25;
    searches.settings = quiet;
    search_scratch plain_searches(plain, quiet);
    int hits = 0, blocked = 0, rays = 0;
    for (int i = 0; i < 4000; ++i) {
        const ray& r = drawn[std::size_t(i)];
        const std::int32_t excluded = r.excluded >= 1 ? field.entry_of(r.excluded) : r.excluded;
        ++rays;
        for (std::int32_t mode = 0; mode <= 3; ++mode) {
            const bool traced = mode == 1 && i % 8 == 1;
            searches.settings.icheck = plain_searches.settings.icheck = traced ? 1 : -1;
            segment_end a{r.x, r.y, r.z, 0}, b{r.x, r.y, r.z, 0};
            const std::string ta = test_support::capture_stdout([&] {
                path_segment(plain, plain_searches, a.x, a.y, a.z, r.ux, r.uy, r.uz, a.ipart, search_kind(mode),
                             r.excluded);
            });
            const std::string tb = test_support::capture_stdout([&] {
                path_segment(field, searches, b.x, b.y, b.z, r.ux, r.uy, r.uz, b.ipart, search_kind(mode), excluded);
            });
            const std::string where = "ray " + std::to_string(i) + " mode " + std::to_string(mode);
            if (mode >= 2) {
                ASSERT_EQ(a.ipart >= 1, b.ipart >= 1) << where;
                blocked += b.ipart >= 1;
                if (b.ipart >= 1) {
                    const std::int32_t k = field.file_number(b.ipart);
                    ASSERT_NE(k, r.excluded) << where;
                    // The way ends on that particle's surface (in the box it was met in).
                    const double d = std::hypot(b.x - plain.xpart[k], b.y - plain.ypart[k], b.z - plain.zpart[k]);
                    ASSERT_NEAR(d, plain.rpart[k], 1e-9 * (1.0 + std::fabs(b.x) + std::fabs(b.y))) << where;
                } else {
                    ASSERT_EQ(a.ipart, b.ipart) << where;
                }
                continue;
            }
            ASSERT_EQ(field.file_number(b.ipart), a.ipart) << where;
            ASSERT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z) << where;
            hits += a.ipart >= 1;
            if (traced) {
                ASSERT_NE(ta.find("slice_"), std::string::npos) << where;
                ASSERT_EQ(tb, ta) << where;
            }
        }
    }
    searches.settings = quiet;
    searches.settings.icheck = -1;
    EXPECT_GT(hits, rays / 2);
    EXPECT_LT(hits, 2 * rays - rays / 4);
    EXPECT_GT(blocked, rays / 2);
}
