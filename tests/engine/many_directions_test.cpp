// Ten thousand observer directions in one run: the peel-off draws nothing, so
// each direction's sums are those of a run of a few of the directions, in the
// serial and in the threaded run; a field without haze keeps one row of the
// haze table, and the run's estimate of its memory stays near its tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/mcnew_sub_2pos_image.h"
#include "engine/run_memory.h"
#include "support/engine_fixture.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

constexpr int ndir = 10000;

run_config many_direction_run(const temp_dir& dir, const std::vector<int>& kept) {
    field_spec f;
    f.xl = f.yl = 6.0;
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j)
            f.particles.push_back({0.45, -5.5 + i + 0.05 * (j % 3), -5.5 + j + 0.05 * (i % 4), 0.1 * ((i + j) % 5 - 2)});
    write_field_file(dir.file("field.pos"), f);
    run_config cfg;
    cfg.nxphot = cfg.nyphot = 12;
    cfg.posfile = text80(dir.file("field.pos"));
    cfg.outfile = text80("junk");
    cfg.parfile = text80("junk");
    cfg.epsfile = text80("junk");
    cfg.posfile_haze = text80("junk");
    cfg.wfile = text80(dir.file("w.out"));
    cfg.bsun = 40.0;
    cfg.idum = -7;
    cfg.mx = cfg.my = 6;
    cfg.method = 4;
    cfg.ppar1 = -0.2;
    cfg.ssca_part = 0.8;
    cfg.ssca_haze = 1.0;
    cfg.method_haze = 2;
    std::vector<double> lat{0.0}, fii{0.0};
    for (int k : kept) {
        lat.push_back(10.0 + 0.007 * k);
        fii.push_back(0.036 * k);
    }
    cfg.set_directions(lat, fii);
    return cfg;
}

TEST(ManyDirections, TenThousandDirectionsGiveWhatRunsOfAFewGive) {
    temp_dir dir;
    std::vector<int> all, few;
    for (int k = 1; k <= ndir; ++k) all.push_back(k);
    for (int k = 1; k <= ndir; k += 997) few.push_back(k);
    for (bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "threaded" : "serial");
        run_options options = engine_call::quiet_options();
        options.parallel = {threaded, 2, 0, 1, 0};
        ::testing::internal::CaptureStdout();
        const engine_result whole = mcnew_sub_2pos_image(many_direction_run(dir, all), nullptr, options);
        const engine_result part = mcnew_sub_2pos_image(many_direction_run(dir, few), nullptr, options);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(whole.ntest, ndir);
        EXPECT_EQ(whole.haze_rows, 1) << "no haze particles: one row of the haze table";
        EXPECT_EQ(whole.haze_sums.size(), std::size_t(max_ring_count + 1) * (ndir + 1));
        double seen = 0.0;
        for (std::size_t j = 0; j < few.size(); ++j) {
            const int k = few[j], i = int(j) + 1;
            EXPECT_EQ(whole.testw[k], part.testw[i]) << "direction " << k;
            EXPECT_EQ(whole.testd_corr[k], part.testd_corr[i]) << "direction " << k;
            EXPECT_EQ(whole.testw_n[k], part.testw_n[i]) << "direction " << k;
            for (int order = 1; order <= max_order; ++order)
                EXPECT_EQ(whole.w_order(order, k), part.w_order(order, i)) << "direction " << k << " order " << order;
            for (int ir = 0; ir <= max_ring_count; ++ir)
                EXPECT_EQ(whole.w_haze(0, ir, k), part.w_haze(0, ir, i)) << "direction " << k << " rings " << ir;
            EXPECT_EQ(whole.w_haze(1, 0, k), 0.0);
            seen += whole.testw[k];
        }
        EXPECT_GT(seen, 0.0) << "the sample sees light";
    }
    // Without haze a direction takes about 17.5 kB in a run on two threads
    // (244 kB with the haze table's 51 rows).
    run_memory_sizes s;
    s.ntest = ndir;
    s.workers = 2;
    const double bytes = run_memory(s)[0].bytes;
    EXPECT_LT(bytes, 180e6);
    s.haze = true;
    EXPECT_GT(run_memory(s)[0].bytes, 2.4e9);
}

}  // namespace
