#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "support/field_fixture.h"

using namespace quillet;
using fixture::sphere;

namespace {

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string padded(const std::string& s, std::size_t w = 80) { return s + std::string(w - s.size(), ' '); }

// How the tests build the field (the fixture starts each test at icheck 0,
// no size cut, no enlargement, no diagnostic files).
field_build_options options;

// Loads `file` (and `haze`, or "junk") and returns the report lines.
std::vector<std::string> load(const std::string& file, const std::string& haze = "junk") {
    testing::internal::CaptureStdout();
    try {
        part_read_2pos(field, text80(file), text80(haze), options);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return split_lines(testing::internal::GetCapturedStdout());
}

double area(std::initializer_list<double> radii) {
    double a = 0.0;
    for (double r : radii) a += std::numbers::pi * (r * r);
    return a;
}

// Three ring particles in a 20 x 10 cell whose shear 12.5 folds to 2.5: one in
// the middle (no copies), one reaching over x = +xl, one over y = +yl.
const std::vector<sphere> three = {{1.0, 0.0, 0.0, 0.0}, {0.5, 9.75, 0.0, 1.0}, {2.0, -3.0, 4.0, -1.0}};

class PartRead2pos : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        options = field_build_options{};
        options.icheck = 0;
        path = fixture::scratch_path("three.pos");
        fixture::write_position_file(path, three, 10.0, 5.0, 12.5, "ringA", 2.25);
    }
    std::string path;
};

}  // namespace

TEST_F(PartRead2pos, PrintsTheReadingReportLineByLine) {
    std::vector<std::string> got = load(path);
    std::vector<std::string> want = {
        "entering part_read_2pos",
        "file =  " + padded(path),
        "file_haze =  " + padded("junk"),
        "============================",
        "posdat: " + padded("ringA"),
        "orb,xl,yl,sy 2.25 10.0 5.0 12.5",
        "original npart  3",
        "sy:  12.5 2.5",
        "file_haze " + padded("junk"),
        "duplicate edges  5",
        "zmin,zmax -3.0 1.5",
        "============================",
    };
    EXPECT_EQ(got, want);
}

TEST_F(PartRead2pos, NegativePrintLevelKeepsOnlyTheUnconditionalLines) {
    options.icheck = -1;
    std::vector<std::string> want = {
        "entering part_read_2pos", "file =  " + padded(path), "file_haze =  " + padded("junk"),
        "sy:  12.5 2.5",           "file_haze " + padded("junk"),
    };
    EXPECT_EQ(load(path), want);
}

TEST_F(PartRead2pos, FillsTablesGeometryOpticalDepthAndEdgeCopiesInOrder) {
    load(path);
    EXPECT_EQ(field.npartori, 3);
    ASSERT_EQ(field.npart, 5);
    EXPECT_EQ(field.xl, 10.0);
    EXPECT_EQ(field.yl, 5.0);
    EXPECT_EQ(field.sy, 2.5);
    EXPECT_EQ(field.xl2, 20.0);
    EXPECT_EQ(field.yl2, 10.0);
    EXPECT_EQ(field.zmin, -3.0);
    EXPECT_EQ(field.zmax, 1.5);
    EXPECT_DOUBLE_EQ(field.tau, std::numbers::pi * 5.25 / 200.0);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(field.rpart[i], three[i - 1].r);
        EXPECT_EQ(field.xpart[i], three[i - 1].x);
        EXPECT_EQ(field.ypart[i], three[i - 1].y);
        EXPECT_EQ(field.zpart[i], three[i - 1].z);
    }
    // Particle 2's image one period to the left, shifted down by the shear;
    // particle 3's image one period down.
    EXPECT_EQ(field.xpart[4], 9.75 - 20.0);
    EXPECT_EQ(field.ypart[4], -2.5);
    EXPECT_EQ(field.zpart[4], 1.0);
    EXPECT_EQ(field.rpart[4], 0.5);
    EXPECT_EQ(field.xpart[5], -3.0);
    EXPECT_EQ(field.ypart[5], -6.0);
    EXPECT_EQ(field.rpart[5], 2.0);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(field.itype[i], 1);
}

TEST_F(PartRead2pos, ShearFoldingLeavesPlusAndMinusYlUnchanged) {
    struct { double read, folded; } cases[] = {{12.5, 2.5}, {5.0, 5.0}, {-5.0, -5.0}, {-12.5, -2.5}, {5.5, -4.5}};
    for (auto c : cases) {
        fixture::write_position_file(path, three, 10.0, 5.0, c.read);
        load(path);
        EXPECT_EQ(field.sy, c.folded) << "sy read as " << c.read;
    }
}

TEST_F(PartRead2pos, RadiusAndHeightFactorsScaleRingParticles) {
    field.sredu = 2.0;
    field.zredu = 0.5;
    load(path);
    EXPECT_EQ(field.rpart[3], 4.0);
    EXPECT_EQ(field.zpart[3], -0.5);
    EXPECT_EQ(field.zmin, -4.5);  // particle 3: -0.5 - 4
    EXPECT_EQ(field.zmax, 3.5);   // particle 3: -0.5 + 4
    EXPECT_DOUBLE_EQ(field.tau, area({2.0, 1.0, 4.0}) / 200.0);
}

TEST_F(PartRead2pos, SizeCutKeepsRadiusEqualToSizeminAndTheOrderButNotTheLayerBounds) {
    std::vector<sphere> four = {{1.0, 1.0, 0.0, 0.0}, {0.5, 2.0, 0.0, -4.0}, {2.0, 3.0, 0.0, 0.0}, {0.999, 4.0, 0.0, 0.0}};
    fixture::write_position_file(path, four, 10.0, 5.0, 0.0);
    options.sizemin = 1.0;
    std::vector<std::string> got = load(path);
    const double tau = area({1.0, 0.5, 2.0, 0.999}) / 200.0, tau_mod = area({1.0, 2.0}) / 200.0;
    EXPECT_NE(std::find(got.begin(), got.end(), "sizemin: TAU, TAU_MOD  " + free_format(1.0, tau, tau_mod)), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), "sizemin: N, N_MOD  1.0 4 2"), got.end());
    EXPECT_EQ(field.npart, 2);
    EXPECT_EQ(field.npartori, 4);
    EXPECT_EQ(field.xpart[1], 1.0);
    EXPECT_EQ(field.xpart[2], 3.0);
    EXPECT_EQ(field.rpart[2], 2.0);
    EXPECT_EQ(field.zmin, -4.5);  // from the particle that was cut
    EXPECT_EQ(field.tau, tau_mod);
}

TEST_F(PartRead2pos, EnlargementIncludesRadiusEqualToS20) {
    std::vector<sphere> two = {{0.5, 1.0, 0.0, 0.0}, {0.6, 3.0, 0.0, 0.0}};
    fixture::write_position_file(path, two, 10.0, 5.0, 0.0);
    options.s20 = 0.5;
    options.f20 = 3.0;
    std::vector<std::string> got = load(path);
    EXPECT_EQ(field.rpart[1], 1.5);
    EXPECT_EQ(field.rpart[2], 0.6);
    const double tau = area({0.5, 0.6}) / 200.0, tau_mod = area({1.5, 0.6}) / 200.0;
    EXPECT_NE(std::find(got.begin(), got.end(), "s20,f20: TAU, TAU_MOD  " + free_format(0.5, 3.0, tau, tau_mod)),
              got.end());
    EXPECT_EQ(field.tau, tau_mod);
    EXPECT_EQ(field.zmax, 0.6);  // bounds keep the radii as read
}

TEST_F(PartRead2pos, EmptyFileGivesNoParticlesButStillPrintsTheSizeLines) {
    fixture::write_position_file(path, {}, 10.0, 5.0, 0.0);
    options.sizemin = 0.1;
    options.s20 = 0.2;
    options.f20 = 2.0;
    std::vector<std::string> got = load(path);
    EXPECT_EQ(field.npart, 0);
    EXPECT_EQ(field.tau, 0.0);
    EXPECT_EQ(field.zmin, 0.0);
    EXPECT_EQ(field.zmax, 0.0);
    EXPECT_NE(std::find(got.begin(), got.end(), "sizemin: TAU, TAU_MOD  0.1 0.0 0.0"), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), "sizemin: N, N_MOD  0.1 0 0"), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), "s20,f20: TAU, TAU_MOD  0.2 2.0 0.0 0.0"), got.end());
}

TEST_F(PartRead2pos, LayerBoundsStartAtZero) {
    fixture::write_position_file(path, {{1.0, 0.0, 0.0, 5.0}}, 10.0, 5.0, 0.0);
    load(path);
    EXPECT_EQ(field.zmin, 0.0);
    EXPECT_EQ(field.zmax, 6.0);
}

TEST_F(PartRead2pos, CornerParticleGetsThreeCopiesAndMiddleParticleNone) {
    fixture::write_position_file(path, {{0.5, 10.0, 5.0, 0.0}, {0.5, 1.0, 1.0, 0.0}}, 10.0, 5.0, 0.0);
    load(path);
    ASSERT_EQ(field.npart, 5);
    // (m, k) = (-1, -1), (-1, 0), (0, -1), in that order.
    EXPECT_EQ(field.xpart[3], -10.0);
    EXPECT_EQ(field.ypart[3], -5.0);
    EXPECT_EQ(field.xpart[4], -10.0);
    EXPECT_EQ(field.ypart[4], 5.0);
    EXPECT_EQ(field.xpart[5], 10.0);
    EXPECT_EQ(field.ypart[5], -5.0);
}

TEST_F(PartRead2pos, HazeIsNeitherScaledNorCutButIsCopied) {
    const std::string haze = fixture::scratch_path("haze.pos");
    // Haze particle at the corner (two copies with this shear) and one in the
    // middle; the geometry of the haze file is ignored.
    fixture::write_position_file(haze, {{0.1, 10.0, 5.0, 2.0}, {0.05, 0.0, 0.0, -7.0}}, 99.0, 99.0, 3.0, "hazeB");
    field.sredu = 2.0;
    field.zredu = 0.5;
    options.sizemin = 0.9;
    std::vector<std::string> got = load(path, haze);
    // Ring: radii 2, 1, 4 (all survive the cut); haze particles 4 and 5 unchanged.
    ASSERT_EQ(field.npart, 3 + 2 + 2 + 2);  // ring 3, haze 2, ring copies 2, haze corner copies 2
    EXPECT_EQ(field.rpart[4], 0.1);
    EXPECT_EQ(field.zpart[4], 2.0);
    EXPECT_EQ(field.rpart[5], 0.05);
    EXPECT_EQ(field.zpart[5], -7.0);
    EXPECT_EQ(field.itype[4], 2);
    EXPECT_EQ(field.itype[5], 2);
    EXPECT_EQ(field.xl, 10.0);
    EXPECT_EQ(field.sy, 2.5);
    // Copies: ring particles 2 and 3 first (kind 1), then haze particle 4 (kind 2).
    EXPECT_EQ(field.itype[6], 1);
    EXPECT_EQ(field.itype[7], 1);
    for (int i = 8; i <= 9; ++i) {
        EXPECT_EQ(field.itype[i], 2);
        EXPECT_EQ(field.rpart[i], 0.1);
        EXPECT_EQ(field.zpart[i], 2.0);
    }
    // (m, k) = (-1, 0): one period left and shear 2.5 down; (0, -1): one period down.
    EXPECT_EQ(field.xpart[8], -10.0);
    EXPECT_EQ(field.ypart[8], 2.5);
    EXPECT_EQ(field.xpart[9], 10.0);
    EXPECT_EQ(field.ypart[9], -5.0);
    EXPECT_EQ(field.zmin, -7.05);
    const double tau_ring = area({2.0, 1.0, 4.0}) / 200.0;
    EXPECT_DOUBLE_EQ(field.tau, tau_ring + area({0.1, 0.05}) / 200.0);
    std::vector<std::string> want_tail = {
        "file_haze " + padded(haze),
        "============================",
        "reading haze particles      ",
        "posdat: " + padded("hazeB"),
        "npart_haze  2",
        "before adding haze:",
        "tau " + free_format(tau_ring),
        "zz -4.5 3.5",
        "after adding haze:",
        "tau " + free_format(field.tau),
        "zz -7.05 3.5",
        "duplicate edges  9",
        "zmin,zmax -7.05 3.5",
        "============================",
    };
    ASSERT_GE(got.size(), want_tail.size());
    EXPECT_EQ(std::vector<std::string>(got.end() - long(want_tail.size()), got.end()), want_tail);
}

TEST_F(PartRead2pos, HazeFileWithEmptyNameIsOpenedAndFails) {
    EXPECT_THROW(load(path, ""), input_error);
}

TEST_F(PartRead2pos, CheckPosFileListsGeometryCountAndEveryParticle) {
    options.idebug = 1;
    const std::string prefix = fixture::scratch_path("img");
    options.testimage = text80(prefix + " rest-after-blank");
    load(path);
    std::ifstream in(prefix + ".CHECK_POS");
    ASSERT_TRUE(in.good());
    std::vector<std::string> got;
    for (std::string line; std::getline(in, line);) got.push_back(line);
    std::vector<std::string> want = {"10.0 5.0 -3.0 1.5 2.5", "5",
                                     "0.0 0.0 0.0 1.0 1",     "9.75 0.0 1.0 0.5 1",
                                     "-3.0 4.0 -1.0 2.0 1",   "-10.25 -2.5 1.0 0.5 1",
                                     "-3.0 -6.0 -1.0 2.0 1"};
    EXPECT_EQ(got, want);
}

TEST_F(PartRead2pos, NoCheckPosFileWithoutDebug) {
    const std::string prefix = fixture::scratch_path("quiet");
    options.testimage = text80(prefix);
    load(path);
    EXPECT_FALSE(std::ifstream(prefix + ".CHECK_POS").good());
}

// Rejections: each names the file, the line and the record where it can.

void write_text(const std::string& file, const std::string& text) { std::ofstream(file) << text; }

// The message of the error E that loading the files raises ("" and a test
// failure when it loads without one).
template <class E>
std::string load_failure(const std::string& file, const std::string& haze = "junk") {
    try {
        load(file, haze);
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "no error";
    return "";
}

TEST_F(PartRead2pos, MissingFileIsRejectedWithItsName) {
    const std::string missing = fixture::scratch_path("no-such.pos");
    const std::string m = load_failure<input_error>(missing);
    EXPECT_NE(m.find(missing), std::string::npos) << m;
}

TEST_F(PartRead2pos, CountLargerThanTheLinesIsRejectedAtTheFirstMissingParticle) {
    write_text(path, "t\n1\n0 10 5 0\n3\n1 0 0 0\n1 2 0 0\n");
    const std::string m = load_failure<input_error>(path);
    EXPECT_NE(m.find(path), std::string::npos) << m;
    EXPECT_NE(m.find("particle 3 (radius, x, y, z)"), std::string::npos) << m;
    EXPECT_NE(m.find("ended"), std::string::npos) << m;
    // A count of fifty million in a file of 32 bytes takes the room its
    // lines could fill (7 bytes a line at least), not 2.4 GB.
    write_text(path, "t\n1\n0 10 5 0\n50000000\n1 0 0 0\n");
    field = particle_field{};
    EXPECT_NE(load_failure<input_error>(path).find("particle 2 (radius, x, y, z)"), std::string::npos);
    EXPECT_LE(field.xpart.capacity(), 4u);
}

TEST_F(PartRead2pos, TextWhereANumberBelongsIsRejectedWithLineAndRecord) {
    write_text(path, "t\n1\n0 10 5 0\n2\n1 0 0 0\n1 abc 0 0\n");
    const std::string m = load_failure<input_error>(path);
    EXPECT_NE(m.find(path + ", line 6, particle 2 (radius, x, y, z)"), std::string::npos) << m;
    EXPECT_NE(m.find("expected a number"), std::string::npos) << m;
}

TEST_F(PartRead2pos, NegativeCountIsRejected) {
    write_text(path, "t\n1\n0 10 5 0\n-2\n");
    EXPECT_THROW(load(path), input_error);
}

TEST_F(PartRead2pos, CellWithoutWidthIsRejected) {
    fixture::write_position_file(path, three, 0.0, 5.0, 0.0);
    const std::string m = load_failure<input_error>(path);
    EXPECT_NE(m.find("record 3"), std::string::npos) << m;
}

TEST_F(PartRead2pos, RingCountBeyondThe32BitParticleNumbersIsRejectedBeforeReading) {
    write_text(path, "t\n1\n0 10 5 0\n2147483631\n");
    const std::string m = load_failure<limit_error>(path);
    EXPECT_NE(m.find(path + ", line 4, record 4 (number of particles): 2147483631 particles, more than the "
                            "2147483630 a 32-bit particle number counts"),
              std::string::npos)
        << m;
}

TEST_F(PartRead2pos, HazeCountThatOverflowsTheParticleNumbersIsRejected) {
    const std::string haze = fixture::scratch_path("big-haze.pos");
    write_text(haze, "h\n1\n0 0 0 0\n2147483628\n");
    const std::string m = load_failure<limit_error>(path, haze);
    EXPECT_NE(m.find(haze), std::string::npos) << m;
    EXPECT_NE(m.find("2147483631 particles"), std::string::npos) << m;
}

TEST_F(PartRead2pos, TheRunWeighsTheFieldWithItsExactEdgeCopiesBeforeTheyTakeRoom) {
    // Two corner particles with three copies each, one reaching over x = +xl
    // with one copy, one in the middle with none: 7 copies of 4 particles.
    write_text(path, "t\n1\n0 10 5 0\n4\n0.5 9.9 4.9 0\n0.5 -9.9 -4.9 0\n0.5 9.75 0 0\n1 0 0 0\n");
    std::int64_t seen_particles = -1, seen_copies = -1;
    std::size_t room_then = 0;
    options.before_copies = [&](const particle_field&, std::int64_t particles, std::int64_t copies) {
        seen_particles = particles;
        seen_copies = copies;
        room_then = field.xpart.capacity();
    };
    load(path);
    EXPECT_EQ(seen_particles, 4);
    EXPECT_EQ(seen_copies, 7);
    EXPECT_EQ(room_then, 5u) << "the copies were not yet in the tables";
    EXPECT_EQ(field.npart, 11);
    EXPECT_EQ(field.xpart.capacity(), 12u) << "the tables take the room of their entries, no more";
    // A refusal there leaves the tables without the copies.
    options.before_copies = [](const particle_field&, std::int64_t, std::int64_t) { throw limit_error("no room"); };
    field = particle_field{};
    EXPECT_EQ(load_failure<limit_error>(path), "no room");
    EXPECT_EQ(field.xpart.size(), 5u);
    options.before_copies = nullptr;
}

// ---- the shear fold and the images of a particle ----

TEST(FoldShift, ShiftThatTenStepsLeaveJustOutsideIsFoldedInside) {
    // -2.1 with yl = 0.1: ten additions of 0.2 end at -0.10000000000000042.
    double ten = -2.1;
    for (int pass = 0; pass < 10; ++pass) {
        if (ten > 0.1) ten -= 0.2;
        if (ten < -0.1) ten += 0.2;
    }
    ASSERT_LT(ten, -0.1);
    const double sy = fold_shift(-2.1, 0.1);
    EXPECT_LE(std::fabs(sy), 0.1);
    // One period of 0.2 away from the value the ten steps reached.
    EXPECT_NEAR(std::fabs(sy), 0.1, 1e-15);
}

TEST(FoldShift, EveryShiftWithin21CellHalfHeightsLandsInsideAndTenStepResultsStand) {
    std::uint64_t state = 12345;
    auto uniform = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return double(state >> 11) * 0x1.0p-53;
    };
    int refolded = 0;
    for (int n = 0; n < 200000; ++n) {
        const double yl = std::ldexp(0.5 + uniform(), int(uniform() * 20.0) - 10);
        // Multiples of yl and their neighbours are where rounding bites.
        const double read = uniform() < 0.5 ? (2.0 * uniform() - 1.0) * 21.0 * yl
                                              : std::nextafter(std::round((2.0 * uniform() - 1.0) * 21.0) * yl,
                                                               uniform() < 0.5 ? 0.0 : 1e300);
        if (!(std::fabs(read) <= 21.0 * yl)) continue;
        double ten = read;
        for (int pass = 0; pass < 10; ++pass) {
            if (ten > yl) ten -= 2.0 * yl;
            if (ten < -yl) ten += 2.0 * yl;
        }
        const double sy = fold_shift(read, yl);
        ASSERT_LE(std::fabs(sy), yl) << read << " " << yl;
        if (std::fabs(ten) <= yl) {
            ASSERT_EQ(sy, ten) << read << " " << yl;
        } else {
            ++refolded;
            // The same shift up to whole periods 2 yl.
            const double periods = (read - sy) / (2.0 * yl);
            ASSERT_NEAR(periods, std::round(periods), 1e-9) << read << " " << yl;
        }
    }
    EXPECT_GT(refolded, 0);  // the sample does reach the rounding cases
}

TEST_F(PartRead2pos, EveryEntryKnowsWhichParticleItIsAnImageOf) {
    load(path);
    const std::int32_t n = 3;
    for (std::int32_t i = 1; i <= n; ++i) EXPECT_EQ(field.iorig[i], i);
    ASSERT_GT(field.npart, n);
    for (std::int32_t j = n + 1; j <= field.npart; ++j) {
        const std::int32_t i = field.iorig[j];
        ASSERT_GE(i, 1);
        ASSERT_LE(i, n);
        EXPECT_EQ(field.rpart[j], field.rpart[i]) << j;
        EXPECT_EQ(field.zpart[j], field.zpart[i]) << j;
        // A whole number of periods in x, each shifting y by sy, then periods in y.
        const double m = (field.xpart[j] - field.xpart[i]) / field.xl2;
        ASSERT_EQ(m, std::round(m)) << j;
        const double k = (field.ypart[j] - field.ypart[i] - m * field.sy) / field.yl2;
        EXPECT_NEAR(k, std::round(k), 1e-12) << j;
        if (j > n + 1) {
            EXPECT_GE(i, field.iorig[j - 1]);  // stored in the order of their originals
        }
    }
}

TEST(ImageHolding, FindsTheImageWhoseSphereHoldsThePointAmongAllImages) {
    fixture::reset_field();
    // Particle 2 sits in the corner: three copies; particles 1 and 3 have copies too.
    fixture::set_field({{0.5, 1.8, 0.0, 0.0}, {0.4, -1.9, 1.9, 0.1}, {0.3, 0.0, -1.85, 0.0}, {0.2, 0.0, 0.0, 0.0}},
                       2.0, 2.0, 0.0);
    for (std::int32_t j = 1; j <= field.npart; ++j) {
        const std::int32_t i = field.iorig[j];
        // From every image's centre and from a point on its surface, every
        // image of the same particle leads back to that image.
        for (std::int32_t from = 1; from <= field.npart; ++from) {
            if (field.iorig[from] != i) continue;
            EXPECT_EQ(image_holding(field, from, field.xpart[j], field.ypart[j], field.zpart[j]), j)
                << from << " " << j;
            EXPECT_EQ(image_holding(field, from, field.xpart[j], field.ypart[j], field.zpart[j] + field.rpart[j]), j);
        }
    }
    // The middle particle has no copies: it is its own only image.
    EXPECT_EQ(image_holding(field, 4, 0.0, 0.0, 0.0), 4);
}
