// The searches' working state is the scratch each caller hands them: workers
// with scratches of their own search one shared field at once and find what
// one scratch finds serially, counts included; a worker's scratch is made
// like the one it copies; a scratch too small for the field is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "support/test_rng.h"
#include "trace/path_segment.h"
#include "trace/search_scratch.h"
#include "trace/sphere_lanes.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

using namespace quillet;

namespace {

struct query {
    double x, y, z, ux, uy, uz;
    std::int32_t excluded;
};

// What one query gives: the free path's end and particle, and the packet's
// blockers toward four directions from that end.
struct answer {
    double x, y, z;
    std::int32_t ipart;
    std::int32_t blocker[4];
};

constexpr int packet_dirs = 4;

// The directions toward the observers of the packet.
std::vector<search_direction> observer_dirs() {
    const double u[packet_dirs][3] = {{0.3, 0.4, 0.866}, {-0.5, 0.1, 0.86}, {0.2, -0.9, 0.39}, {0.0, 0.0, 1.0}};
    std::vector<search_direction> d(packet_dirs);
    for (int k = 0; k < packet_dirs; ++k) prepare_direction(u[k][0], u[k][1], u[k][2], d[k]);
    return d;
}

answer search(const query& q, search_scratch& s, const std::vector<search_direction>& dirs) {
    answer a{q.x, q.y, q.z, 0, {}};
    path_segment(field, s, a.x, a.y, a.z, q.ux, q.uy, q.uz, a.ipart, search_kind::free_path, q.excluded);
    const bool wanted[packet_dirs] = {true, true, true, true};
    if (a.ipart >= 1) shadow_packet(field, s, a.x, a.y, a.z, a.ipart, packet_dirs, dirs.data(), wanted, a.blocker);
    return a;
}

class SearchScratch : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        fixture::set_field(fixture::random_spheres(600, 12.0, 12.0, 0.3, 0.8, 2.0, -31), 12.0, 12.0, 3.5);
        fixture::set_grid(10, 10);
    }
};

}  // namespace

TEST_F(SearchScratch, WorkersWithScratchesOfTheirOwnFindWhatOneScratchFindsSerially) {
    fixture::test_rng g(-7);
    std::vector<query> queries(4000);
    for (query& q : queries) {
        q = {field.xl * (2.0 * g.u() - 1.0), field.yl * (2.0 * g.u() - 1.0), field.zmax * 1.0001, 0.0, 0.0, 0.0,
             no_particle};
        g.direction(q.ux, q.uy, q.uz);
        if (q.uz > 0.0) q.uz = -q.uz;
    }
    const std::vector<search_direction> dirs = observer_dirs();
    std::vector<answer> serial(queries.size()), threaded(queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) serial[i] = search(queries[i], searches, dirs);
    const fixture::search_counts serial_counts = fixture::counts_of(searches);
    ASSERT_GT(serial_counts.npot_sum, 0);

    // Two workers take the queries in turn, each with a scratch made from
    // the serial one (its counters start from zero).
    constexpr int workers = 2;
    std::vector<search_scratch> own;
    for (int w = 0; w < workers; ++w) own.push_back(searches.for_worker());
    std::vector<std::thread> team;
    for (int w = 0; w < workers; ++w)
        team.emplace_back([&, w] {
            for (std::size_t i = std::size_t(w); i < queries.size(); i += workers)
                threaded[i] = search(queries[i], own[std::size_t(w)], dirs);
        });
    for (std::thread& t : team) t.join();

    int hits = 0, blocked = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        ASSERT_EQ(threaded[i].ipart, serial[i].ipart) << "query " << i;
        ASSERT_EQ(threaded[i].x, serial[i].x) << "query " << i;
        ASSERT_EQ(threaded[i].y, serial[i].y) << "query " << i;
        ASSERT_EQ(threaded[i].z, serial[i].z) << "query " << i;
        if (serial[i].ipart < 1) continue;
        ++hits;
        for (int k = 0; k < packet_dirs; ++k) {
            ASSERT_EQ(threaded[i].blocker[k], serial[i].blocker[k]) << "query " << i << ", direction " << k;
            blocked += serial[i].blocker[k] >= 1;
        }
    }
    // Both outcomes are common: the comparison covers hits, misses, blocked
    // and free ways.
    EXPECT_GT(hits, 1000);
    EXPECT_LT(hits, 3900);
    EXPECT_GT(blocked, 200);
    EXPECT_LT(blocked, packet_dirs * hits - 200);
    // The workers' counts add up to the serial count, each counter.
    fixture::search_counts sum;
    for (const search_scratch& s : own) {
        sum.npot_sum += s.npot_sum;
        sum.ntab_calls += s.ntab_calls;
        sum.nseg_calls += s.nseg_calls;
        sum.nbox_sum += s.nbox_sum;
    }
    EXPECT_EQ(sum.npot_sum, serial_counts.npot_sum);
    EXPECT_EQ(sum.ntab_calls, serial_counts.ntab_calls);
    EXPECT_EQ(sum.nseg_calls, serial_counts.nseg_calls);
    EXPECT_EQ(sum.nbox_sum, serial_counts.nbox_sum);
    EXPECT_EQ(serial_counts.nseg_calls, std::int64_t(queries.size()));
}

TEST_F(SearchScratch, AWorkersScratchHasTheSameRoomSettingsAndSwitchesAndZeroCounts) {
    searches.settings = {7, 5, 2, true};
    searches.idebug = 3;
    searches.trace_prefix = "img";
    searches.iphot = 12;
    searches.npot_sum = 40;
    searches.nbox_sum = 9;
    const search_scratch w = searches.for_worker();
    EXPECT_EQ(w.settings.nbox, 7);
    EXPECT_EQ(w.settings.nboxvis, 5);
    EXPECT_EQ(w.settings.icheck, 2);
    EXPECT_TRUE(w.settings.full_scan);
    EXPECT_EQ(w.idebug, 3);
    EXPECT_EQ(w.trace_prefix, "img");
    EXPECT_EQ(w.pottab.size(), std::size_t(field.npart) + 1);
    EXPECT_EQ(w.iphot, 0);
    EXPECT_EQ(w.npot_sum, 0);
    EXPECT_EQ(w.nbox_sum, 0);
    EXPECT_EQ(w.trace.f, nullptr);
}

TEST_F(SearchScratch, AScratchMadeForASmallerFieldIsRefusedNotWrittenPast) {
    search_scratch small(particle_field{});
    small.settings.full_scan = true;
    std::int32_t npot = -1;
    EXPECT_THROW(tab_choose(field, small, 0.0, 0.0, field.zmax, 0.1, 0.1, -0.99, npot), std::length_error);
    // Made for the field, the same search lists its candidates.
    search_scratch fitted(field, small.settings);
    tab_choose(field, fitted, 0.0, 0.0, field.zmax, 0.1, 0.1, -0.99, npot);
    EXPECT_GT(npot, 0);
    EXPECT_LE(npot, field.npart);
}
