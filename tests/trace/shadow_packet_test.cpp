// The shadow packet (one start point, many directions) against the segment
// searches it stands for, and the property that lets a first scattering skip
// its reversed-path check: a photon that enters the layer from outside and
// scatters where it met its particle has a free way back.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <numbers>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "field/retbox.h"
#include "numeric/ran1.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "support/test_rng.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/search_targets.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

using namespace quillet;

namespace {

using rng = fixture::test_rng;

// 400 spheres of radii 0.3 to 0.8 in a sheared 20 x 20 cell, 1.5 thick in
// centre height: optical depth about 0.9, many spheres on the edges.
void dense_field(std::int32_t grid) {
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(400, 10.0, 10.0, 0.3, 0.8, 1.5, -4711), 10.0, 10.0, 3.7);
    fixture::set_grid(grid, grid);
    searches.settings.nbox = 1000;
    searches.settings.nboxvis = 1000;
}

}  // namespace

// Each direction gets the answer of its own segment search: blocked or free,
// and where free the same wall code; with the full scan, the same particle
// too (the list's first). The slice count is that of the searches one by one.
// On every instruction set the searches run on here, and on three grids: 8 x 8
// (the 3 x 3 cells around a point hold about 56 spheres, all tested first),
// 4 x 4 (about 225: only the point's own cell, about 25) and 2 x 2 (about 100
// in one cell: none, the walk alone).
class ShadowPacketOnGrid : public testing::TestWithParam<std::int32_t> {};

TEST_P(ShadowPacketOnGrid, GivesEachDirectionTheAnswerOfItsOwnSearch) {
    constexpr int most = 40;
    const std::string best = search_target_name();
    // Packets of 6 directions, pre-tested one by one, and of 40, whose steeper
    // ones are pre-tested at once.
    for (const auto& [ndir, points] : {std::pair{6, 3000}, std::pair{most, 600}}) {
        std::int64_t tested_first[2] = {-1, -1};  // on the first instruction set
        for (const std::string& target : search_target_names()) {
            ASSERT_TRUE(choose_search_target(target));
            for (bool full : {false, true}) {
                dense_field(GetParam());
                searches.settings.full_scan = full;
                rng g(-31);
                int blocked = 0, free_ways = 0, other_blocker = 0;
                std::int64_t tested = 0;
                for (int i = 0; i < points; ++i) {
                    // A scattering point on the surface of particle k, folded into the cell.
                    const std::int32_t k = 1 + std::int32_t(g.u() * (field.npart - 1));
                    double nx, ny, nz;
                    g.direction(nx, ny, nz);
                    double x = field.xpart[k] + field.rpart[k] * nx, y = field.ypart[k] + field.rpart[k] * ny;
                    const double z = field.zpart[k] + field.rpart[k] * nz;
                    retbox(field, x, y);
                    double ux[most], uy[most], uz[most];
                    search_direction dirs[most];
                    bool wanted[most];
                    for (int d = 0; d < ndir; ++d) {
                        g.direction(ux[d], uy[d], uz[d]);
                        if (d == 0) uz[d] = 0.01, ux[d] = std::sqrt(1.0 - 1e-4), uy[d] = 0.0;  // nearly horizontal
                        if (d == 1) ux[d] = uy[d] = 0.0, uz[d] = 1.0;                        // vertical
                        prepare_direction(ux[d], uy[d], uz[d], dirs[d]);
                        wanted[d] = g.u() < 0.8;
                    }
                    const fixture::search_counts before = fixture::counts_of(searches);
                    std::int32_t packet[most];
                    shadow_packet(field, searches, x, y, z, k, ndir, dirs, wanted, packet);
                    const fixture::search_counts after_packet = fixture::counts_of(searches);
                    fixture::set_counts(searches, before);
                    for (int d = 0; d < ndir; ++d) {
                        std::int32_t one = 0;
                        if (wanted[d]) {
                            double px = x, py = y, pz = z;
                            path_segment(field, searches, px, py, pz, ux[d], uy[d], uz[d], one, search_kind::first_in_list,
                                         k);
                            blocked += one >= 1;
                            free_ways += one < 1;
                        }
                        const std::string where = std::to_string(ndir) + " directions, " + target + " full scan " +
                                                  std::to_string(full) + ", point " + std::to_string(i) + ", direction " +
                                                  std::to_string(d);
                        if (one >= 1 && !full) {
                            ASSERT_GE(packet[d], 1) << where;
                            ASSERT_NE(packet[d], k) << where;
                            other_blocker += packet[d] != one;
                        } else {
                            ASSERT_EQ(packet[d], one) << where;
                        }
                    }
                    ASSERT_EQ(after_packet.ntab_calls, searches.ntab_calls) << "point " << i;
                    tested += after_packet.npot_sum - before.npot_sum;
                }
                // Both answers occur often; the walk along the ray often finds
                // another blocker than the list's first.
                EXPECT_GT(blocked, 2000);
                EXPECT_GT(free_ways, 2000);
                if (!full) {
                    EXPECT_GT(other_blocker, 100);
                }
                // The candidates tested do not depend on the number of lanes.
                if (tested_first[full] < 0) tested_first[full] = tested;
                EXPECT_EQ(tested, tested_first[full]) << ndir << " directions, " << target << " full scan " << full;
            }
        }
    }
    searches.settings.full_scan = false;
    ASSERT_TRUE(choose_search_target(best));
}

INSTANTIATE_TEST_SUITE_P(Grids, ShadowPacketOnGrid, testing::Values(8, 4, 2));

TEST(ReversedPath, PhotonEnteringFromOutsideTheLayerHasAFreeWayBackFromItsFirstEntry) {
    for (bool full : {false, true}) {
        dense_field(8);
        searches.settings.full_scan = full;
        rng g(-57);
        int hits = 0;
        for (int i = 0; i < 20000; ++i) {
            // The launch of the photon loop: a source direction above or below
            // the ring plane, the start just beyond the layer's face toward it.
            double sx, sy, sz;
            g.direction(sx, sy, sz);
            if (std::fabs(sz) < 1e-3) continue;
            const double x0 = 10.0 * (2.0 * g.u() - 1.0), y0 = 10.0 * (2.0 * g.u() - 1.0);
            const double inidist = (sz > 0.0 ? field.zmax / sz : field.zmin / sz) * 1.000001;
            double px = x0 + sx * inidist, py = y0 + sy * inidist, pz = sz * inidist;
            retbox(field, px, py);
            std::int32_t ipart = 0;
            path_segment(field, searches, px, py, pz, -sx, -sy, -sz, ipart, search_kind::free_path, no_particle);
            if (ipart < 1) continue;
            ++hits;
            // From the entry point back toward the source, the particle excluded.
            std::int32_t back = 0;
            path_segment(field, searches, px, py, pz, sx, sy, sz, back, search_kind::first_in_list, ipart);
            ASSERT_LT(back, 1) << "full scan " << full << ", photon " << i << " entered " << ipart;
        }
        EXPECT_GT(hits, 10000);
    }
    searches.settings.full_scan = false;
}
