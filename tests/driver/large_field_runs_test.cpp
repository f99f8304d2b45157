// The program's guarantees on a field beyond the old fixed tables (422,500
// particles with their edge copies on a 450 x 450 grid, 120 observer
// directions): three parts merged and a run stopped after its first
// checkpoint and resumed write the bytes of the one-process threaded run.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>

#include "checkpoint_fixture.h"
#include "support/engine_fixture.h"

namespace {

using namespace quillet::test_support;

class LargeFieldRun : public CheckpointRun {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        // Six loads of the large field 10 to 30 times slower: the small
        // fields' part, merge and resume tests take these paths there.
        GTEST_SKIP() << "the large field under the sanitizers";
#endif
        quillet::testing_support::write_field_file(dir_.path() + "/lattice.pos",
                                                   quillet::testing_support::lattice_field(650));
        deck_values d;
        d.posfile = "lattice.pos";
        d.ntest = 120;
        d.directions.clear();
        for (double lat : {20.0, 45.0, 70.0})
            for (int a = 0; a < 40; ++a) d.directions.push_back({lat, 1000.0 + 4.5 * a});
        d.nxphot = 60;
        d.nyphot = 100;  // 6,000 photons: 6 blocks
        d.mx = d.my = 450;
        d.method = 4;
        d.ppar1 = -0.3;
        d.ssca_part = 0.9;
        d.bsun = 35.0;
        d.idum = -77;
        d.irot = 1;
        d.isquare = 0;
        d.wfile = "run.w";
        d.outfile = "run.esc";
        deck_ = d.text();
        reference_threaded_ = run_dir("ref-threaded");
        process_result t = in(reference_threaded_, {"--threads", "2", "--quiet"});
        ASSERT_EQ(t.status, 0) << t.err;
        threaded_report_ = t.out;
        ASSERT_NE(t.out.find("npart"), std::string::npos);
    }

    std::string run_dir(const std::string& name) {
        const std::string d = dir_.path() + "/" + name;
        fs::create_directory(d);
        fs::create_symlink(dir_.path() + "/lattice.pos", d + "/lattice.pos");
        return d;
    }
};

TEST_F(LargeFieldRun, PartsMergedAndAResumedRunGiveTheOneProcessThreadedBytes) {
    const std::string parts = run_dir("parts");
    for (int k = 1; k <= 3; ++k) {
        process_result p = in(parts, {"--threads", std::to_string(k % 2 + 1), "--part", std::to_string(k) + "/3",
                                      "--partial", "part" + std::to_string(k), "--quiet"});
        ASSERT_EQ(p.status, 0) << p.err;
    }
    process_result m = in(parts, {"--merge", "part2", "part3", "part1", "--quiet"});
    ASSERT_EQ(m.status, 0) << m.err;
    expect_same_results(parts, reference_threaded_, m.out, threaded_report_);

    const std::string resumed = run_dir("resumed");
    const int status = stop_after_first_checkpoint(resumed, {"--threads", "2", "--quiet"}, SIGINT);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << slurp(resumed + "/err");
    process_result r = in(resumed, {"--resume", "ck", "--threads", "2", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_results(resumed, reference_threaded_, r.out, threaded_report_);
}

}  // namespace
