// The shipped example: examples/ring.pos is exactly what examples/make-ring.sh
// writes, it is the field the example promises (a few thousand particles,
// optical depth about 0.5, filling factor 0.05 to 0.1, no overlaps), and both
// example decks read as the 33 records of a parameter deck.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>

#include "field_tool_run.h"
#include "format/free_reader.h"
#include "support/run_binary.h"

using namespace quillet_test;

namespace {

const std::filesystem::path examples = std::filesystem::path(QUILLET_SOURCE_DIR) / "examples";

struct deck_summary {
    std::string posfile, outfile, epsfile, wfile, testimage;
    std::int32_t ntest = 0, nxphot = 0, nyphot = 0, mx = 0, my = 0, isat = -1, model_sat = 0, isquare = -1;
    std::int32_t nxpix = 0, nypix = 0;
    int records = 0;
};

// Reads a deck record by record in the order and with the types of the
// parameter deck (direction list form), counting the numbered records.
deck_summary read_deck_file(const std::filesystem::path& p) {
    quillet::free_reader in(p.string());
    deck_summary d;
    std::string s;
    double x = 0;
    std::int32_t i = 0;
    auto rec = [&](const char* what) {
        in.begin_record(what);
        ++d.records;
    };
    rec("posfile");
    in.read(d.posfile);
    rec("bsun lonsun");
    in.read(x);
    in.read(x);
    rec("ntest");
    in.read(d.ntest);
    if (d.ntest < 1) in.fail("a list of observer directions");
    ++d.records;  // record 4: the ntest direction lines
    for (int k = 0; k < d.ntest; ++k) {
        in.begin_record("latobs fiiobs");
        in.read(x);
        in.read(x);
    }
    d.records += 3;  // records 5 to 7 belong to the grid form only
    rec("nxphot nyphot mx my");
    in.read(d.nxphot);
    in.read(d.nyphot);
    in.read(d.mx);
    in.read(d.my);
    rec("parfile");
    in.read(s);
    rec("outfile");
    in.read(d.outfile);
    rec("epsfile");
    in.read(d.epsfile);
    rec("wfile");
    in.read(d.wfile);
    rec("method");
    in.read(i);
    rec("ppar");
    for (int k = 0; k < 3; ++k) in.read(x);
    rec("posfile_haze");
    in.read(s);
    rec("method_haze");
    in.read(i);
    rec("ppar_haze");
    for (int k = 0; k < 3; ++k) in.read(x);
    rec("ssca");
    in.read(x);
    in.read(x);
    rec("icheck");
    in.read(i);
    rec("idum");
    in.read(i);
    if (i >= 0) in.fail("a negative seed");
    rec("sredu zredu");
    in.read(x);
    in.read(x);
    rec("sizemin");
    in.read(x);
    rec("s20 f20");
    in.read(x);
    in.read(x);
    rec("isat");
    in.read(d.isat);
    rec("distance");
    in.read(x);
    rec("nlat_sat nfii_sat");
    in.read(i);
    in.read(i);
    rec("model_sat");
    in.read(d.model_sat);
    rec("irot");
    in.read(i);
    rec("isquare");
    in.read(d.isquare);
    rec("testimage");
    in.read(d.testimage);
    rec("nxpix nypix");
    in.read(d.nxpix);
    in.read(d.nypix);
    rec("idebug");
    in.read(i);
    rec("iemulate");
    in.read(i);
    if (!in.at_end()) in.fail("the end of the deck after record 33");
    return d;
}

}  // namespace

TEST(ExampleFiles, ShippedRingFieldIsExactlyWhatMakeRingWrites) {
    scratch_dir dir;
    quillet::test_support::process_result r = quillet::test_support::run_binary(
        "/usr/bin/env", "", dir.path("").string(),
        {"QUILLET_FIELD=" + std::string(QUILLET_FIELD_BINARY), "bash", (examples / "make-ring.sh").string(),
         dir.path("ring.pos").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string shipped = file_bytes(examples / "ring.pos");
    ASSERT_FALSE(shipped.empty());
    EXPECT_TRUE(shipped == file_bytes(dir.path("ring.pos")))
        << "examples/ring.pos differs from what examples/make-ring.sh writes now";
}

TEST(ExampleFiles, ShippedRingFieldHasTheOpticalDepthAndFillingFactorItPromises) {
    pos_file f = read_pos_file(examples / "ring.pos");
    EXPECT_GE(f.part.size(), 2000u);
    EXPECT_LE(f.part.size(), 5000u);
    EXPECT_NEAR(optical_depth(f), 0.5, 0.01);
    double zmin = 0, zmax = 0;
    for (const pos_particle& p : f.part) {
        zmin = std::min(zmin, p.z - p.r);
        zmax = std::max(zmax, p.z + p.r);
    }
    double d = sphere_volume(f) / (cell_area(f) * (zmax - zmin));
    EXPECT_GE(d, 0.05);
    EXPECT_LE(d, 0.1);
    EXPECT_NE(f.sy, 0.0);  // a sheared cell breaks the lattice of periodic copies
    EXPECT_EQ(census(f).overlapping, 0);
    // Rays at 30 degrees elevation cross the layer within a fraction of the cell.
    EXPECT_LT((zmax - zmin) / std::tan(30.0 * std::numbers::pi / 180.0), 0.25 * 2.0 * std::min(f.xl, f.yl));
}

TEST(ExampleFiles, SunDeckReadsAsThirtyThreeRecordsWithEveryResultFileOn) {
    deck_summary d = read_deck_file(examples / "example.deck");
    EXPECT_EQ(d.records, 33);
    EXPECT_TRUE(std::filesystem::exists(examples / d.posfile)) << d.posfile;
    EXPECT_EQ(d.ntest, 5);
    EXPECT_EQ(d.isat, 0);
    EXPECT_LE(d.isquare, 1);
    EXPECT_NEAR(double(d.nxphot) * d.nyphot, 40000.0, 10000.0);
    EXPECT_EQ(d.outfile, "out/example.esc");
    EXPECT_EQ(d.epsfile, "out/example.hist");
    EXPECT_EQ(d.wfile, "out/example.dir");
    EXPECT_EQ(d.testimage, "out/example");
    EXPECT_GE(d.nxpix, 1);
    EXPECT_GE(d.nypix, 1);
}

TEST(ExampleFiles, PlanetDeckReadsAsThirtyThreeRecordsWithThePlanetAsSource) {
    deck_summary d = read_deck_file(examples / "planet.deck");
    EXPECT_EQ(d.records, 33);
    EXPECT_TRUE(std::filesystem::exists(examples / d.posfile)) << d.posfile;
    EXPECT_EQ(d.isat, 1);
    EXPECT_EQ(d.model_sat, 4);
    EXPECT_EQ(d.outfile, "out/planet.esc");
    EXPECT_EQ(d.testimage, "out/planet");
}
