// The run statistics: the spread of each direction's brightness from the
// per-photon sums, the directions with too few contributions, a variance
// that rounding makes negative, the unscattered fraction's optical depths,
// and the spread of each order's sum against independent runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "engine/engine_output.h"
#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/parallel_run.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "support/engine_fixture.h"

using namespace quillet;

namespace {

// A finished run of nphot photons and ntest directions, its tallies zero.
struct statistics_run {
    engine_run run;
    tallies t;
    run_options options;
    run_session session{options};
    statistics_run(int nphot, int ntest) : t(tally_sizes{ntest}) {
        run.nphot = nphot;
        run.ntest = ntest;
        run.bsun = 30.0;
        run.totals = &t;
        run.options = &options;
        run.session = &session;
    }
};

}  // namespace

TEST(RunStatistics, SpreadIsRootOfNTimesThePerPhotonVariance) {
    // Four photons whose brightness toward direction 1 was 1, 2, 3 and 4.
    statistics_run s(4, 1);
    s.t.testw[1] = 10.0;
    s.t.testw_n[1] = 6.0;
    s.t.sum_all[1] = 10.0;
    s.t.sumsq_all[1] = 30.0;
    engine_stats st = run_statistics(s.run, 0.0);
    EXPECT_DOUBLE_EQ(st.testd_corr[1], std::sqrt(5.0));
    EXPECT_EQ(st.testw_sig[1], st.testd_corr[1]);
    EXPECT_EQ(st.testw_mean, 10.0);
    // The sums stay as the photons left them.
    EXPECT_EQ(s.t.sum_all[1], 10.0);
    EXPECT_EQ(s.t.sumsq_all[1], 30.0);
    EXPECT_EQ(s.t.testw_sig[1], 0.0);
}

TEST(RunStatistics, DirectionsWithFewerThanTwoContributionsKeepTheirSums) {
    statistics_run s(4, 2);
    s.t.testw[1] = 0.3;
    s.t.testw_sig[1] = 0.09;  // one contribution c: c squared
    s.t.testw_n[1] = 1.0;
    s.t.sum_all[1] = 0.3;
    s.t.sumsq_all[1] = 0.09;
    engine_stats st = run_statistics(s.run, 0.0);
    EXPECT_EQ(st.testd_corr[1], 0.0);
    EXPECT_EQ(st.testw_sig[1], 0.09);
    EXPECT_EQ(st.testd_corr[2], 0.0);
    EXPECT_EQ(st.testw_sig[2], 0.0);
}

TEST(RunStatistics, VarianceMadeNegativeByRoundingGivesZeroSpreadNotNan) {
    // Four equal contributions of 0.1: q - m^2 = 0.01 - 0.010000000000000002.
    statistics_run s(4, 1);
    s.t.testw_n[1] = 4.0;
    s.t.sum_all[1] = 0.4;
    s.t.sumsq_all[1] = 0.04;
    ASSERT_LT(0.04 / 4.0 - (0.4 / 4.0) * (0.4 / 4.0), 0.0);
    engine_stats st = run_statistics(s.run, 0.0);
    EXPECT_EQ(st.testd_corr[1], 0.0);
    EXPECT_EQ(st.testw_sig[1], 0.0);
}

TEST(RunStatistics, NoUnscatteredPhotonGivesOpticalDepth9999) {
    statistics_run s(10, 0);
    engine_stats st = run_statistics(s.run, 0.0);
    EXPECT_EQ(st.fdir, 0.0);
    EXPECT_EQ(st.tau_p, 9999.0);
    EXPECT_EQ(st.tau_n, 9999.0);
    EXPECT_EQ(st.testw_mean, 0.0);
    EXPECT_EQ(st.npot_mean, 0.0f);  // no candidate search: the count of calls is taken as 1

    s.t.ndirect = 5;
    s.t.nsearch = 25;
    st = run_statistics(s.run, 0.0);
    EXPECT_EQ(st.fdir, 0.5);
    EXPECT_DOUBLE_EQ(st.tau_p, std::log(2.0));
    EXPECT_NEAR(st.tau_n, std::log(2.0) * 0.5, 1e-15);
    EXPECT_EQ(st.iscat_mean, 1.5f);
}

namespace {

using namespace quillet::testing_support;

// Runs of one field and deck that differ only in their seed: ring particles
// of albedo 0.9 (isotropic law), three directions, random launch.
engine_call seeded_run(const temp_dir& dir, std::int32_t seed, std::int32_t nphot, bool threaded = false) {
    engine_call c(dir);
    c.options.parallel = {threaded, 2, 0, 1, 0};
    c.nxphot = nphot;
    c.nyphot = 1;
    c.idum = seed;
    c.irot = 1;
    c.ssca_part = 0.9;
    c.ntest = 3;
    c.set_direction(1, 30.0, 20.0);
    c.set_direction(2, 60.0, 90.0);
    c.set_direction(3, 15.0, 150.0);
    c.run();
    return c;
}

}  // namespace

TEST(OrderErrors, FirstOrderSumsAreThoseOfEachPhotonsFirstScattering) {
    // A photon's contribution to order 1 is its brightness after its first
    // scattering: the order table's sum and squares are the first-scattering
    // sums, bit for bit, serial and threaded.
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(300, 5.0, 5.0, 0.8, 1.5, 31));
    for (bool threaded : {false, true}) {
        engine_call c = seeded_run(dir, -5, 2500, threaded);
        const tallies& t = *c.totals;
        for (int k = 1; k <= 3; ++k) {
            ASSERT_GT(t.sum_first[k], 0.0);
            EXPECT_EQ(t.testw_order[t.order_at(1, k)], t.sum_first[k]) << k;
            EXPECT_EQ(t.testw_order_sq[t.order_at(1, k)], t.sumsq_first[k]) << k;
        }
    }
}

TEST(OrderErrors, SpreadOfEachOrderMatchesTheScatterOfIndependentRuns) {
    // Each run's spread of an order's sum estimates the standard deviation of
    // that sum; over independent runs (seeds -1..-runs) the sums then scatter
    // about their mean with z = (w_r - mean) / spread_r of variance 1. Pooled
    // over orders 1..4 (the three directions of one order share their
    // photons, so they count as one), the mean of z^2 has the standard
    // deviation sqrt(2 / (orders (runs - 1))); it must lie within 4 of them
    // of 1 (spreads off by a factor of 1.3 give 0.59 or 1.69, beyond).
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(300, 5.0, 5.0, 0.8, 1.5, 31));
    constexpr int runs = 40, orders = 4, nphot = 1500;
    double w[runs][orders + 1][4] = {}, s[runs][orders + 1][4] = {};
    for (int r = 0; r < runs; ++r) {
        engine_call c = seeded_run(dir, -(r + 1), nphot);
        const tallies& t = *c.totals;
        for (int o = 1; o <= orders; ++o)
            for (int k = 1; k <= 3; ++k) {
                const std::size_t i = t.order_at(o, k);
                w[r][o][k] = t.testw_order[i];
                s[r][o][k] = sum_spread(t.testw_order[i], t.testw_order_sq[i], nphot);
                ASSERT_GT(s[r][o][k], 0.0) << "run " << r << " order " << o << " k " << k;
            }
    }
    double z2 = 0.0;
    for (int o = 1; o <= orders; ++o)
        for (int k = 1; k <= 3; ++k) {
            double mean = 0.0;
            for (int r = 0; r < runs; ++r) mean += w[r][o][k] / runs;
            for (int r = 0; r < runs; ++r) {
                const double z = (w[r][o][k] - mean) / s[r][o][k];
                z2 += z * z;
            }
        }
    const double stat = z2 / (3.0 * orders * (runs - 1));
    const double sd = std::sqrt(2.0 / (orders * (runs - 1)));
    std::printf("order spreads: mean z^2 %.3f (tolerance %.3f)\n", stat, 4.0 * sd);
    EXPECT_NEAR(stat, 1.0, 4.0 * sd);
}
