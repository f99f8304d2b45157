// The run statistics: the spread of each direction's brightness from the
// per-photon sums, the directions with too few contributions, a variance
// that rounding makes negative, and the unscattered fraction's optical depths.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/engine_output.h"
#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/photon_state.h"
#include "field/field_records.h"

using namespace quillet;

namespace {

engine_run statistics_run(int nphot, int ntest) {
    engine_run run;
    run.nphot = nphot;
    run.ntest = ntest;
    run.bsun = 30.0;
    clear_block_sums();
    return run;
}

}  // namespace

TEST(RunStatistics, SpreadIsRootOfNTimesThePerPhotonVariance) {
    // Four photons whose brightness toward direction 1 was 1, 2, 3 and 4.
    engine_run run = statistics_run(4, 1);
    com7.testw[1] = 10.0;
    com7.testw_n[1] = 6.0;
    engine_sums.sum_all[1] = 10.0;
    engine_sums.sumsq_all[1] = 30.0;
    engine_stats st = run_statistics(run, 0.0);
    EXPECT_DOUBLE_EQ(st.testd_corr[1], std::sqrt(5.0));
    EXPECT_EQ(st.testw_sig[1], st.testd_corr[1]);
    EXPECT_EQ(st.testw_mean, 10.0);
    // The sums stay as the photons left them.
    EXPECT_EQ(engine_sums.sum_all[1], 10.0);
    EXPECT_EQ(engine_sums.sumsq_all[1], 30.0);
    EXPECT_EQ(com7.testw_sig[1], 0.0);
}

TEST(RunStatistics, DirectionsWithFewerThanTwoContributionsKeepTheirSums) {
    engine_run run = statistics_run(4, 2);
    com7.testw[1] = 0.3;
    com7.testw_sig[1] = 0.09;  // one contribution c: c squared
    com7.testw_n[1] = 1.0;
    engine_sums.sum_all[1] = 0.3;
    engine_sums.sumsq_all[1] = 0.09;
    engine_stats st = run_statistics(run, 0.0);
    EXPECT_EQ(st.testd_corr[1], 0.0);
    EXPECT_EQ(st.testw_sig[1], 0.09);
    EXPECT_EQ(st.testd_corr[2], 0.0);
    EXPECT_EQ(st.testw_sig[2], 0.0);
}

TEST(RunStatistics, VarianceMadeNegativeByRoundingGivesZeroSpreadNotNan) {
    // Four equal contributions of 0.1: q - m^2 = 0.01 - 0.010000000000000002.
    engine_run run = statistics_run(4, 1);
    com7.testw_n[1] = 4.0;
    engine_sums.sum_all[1] = 0.4;
    engine_sums.sumsq_all[1] = 0.04;
    ASSERT_LT(0.04 / 4.0 - (0.4 / 4.0) * (0.4 / 4.0), 0.0);
    engine_stats st = run_statistics(run, 0.0);
    EXPECT_EQ(st.testd_corr[1], 0.0);
    EXPECT_EQ(st.testw_sig[1], 0.0);
}

TEST(RunStatistics, NoUnscatteredPhotonGivesOpticalDepth9999) {
    engine_run run = statistics_run(10, 0);
    engine_stats st = run_statistics(run, 0.0);
    EXPECT_EQ(st.fdir, 0.0);
    EXPECT_EQ(st.tau_p, 9999.0);
    EXPECT_EQ(st.tau_n, 9999.0);
    EXPECT_EQ(st.testw_mean, 0.0);
    EXPECT_EQ(st.npot_mean, 0.0f);  // no candidate search: the count of calls is taken as 1

    engine_sums.ndirect = 5;
    engine_sums.nsearch = 25;
    st = run_statistics(run, 0.0);
    EXPECT_EQ(st.fdir, 0.5);
    EXPECT_DOUBLE_EQ(st.tau_p, std::log(2.0));
    EXPECT_NEAR(st.tau_n, std::log(2.0) * 0.5, 1e-15);
    EXPECT_EQ(st.iscat_mean, 1.5f);
}
