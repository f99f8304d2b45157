// The run statistics: the spread of each direction's brightness from the
// per-photon sums, the directions with too few contributions, a variance
// that rounding makes negative, and the unscattered fraction's optical depths.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/engine_output.h"
#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/tallies.h"
#include "field/field_records.h"

using namespace quillet;

namespace {

// A finished run of nphot photons and ntest directions, its tallies zero.
struct statistics_run {
    engine_run run;
    tallies t;
    statistics_run(int nphot, int ntest) : t(tally_sizes{ntest}) {
        run.nphot = nphot;
        run.ntest = ntest;
        run.bsun = 30.0;
        run.totals = &t;
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
