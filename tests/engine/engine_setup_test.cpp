// Engine set-up: the engine parameter file, the seed line, the run records
// and switches, the test-image file name, the limits of the fixed tables and
// the planet as the photon source.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "engine/engine_records.h"
#include "field/field_records.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "engine/engine_run.h"
#include "engine/mcnew_sub_2pos_image.h"
#include "support/engine_fixture.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

struct small_run {
    temp_dir dir;
    engine_call c{dir};
    small_run() {
        write_field_file(dir.file("field.pos"), random_field(20, 3.0, 3.0, 0.5, 0.5, 31));
        c.nxphot = 4;
        c.nyphot = 1;
    }
};

}  // namespace

TEST(EngineSetup, WithoutParameterFileTheDefaultsHoldAndNothingIsPrinted) {
    small_run s;
    s.c.run();
    engine_run run;
    read_engine_parameters(text80("junk"), run);
    EXPECT_EQ(run.ssca, 1.0);
    EXPECT_EQ(run.maxscat, 100);
    EXPECT_EQ(run.nbox, 10000);
    EXPECT_EQ(run.nboxvis, 10000);
    EXPECT_EQ(s.c.out.find("ssca,maxscat,nbox,nboxvis"), std::string::npos);
}

TEST(EngineSetup, ParameterFileIsEchoedAndNegativeNboxvisTakesNbox) {
    small_run s;
    s.c.parfile = text80(s.dir.file("par"));
    write_text_file(s.dir.file("par"), "0.5\n7\n20 -1\n");
    s.c.run();
    EXPECT_NE(s.c.out.find("ssca,maxscat,nbox,nboxvis\n0.5 7 20 -1\n"), std::string::npos) << s.c.out;
    value_reader r(s.dir.file("w.out"));
    r.real();
    r.text();
    r.real();
    r.real();
    r.integer();
    EXPECT_EQ(r.real(), 0.5);
    EXPECT_EQ(r.integer(), 7);
    EXPECT_EQ(r.integer(), 20);
    EXPECT_EQ(r.integer(), 20);
}

TEST(EngineSetup, NameBeginningWithJunkButLongerIsAFileToOpen) {
    small_run s;
    s.c.parfile = text80(s.dir.file("junk") + "x");  // missing
    EXPECT_THROW(s.c.run(), input_error);
    s.c.parfile = text80("junkx");
    EXPECT_THROW(s.c.run(), input_error);
}

TEST(EngineSetup, ShortParameterFileIsAnInputError) {
    small_run s;
    s.c.parfile = text80(s.dir.file("par"));
    write_text_file(s.dir.file("par"), "0.5\n7\n");
    try {
        s.c.run();
        FAIL() << "no error";
    } catch (const input_error& e) {
        EXPECT_NE(std::string(e.what()).find(s.dir.file("par")), std::string::npos) << e.what();
    }
}

TEST(EngineSetup, SeedLineShowsTheSeedAsLeftAndTheFirstDeviate) {
    small_run s;
    s.c.idum = -5;
    s.c.run();
    ran1_state st;
    std::int32_t seed = -5;
    float first = ran1(st, seed);
    auto at = s.c.out.find("idum,ran1 ");
    ASSERT_NE(at, std::string::npos);
    std::string rest = s.c.out.substr(at + 10);
    EXPECT_EQ(std::stoi(rest), 1);
    EXPECT_EQ(std::stof(rest.substr(rest.find(' ') + 1)), first);
    EXPECT_EQ(s.c.idum, -5);  // the caller's seed is not changed
}

TEST(EngineSetup, EmulationCodesSetTheirFlags) {
    const int expect[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (int code = 0; code <= 3; ++code) {
        engine_run run;
        set_emulation(code, run);
        EXPECT_EQ(run.emulate_a, expect[code][0]) << code;
        EXPECT_EQ(run.emulate_b, expect[code][1]) << code;
    }
}

TEST(EngineSetup, OneTestImageForSeveralDirectionsNoneForNone) {
    small_run s;
    s.c.nxpix = s.c.nypix = 2;
    s.c.testimage = text80(s.dir.file("pic"));
    const int ntests[3] = {0, 1, 3};
    const int images[3] = {0, 1, 1};
    for (int i = 0; i < 3; ++i) {
        s.c.ntest = ntests[i];
        for (int k = 1; k <= ntests[i]; ++k) s.c.set_direction(k, 40.0, 30.0 * k);
        s.c.run();
        // The header: version; npart, xl, yl, sy; nphot, nxpix, ntest; the
        // image and launch grids; the Sun; the directions; the pixel centres
        // (2 x 2, twice); then the number of test images.
        value_reader r(s.dir.file("pic.TESTIMAGE"));
        for (int v = 0; v < 1 + 4 + 3 + 2 + 2 + 2 + 2 * ntests[i] + 8; ++v) r.text();
        EXPECT_EQ(r.integer(), images[i]) << ntests[i] << " directions";
        EXPECT_EQ(r.integer(), 10);  // planes per image
    }
}

TEST(EngineSetup, TestImageNameIsThePrefixBeforeTheFirstBlank) {
    small_run s;
    s.c.nxpix = s.c.nypix = 2;
    s.c.testimage = text80(s.dir.file("pic") + " more words");
    s.c.run();
    EXPECT_TRUE(std::filesystem::exists(s.dir.file("pic.TESTIMAGE")));

    // A blank first character leaves the bare suffix, in the current folder.
    std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(s.dir.path());
    s.c.testimage = text80(" pic");
    s.c.run();
    std::filesystem::current_path(here);
    EXPECT_TRUE(std::filesystem::exists(s.dir.file(".TESTIMAGE")));
}

TEST(EngineSetup, NoImageWritesNoTestImageFile) {
    small_run s;
    s.c.nxpix = 0;
    s.c.run();
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("img.TESTIMAGE")));
}

TEST(EngineSetup, RequestsBeyondThe32BitCountsAreRejectedBeforeAnyFile) {
    small_run s;
    // 65536 x 32768 pixels: 2^31 cells, one past a 32-bit cell number.
    s.c.nxpix = 65536;
    s.c.nypix = 32768;
    auto refusal = [&] {
        try {
            s.c.run();
        } catch (const limit_error& e) {
            return std::string(e.what());
        }
        return std::string("no refusal");
    };
    EXPECT_NE(refusal().find("65536 x 32768 pixels; at most 2147483647 pixels"), std::string::npos);
    s.c.nxpix = 0;
    s.c.nxphot = 65536;
    s.c.nyphot = 32768;
    s.c.outfile = text80(s.dir.file("run.esc"));
    EXPECT_NE(refusal().find("nxphot * nyphot = 2147483648 photons; at most 2147483647"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("w.out")));
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("run.esc")));
}

TEST(EngineSetup, UnknownLawCodeIsRejectedAtSetUp) {
    small_run s;
    s.c.method = 17;
    EXPECT_THROW(s.c.run(), limit_error);
}

TEST(PlanetSource, EngineLaunchesExactlyThePlanetPhotonsAlongTheirDirections) {
    temp_dir dir;
    field_spec empty;
    empty.xl = empty.yl = 2.0;
    write_field_file(dir.file("field.pos"), empty);
    engine_call c(dir);
    c.outfile = text80(dir.file("esc.out"));
    c.nxphot = 10;
    c.nyphot = 10;  // the Sun's count; the planet gives 7
    c.irot = 1;     // planet directions are not rotated
    c.isat = 1;
    for (int m = 1; m <= 7; ++m) {
        double a = 0.3 * m, z = -0.1 * m;
        double h = std::sqrt(1.0 - z * z);
        c.planet.add_photons(1, -h * std::cos(a), h * std::sin(a), z);
    }
    c.run();
    EXPECT_EQ(c.ndirect, 7);
    value_reader r(dir.file("esc.out"));
    r.real();
    r.text();
    r.real();
    r.real();
    EXPECT_EQ(r.integer(), 7);  // photons launched
    std::vector<std::string> lines = read_lines(dir.file("esc.out"));
    ASSERT_EQ(lines.size(), 24u);
    // Each photon travels away from its source point: lat = asin(-z_source).
    for (int m = 1; m <= 7; ++m) EXPECT_FLOAT_EQ(c.totals->esc_lat[std::size_t(m - 1)], float(std::asin(-c.planet.zsat[m])));
}

TEST(PlanetSource, PlanetBudgetWithoutAnyPhotonEndsTheRunWithAMessage) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(10, 2.0, 2.0, 0.3, 0.3, 32));
    engine_call c(dir);
    c.isat = 1;
    try {
        c.run();
        FAIL() << "no error";
    } catch (const limit_error& e) {
        EXPECT_NE(std::string(e.what()).find("no photon"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("w.out")));
}
