// Fields written by quillet-field load through the simulator's own reader,
// part_read_2pos, with the optical depth, layer bounds and edge copies that
// the generator reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "support/field_fixture.h"
#include "field_tool_run.h"
#include "support/stdout_capture.h"

using namespace quillet;
using namespace quillet_test;

namespace {

// The records part_read_2pos reads, in a quiet state: no scaling, no size cut
// or enlargement, no report lines, no debug file.
void quiet_field_records() {
    field.sredu = 1.0;
    field.zredu = 1.0;
    field.tau = 0.0;
}

// Writes a field with `args` and loads it with part_read_2pos; returns the report.
std::string generate_and_load(const scratch_dir& dir, std::vector<std::string> args) {
    const std::string path = dir.path("field.pos").string();
    args.insert(args.end(), {"-o", path});
    tool_run r = run_field_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    quiet_field_records();
    test_support::capture_stdout([&] { part_read_2pos(field, text80(path), text80("junk")); });
    return r.err;
}

}  // namespace

TEST(FieldReadback, PartRead2posFindsTheReportedOpticalDepthLayerAndEdgeCopies) {
    scratch_dir dir;
    const std::vector<std::vector<std::string>> requests = {
        {"--xl", "30", "--yl", "20", "--sy", "8", "--radius", "1", "--tau", "0.5", "--filling", "0.07"},
        {"--xl", "25", "--yl", "25", "--sy", "31", "--rmin", "0.2", "--rmax", "2", "--q", "3", "--tau", "1.2",
         "--filling", "0.15", "--seed", "4"},
        {"--xl", "20", "--yl", "30", "--radius", "0.5", "--tau", "0.3", "--scale-height", "3", "--seed", "9"},
    };
    for (const auto& req : requests) {
        std::string report = generate_and_load(dir, req);
        const std::string what = req[1] + " " + req[3] + " " + req[7];
        const double tau = reported_value(report, "tau");
        const double n = reported_value(report, "particles");
        const double copies = reported_value(report, "edge copies");
        EXPECT_NEAR(field.tau, tau, 1e-12 * tau) << what;
        EXPECT_EQ(double(field.npartori), n) << what;
        EXPECT_EQ(double(field.npart), n + copies) << what;
        // The layer bounds as the generator found them.
        const std::string zline = report.substr(report.find("zmin,zmax ") + 10);
        const double zmin = std::stod(zline), zmax = std::stod(zline.substr(zline.find(' ')));
        EXPECT_EQ(field.zmin, zmin) << what;
        EXPECT_EQ(field.zmax, zmax) << what;
        EXPECT_LT(field.zmin, 0.0);
        EXPECT_GT(field.zmax, 0.0);
    }
}

TEST(FieldReadback, ShippedExampleFieldLoadsWithOpticalDepthOneHalf) {
    quiet_field_records();
    const std::string path = std::string(QUILLET_SOURCE_DIR) + "/examples/ring.pos";
    test_support::capture_stdout([&] { part_read_2pos(field, text80(path), text80("junk")); });
    EXPECT_NEAR(field.tau, 0.5, 0.001);
    EXPECT_EQ(field.npartori, 3119);
    EXPECT_EQ(field.xl, 70.0);
    EXPECT_EQ(field.sy, 20.0);
}
