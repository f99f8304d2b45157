// The run's tallies: a block moves out of a worker and adds back exactly to
// the run's exact totals; the encoding is the same bytes for the same tables (no
// padding), goes through and back unchanged, and anything cut short or
// inconsistent is refused by name; the squares by order and by ring and haze
// counts are those of each photon's whole contribution to a cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/exact_totals.h"
#include "engine/tallies.h"
#include "format/run_error.h"

using namespace quillet;

namespace {

tally_sizes worker_sizes(std::int32_t ntest) {
    tally_sizes s;
    s.ntest = ntest;
    s.nxpix = 4;
    s.nypix = 3;
    s.hist = true;
    s.escapes = 5;
    s.collect = true;
    return s;
}

tally_sizes total_sizes(std::int32_t ntest) {
    tally_sizes s = worker_sizes(ntest);
    s.collect = false;
    s.escapes = 12;
    return s;
}

// Values that no sum reaches by chance: distinct per table and entry.
void fill(tallies& t, double base) {
    double v = base;
    for (auto* table : {&t.testw, &t.testw_sig, &t.testw_n, &t.sum_all, &t.sumsq_all, &t.sum_first, &t.sumsq_first,
                        &t.testw_order, &t.testw_order_sq, &t.testw_haze, &t.testw_haze_sq})
        for (double& x : *table) x = (v += 0.5);
    t.nsearch = 7;
    t.ndirect = 3;
    t.npot_sum = 11;
    t.ntab_calls = 13;
    t.nseg_calls = 17;
    t.nbox_sum = 19;
    for (std::size_t i = 0; i < t.esc_lat.size(); ++i) {
        t.esc_lat[i] = float(i) + 0.25f;
        t.esc_fii[i] = float(i) + 0.5f;
        t.esc_weight[i] = 1.0f / float(i + 1);
        t.esc_sca[i] = float(i);
    }
    t.record(image_hit{0, t.cell(2, 3), 1.0});
    t.record(image_hit{-1, t.cell(2, 3), 1.0});
    t.record(image_hit{4, t.cell(4, 1), 0.125});
    t.record(hist_hit{2, 45, 90, 0.5});
}

}  // namespace

TEST(Tallies, TakenBlockLeavesZeroAndAddsToTheTotalInOrder) {
    tallies worker(worker_sizes(3));
    worker.begin_block(6);
    fill(worker, 1.0);
    tallies block(worker_sizes(3));
    worker.take(block);
    EXPECT_EQ(worker.testw[2], 0.0);
    EXPECT_EQ(worker.testw_haze_sq[worker.haze_at(50, 20, 3)], 0.0);
    EXPECT_EQ(worker.nbox_sum, 0);
    EXPECT_TRUE(worker.image_hits.empty());
    EXPECT_EQ(block.nbox_sum, 19);
    EXPECT_EQ(block.esc_first, 6);
    ASSERT_EQ(block.image_hits.size(), 3u);

    tallies total(total_sizes(3));
    exact_totals exact(total);
    exact.add(block);
    exact.add(block);
    exact.round_into_total();
    EXPECT_EQ(total.testw[2], 2.0 * block.testw[2]);
    EXPECT_EQ(total.testw_order_sq[total.order_at(50, 1)], 2.0 * block.testw_order_sq[block.order_at(50, 1)]);
    EXPECT_EQ(total.nsearch, 14);
    // The hits are added into the images and the histogram.
    EXPECT_EQ(total.ill_image[std::size_t(total.cell(2, 3))], 2);
    EXPECT_EQ(total.vis_image[std::size_t(total.cell(2, 3))], 2);
    EXPECT_EQ(total.test_image[total.plane_at(4, total.cell(4, 1))], 0.25f);
    EXPECT_EQ(total.esc_hist[tallies::hist_at(2, 45, 90)], 1.0f);
    // Escape records land at their photon numbers (6..10 of 1..12).
    EXPECT_EQ(total.esc_sca[4], 0.0f);
    EXPECT_EQ(total.esc_sca[5], 0.0f);  // photon 6 is the block's first: sca 0
    EXPECT_EQ(total.esc_lat[5], 0.25f);
    EXPECT_EQ(total.esc_sca[9], 4.0f);
    EXPECT_EQ(total.esc_weight[10], 0.0f);

    tallies other(worker_sizes(2));
    EXPECT_THROW(exact.add(other), run_error);
    total.clear();
    EXPECT_EQ(total.testw[2], 0.0);
    EXPECT_EQ(total.ill_image[std::size_t(total.cell(2, 3))], 0);
}

TEST(Tallies, EncodingHasNoPaddingAndComesBackUnchanged) {
    tallies a(worker_sizes(2));
    a.begin_block(1001);
    fill(a, 3.0);
    std::string bytes;
    a.encode(bytes);
    // Tag, ntest, esc_first; 11 per-direction tables with their counts; 6
    // counters; 4 empty cell tables; 4 escape tables of 5; the hits (16 and
    // 20 bytes each: no padding).
    const std::size_t row = 3;
    const std::size_t directions = 7 * row + 2 * 51 * row + 2 * 51 * 21 * row;
    const std::size_t expected = 8 + 8 + 8 + 11 * 8 + directions * 8 + 6 * 8 + 4 * 8 + 4 * (8 + 5 * 4) +
                                 (8 + 3 * 16) + (8 + 1 * 20);
    EXPECT_EQ(bytes.size(), expected);

    tallies b(worker_sizes(2));
    std::size_t at = 0;
    b.decode(bytes, at, "test");
    EXPECT_EQ(at, bytes.size());
    std::string again;
    b.encode(again);
    EXPECT_EQ(again, bytes);
    EXPECT_EQ(b.esc_first, 1001);
    EXPECT_EQ(b.hist_hits[0].w, 0.5);

    // A total (the serial run's checkpoint's) holds its cells and goes
    // through the same way.
    tallies t(total_sizes(2));
    fill(t, 3.0);
    std::string ck;
    t.encode(ck);
    tallies u(total_sizes(2));
    at = 0;
    u.decode(ck, at, "checkpoint");
    std::string ck2;
    u.encode(ck2);
    EXPECT_EQ(ck2, ck);
    EXPECT_EQ(u.test_image[u.plane_at(4, u.cell(4, 1))], 0.125f);
}

TEST(Tallies, BytesThatDoNotFitAreRefusedNamingTheirSource) {
    tallies a(worker_sizes(2));
    fill(a, 1.0);
    std::string bytes;
    a.encode(bytes);
    auto refusal = [](const std::string& b, const tally_sizes& s) -> std::string {
        tallies t(s);
        std::size_t at = 0;
        try {
            t.decode(b, at, "part 2 of 3");
        } catch (const run_error& e) {
            return e.what();
        }
        return "";
    };
    // Cut anywhere: refused.
    for (std::size_t n = 0; n < bytes.size(); n += 97) {
        const std::string m = refusal(bytes.substr(0, n), worker_sizes(2));
        EXPECT_NE(m.find("part 2 of 3"), std::string::npos) << n << ": " << m;
    }
    EXPECT_NE(refusal(bytes.substr(0, bytes.size() - 1), worker_sizes(2)).find("cut short in table hist_hits"),
              std::string::npos);
    std::string tag = bytes;
    tag[0] = 'X';
    EXPECT_NE(refusal(tag, worker_sizes(2)).find("no tallies"), std::string::npos);
    EXPECT_EQ(refusal(bytes, worker_sizes(3)), "part 2 of 3: tallies of 2 directions, expected 3");
    // A table of another size.
    tally_sizes fewer = worker_sizes(2);
    fewer.escapes = 4;
    EXPECT_EQ(refusal(bytes, fewer), "part 2 of 3: table esc_lat holds 5 values, expected 4");
    // A hit outside the images.
    tallies b(worker_sizes(2));
    b.record(image_hit{1, 12, 1.0});
    std::string outside;
    b.encode(outside);
    EXPECT_NE(refusal(outside, worker_sizes(2)).find("outside the 12 cells"), std::string::npos);
    tallies h(worker_sizes(2));
    h.record(hist_hit{11, 1, 1, 1.0});
    std::string plane;
    h.encode(plane);
    EXPECT_NE(refusal(plane, worker_sizes(2)).find("outside the histogram"), std::string::npos);
}

TEST(Tallies, SquaresAreOfEachPhotonsWholeContributionToACell) {
    tally_sizes s;
    s.ntest = 2;
    tallies t(s);
    // Photon 1: orders 1..55, every scattering 1.0 toward k = 1 and 2.0 toward
    // k = 2; ring scatterings only (n_ring = order - 1, capped at 20).
    for (int iscat = 1; iscat <= 55; ++iscat) {
        t.begin_scattering(iscat < max_order ? iscat : max_order, 0, std::min(iscat - 1, max_ring_count));
        t.score(1, 1.0);
        t.score(2, 2.0);
    }
    t.end_photon();
    // Photon 2: two scatterings, the second seen from k = 1 only.
    t.begin_scattering(1, 0, 0);
    t.score(1, 0.5);
    t.score(2, 0.25);
    t.begin_scattering(2, 1, 0);
    t.score(1, 3.0);
    t.end_photon();

    EXPECT_EQ(t.testw_order_sq[t.order_at(1, 1)], 1.0 + 0.25);
    EXPECT_EQ(t.testw_order_sq[t.order_at(1, 2)], 4.0 + 0.0625);
    EXPECT_EQ(t.testw_order_sq[t.order_at(2, 1)], 1.0 + 9.0);
    EXPECT_EQ(t.testw_order_sq[t.order_at(2, 2)], 4.0);
    EXPECT_EQ(t.testw_order_sq[t.order_at(49, 1)], 1.0);
    // Orders 50 to 55 of photon 1 share the last cell: one square of their sum.
    EXPECT_EQ(t.testw_order[t.order_at(50, 1)], 6.0);
    EXPECT_EQ(t.testw_order_sq[t.order_at(50, 1)], 36.0);
    EXPECT_EQ(t.testw_order_sq[t.order_at(50, 2)], 144.0);
    // Ring counts 20 and more (scatterings 21..55) share the last column.
    EXPECT_EQ(t.testw_haze[t.haze_at(0, 20, 1)], 35.0);
    EXPECT_EQ(t.testw_haze_sq[t.haze_at(0, 20, 1)], 35.0 * 35.0);
    EXPECT_EQ(t.testw_haze_sq[t.haze_at(0, 19, 2)], 4.0);
    EXPECT_EQ(t.testw_haze_sq[t.haze_at(1, 0, 1)], 9.0);
    EXPECT_EQ(t.testw_haze_sq[t.haze_at(0, 0, 1)], 1.0 + 0.25);
    // The sums by order add up to the per-direction sums.
    for (int k = 1; k <= 2; ++k) {
        double all = 0.0;
        for (int o = 1; o <= max_order; ++o) all += t.testw_order[t.order_at(o, k)];
        EXPECT_EQ(all, t.testw[k]);
    }
    EXPECT_EQ(t.testw_n[1], 57.0);
    EXPECT_EQ(t.testw_sig[1], 55.0 + 0.25 + 9.0);
}

TEST(Tallies, SpreadOfASumFollowsTheRuleOfTestdCorr) {
    // Four photons of 1, 2, 3 and 4: sqrt(4 (30/4 - 2.5^2)) = sqrt(5).
    EXPECT_DOUBLE_EQ(sum_spread(10.0, 30.0, 4), std::sqrt(5.0));
    // Equal values that rounding makes a negative variance: 0.
    EXPECT_EQ(sum_spread(0.4, 0.04, 4), 0.0);
    EXPECT_EQ(sum_spread(0.0, 0.0, 0), 0.0);
}

// The exact totals: blocks added in any order give the same bits (sums that
// plain double addition rounds differently by order); their bytes added to
// fresh totals give the same totals, and bytes cut short, of other sizes or
// of other photons are refused naming their source.
TEST(ExactTotals, BlocksInAnyOrderGiveTheSameTotalsAndTheirBytesComeBack) {
    std::vector<tallies> blocks;
    for (int b = 0; b < 6; ++b) {
        tallies w(worker_sizes(2));
        w.begin_block(1 + 5 * b);  // photons 1-5, 6-10, 11-15 (11 and 12 kept), ...: beyond the run's 12
        fill(w, 0.1 * (b + 1));
        w.testw[1] = b % 2 == 0 ? 1e16 : 1.0 + 0.1 * b;  // order matters to a double sum of these
        blocks.push_back(std::move(w));
    }
    auto totals_in = [&](const std::vector<int>& order, tallies& t) {
        exact_totals e(t);
        for (int b : order) e.add(blocks[std::size_t(b)]);
        std::string bytes;
        e.encode(bytes, 1, 12);
        e.round_into_total();
        return bytes;
    };
    tallies a(total_sizes(2)), b(total_sizes(2));
    const std::string bytes = totals_in({0, 1, 2, 3, 4, 5}, a);
    EXPECT_EQ(totals_in({5, 3, 1, 4, 0, 2}, b), bytes);
    for (std::size_t i = 0; i < a.testw_haze.size(); ++i) ASSERT_EQ(a.testw_haze[i], b.testw_haze[i]) << i;
    EXPECT_EQ(a.testw[1], b.testw[1]);
    double forward = 0.0, backward = 0.0;
    for (int i = 0; i < 6; ++i) forward += blocks[std::size_t(i)].testw[1];
    for (int i = 5; i >= 0; --i) backward += blocks[std::size_t(i)].testw[1];
    EXPECT_NE(forward, backward);
    EXPECT_EQ(a.testw[1], 3e16 + 4.0);  // the exact sum 3e16 + 1.1 + 1.3 + 1.5, rounded once (spacing 4)
    EXPECT_EQ(a.test_image[a.plane_at(4, a.cell(4, 1))], 0.75f);
    EXPECT_EQ(a.ill_image[std::size_t(a.cell(2, 3))], 6);
    EXPECT_EQ(a.nsearch, 42);

    // The bytes back into fresh totals: the same bytes, the same rounded sums.
    tallies c(total_sizes(2));
    exact_totals e(c);
    std::size_t at = 0;
    e.add_encoded(bytes, at, "part 1 of 1", 1, 12);
    EXPECT_EQ(at, bytes.size());
    std::string again;
    e.encode(again, 1, 12);
    EXPECT_EQ(again, bytes);
    e.round_into_total();
    EXPECT_EQ(c.testw[1], a.testw[1]);
    EXPECT_EQ(c.esc_lat, a.esc_lat);

    auto refusal = [&](const std::string& b, std::int64_t first, const tally_sizes& s) -> std::string {
        tallies t(s);
        exact_totals x(t);
        std::size_t at = 0;
        try {
            x.add_encoded(b, at, "p2", first, 12);
        } catch (const run_error& e) {
            return e.what();
        }
        return "";
    };
    for (std::size_t n = 0; n < bytes.size(); n += 1009)
        EXPECT_NE(refusal(bytes.substr(0, n), 1, total_sizes(2)).find("p2: "), std::string::npos) << n;
    EXPECT_EQ(refusal(bytes, 2, total_sizes(2)),
              "p2: escape records of 12 photons from photon 1, expected 12 from photon 2");
    EXPECT_EQ(refusal(bytes, 1, total_sizes(3)), "p2: totals of 2 directions, expected 3");
    tally_sizes no_image = total_sizes(2);
    no_image.nxpix = no_image.nypix = 0;
    EXPECT_EQ(refusal(bytes, 1, no_image), "p2: table ill_image holds 12 values, expected 0");
}
