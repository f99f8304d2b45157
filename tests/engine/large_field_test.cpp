// A field beyond the old fixed tables (422,500 particles with their edge
// copies on a 450 x 450 grid, 120 observer directions): the tables are sized
// from the file and the deck, and on a sample of photons the cell walk finds
// what the scan of every cell finds, in the serial and in the threaded run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/engine_fixture.h"
#include "support/physics_run.h"
#include "trace/trace_records.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

struct run_values {
    std::vector<double> testw, testd_corr, testw_n, order;
    std::int32_t npart = 0, ndirect = 0;
    double iscat_mean = 0.0, npot_mean = 0.0;
};

run_values run_once(engine_call& c, bool threaded, bool full_scan) {
    c.options.parallel = {threaded, 2, 0, 1, 0};
    c.options.full_scan = full_scan;
    c.run();
    run_values v;
    for (int k = 1; k <= c.ntest; ++k) {
        v.testw.push_back(c.testw[k]);
        v.testd_corr.push_back(c.testd_corr[k]);
        v.testw_n.push_back(c.testw_n[k]);
        for (int order = 1; order <= max_order; ++order) v.order.push_back(c.w_order[order][k]);
    }
    v.npart = c.npart;
    v.ndirect = c.ndirect;
    v.iscat_mean = c.iscat_mean;
    v.npot_mean = c.npot_mean;
    return v;
}

TEST(LargeField, BeyondTheOldTablesTheCellWalkFindsWhatTheFullScanFinds) {
    const auto start = std::chrono::steady_clock::now();
    temp_dir dir;
    write_field_file(dir.file("field.pos"), lattice_field(650));
    engine_call c(dir);
    c.method = 4;  // Henyey-Greenstein, back-scattering
    c.ppar1 = -0.3;
    c.ssca_part = 0.9;
    c.bsun = 35.0;
    c.irot = 1;
    c.mx = c.my = 450;  // 202,500 cells
    c.nxphot = c.nyphot = physics::photons(5, 2);
    c.ntest = 120;
    int k = 0;
    for (double lat : {20.0, 45.0, 70.0})
        for (int a = 0; a < 40; ++a) c.set_direction(++k, lat, 1000.0 + 4.5 * a);
    ASSERT_EQ(k, 120);

    for (bool threaded : {false, true}) {
        // Under the sanitizers (runs 10 to 30 times slower) the threaded run
        // alone, which takes every path the serial one takes.
        if (physics::under_sanitizers && !threaded) continue;
        SCOPED_TRACE(threaded ? "threaded" : "serial");
        const run_values walk = run_once(c, threaded, false);
        const run_values scan = run_once(c, threaded, true);
        EXPECT_EQ(walk.npart, 422500 + 2 * 650 + 1) << "every sphere of the first row and column has a copy";
        EXPECT_GT(walk.npart, 400000);
        EXPECT_EQ(walk.npart, scan.npart);
        EXPECT_EQ(walk.ndirect, scan.ndirect);
        EXPECT_EQ(walk.iscat_mean, scan.iscat_mean);
        EXPECT_EQ(walk.testw, scan.testw);
        EXPECT_EQ(walk.testd_corr, scan.testd_corr);
        EXPECT_EQ(walk.testw_n, scan.testw_n);
        EXPECT_EQ(walk.order, scan.order);
        EXPECT_LT(walk.npot_mean, scan.npot_mean) << "the walk tests fewer candidates";
        // The sample scatters and every direction sees light.
        EXPECT_GT(walk.iscat_mean, 0.5);
        for (int j = 0; j < 120; ++j) EXPECT_GT(walk.testw[j], 0.0) << "direction " << j + 1;
    }
    std::printf("large field: %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
