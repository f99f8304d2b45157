// Fixed-column fields of the report. Expected texts are those a Fortran
// runtime writes for the same edit descriptors (checked once against
// gfortran 12 output for these values).
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

#include "driver/fixed_layout.h"
#include "driver/run_report.h"
#include "driver/viewing_geometry.h"

using namespace quillet;

TEST(FixedLayout, FFieldRoundsAndRightAligns) {
    EXPECT_EQ(fortran_f(30.0, 8, 3), "  30.000");
    EXPECT_EQ(fortran_f(56.52332, 8, 3), "  56.523");
    EXPECT_EQ(fortran_f(40.0, 12, 6), "   40.000000");
    EXPECT_EQ(fortran_f(1234.5678, 8, 3), "1234.568");
    EXPECT_EQ(fortran_f(0.0005, 8, 3), "   0.001");  // the binary value lies just above the tie
    EXPECT_EQ(fortran_f(0.0625, 8, 3), "   0.062");  // an exact tie goes to even
    EXPECT_EQ(fortran_f(-0.0625, 8, 3), "  -0.062");
    EXPECT_EQ(fortran_f(2.5, 8, 3), "   2.500");
}

TEST(FixedLayout, FFieldKeepsTheSignOfValuesThatRoundToZero) {
    EXPECT_EQ(fortran_f(-0.0, 8, 3), "  -0.000");
    EXPECT_EQ(fortran_f(-0.0004, 8, 3), "  -0.000");
    EXPECT_EQ(fortran_f(-1e-7, 12, 6), "   -0.000000");
}

TEST(FixedLayout, FFieldTooNarrowFillsWithAsterisks) {
    EXPECT_EQ(fortran_f(9999.9994, 8, 3), "9999.999");
    EXPECT_EQ(fortran_f(9999.9996, 8, 3), "********");  // rounds to 10000.000, nine characters
    EXPECT_EQ(fortran_f(-999.9994, 8, 3), "-999.999");
    EXPECT_EQ(fortran_f(-999.9996, 8, 3), "********");
    EXPECT_EQ(fortran_f(1e10, 12, 6), "************");
    EXPECT_EQ(fortran_f(1e300, 8, 3), "********");
}

TEST(FixedLayout, FFieldDropsTheOptionalLeadingZeroOnlyWhenNeeded) {
    EXPECT_EQ(fortran_f(0.5, 4, 3), ".500");
    EXPECT_EQ(fortran_f(-0.5, 5, 3), "-.500");
    EXPECT_EQ(fortran_f(0.5, 5, 3), "0.500");
    EXPECT_EQ(fortran_f(-0.5, 4, 3), "****");
}

TEST(FixedLayout, FFieldOfNonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fortran_f(std::nan(""), 8, 3), "     NaN");
    EXPECT_EQ(fortran_f(inf, 8, 3), "Infinity");
    EXPECT_EQ(fortran_f(-inf, 8, 3), "    -Inf");
    EXPECT_EQ(fortran_f(-inf, 12, 6), "   -Infinity");
}

TEST(FixedLayout, IAndAFields) {
    EXPECT_EQ(fortran_i(9, 2), " 9");
    EXPECT_EQ(fortran_i(2024, 4), "2024");
    EXPECT_EQ(fortran_i(12345, 4), "****");
    EXPECT_EQ(fortran_i(-5, 2), "-5");
    EXPECT_EQ(fortran_i(-10, 2), "**");
    EXPECT_EQ(fortran_a("lat,fii,alpha", 16), "   lat,fii,alpha");
    EXPECT_EQ(fortran_a("abcdefgh", 5), "abcde");
}

TEST(FixedLayout, DirectionLineOfThe44CharacterExample) {
    std::string line = direction_line(30.0, 56.52332, 40.0);
    EXPECT_EQ(line, "   lat,fii,alpha  30.000  56.523   40.000000");
    EXPECT_EQ(line.size(), 44u);
}

TEST(FixedLayout, DateTimeLineFillsItsColumnsWithBlanks) {
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 4;  // May
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 3;
    t.tm_sec = 7;
    EXPECT_EQ(date_time_line(t), " 2024- 5- 7   9: 3: 7");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
    EXPECT_EQ(date_time_line(t), " 2024-12-31  23:59:58");
}
