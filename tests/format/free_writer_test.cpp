// The one number layout of the program's output: items separated by one
// blank, integers in decimal, reals in the shortest form that reads back to
// the same value (double or float) with ".0" when they would look like
// integers, text at full width.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "format/free_reader.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "format/text_field.h"
#include "support/stdout_capture.h"

using namespace quillet;

namespace {

std::uint64_t bits_of(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

std::uint32_t bits_of(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

}  // namespace

TEST(FreeWriter, IntegersInDecimalSeparatedByOneBlank) {
    EXPECT_EQ(free_format(std::int32_t(0), std::int32_t(-5), std::int32_t(2147483647)), "0 -5 2147483647");
    EXPECT_EQ(free_format(std::int64_t(1) << 40, std::int32_t(std::numeric_limits<std::int32_t>::min())),
              "1099511627776 -2147483648");
}

TEST(FreeWriter, RealsThatLookIntegralGetPointZero) {
    EXPECT_EQ(free_format(30.0), "30.0");
    EXPECT_EQ(free_format(0.0), "0.0");
    EXPECT_EQ(free_format(-0.0), "-0.0");
    EXPECT_EQ(free_format(-2.0), "-2.0");
    EXPECT_EQ(free_format(123456789.0), "123456789.0");
    EXPECT_EQ(free_format(9999.0f), "9999.0");
    EXPECT_EQ(free_format(1.0e30), "1e+30");
    EXPECT_EQ(free_format(2.5e-7), "2.5e-07");
    EXPECT_EQ(free_format(0.1), "0.1");
    EXPECT_EQ(free_format(0.5, 1.0e22), "0.5 1e+22");
}

TEST(FreeWriter, FloatsAreWrittenInTheirOwnShortestForm) {
    EXPECT_EQ(free_format(0.1f), "0.1");
    EXPECT_EQ(free_format(double(0.1f)), "0.10000000149011612");
    EXPECT_EQ(free_format(0.39004248f), "0.39004248");
    EXPECT_EQ(free_format(1.0f), "1.0");
}

TEST(FreeWriter, NonFiniteValuesStillReadAsReals) {
    for (double v : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
        std::string s = free_format(v);
        std::FILE* f = std::tmpfile();
        std::fputs((s + "\n").c_str(), f);
        std::rewind(f);
        free_reader in(f, "written");
        in.begin_record("r");
        double back = 0.0;
        EXPECT_TRUE(in.read(back)) << s;
        if (std::isnan(v))
            EXPECT_TRUE(std::isnan(back)) << s;
        else
            EXPECT_EQ(back, v) << s;
        std::fclose(f);
    }
}

TEST(FreeWriter, RandomDoublesRoundTripBitForBitThroughTheReader) {
    std::mt19937_64 gen(20040727);
    std::FILE* f = std::tmpfile();
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) {
        double v;
        do {
            std::uint64_t u = gen();
            std::memcpy(&v, &u, sizeof v);
        } while (!std::isfinite(v));
        values.push_back(v);
        // also ordinary magnitudes, where most of the run's numbers live
        values.push_back(std::ldexp(double(gen() >> 11), -53) * 1000.0 - 500.0);
    }
    for (double v : values) put_record(f, v);
    std::rewind(f);
    free_reader in(f, "written");
    for (double v : values) {
        in.begin_record("r");
        double back = 0.0;
        ASSERT_TRUE(in.read(back));
        ASSERT_EQ(bits_of(back), bits_of(v)) << free_format(v);
    }
    EXPECT_TRUE(in.at_end());
    std::fclose(f);
}

TEST(FreeWriter, RandomFloatsRoundTripBitForBitAsFloats) {
    std::mt19937 gen(1986);
    for (int i = 0; i < 50000; ++i) {
        float v;
        do {
            std::uint32_t u = gen();
            std::memcpy(&v, &u, sizeof v);
        } while (!std::isfinite(v));
        std::string s = free_format(v);
        float back = std::strtof(s.c_str(), nullptr);
        ASSERT_EQ(bits_of(back), bits_of(v)) << s;
    }
}

TEST(FreeWriter, WrittenRealsNeverReadAsIntegers) {
    for (double v : {1.0, 30.0, -7.0, 1.0e15, 100.0}) {
        std::string s = free_format(v);
        std::FILE* f = std::tmpfile();
        std::fputs((s + "\n").c_str(), f);
        std::rewind(f);
        free_reader in(f, "written");
        in.begin_record("r");
        std::int32_t n = 0;
        EXPECT_THROW(in.read(n), input_error) << s;
        std::fclose(f);
    }
}

TEST(FreeWriter, TextItemsKeepTheirFullWidthAndTrailingBlanks) {
    text80 name("ring.pos");
    text30 law("HG-sphere-center");
    EXPECT_EQ(free_format("POSFILE=     ", name), "POSFILE=      ring.pos" + std::string(72, ' '));
    EXPECT_EQ(free_format(" METHOD    = ", std::int32_t(3), "  ", law),
              " METHOD    =  3    HG-sphere-center" + std::string(14, ' '));
    EXPECT_EQ(free_format("NTEST        ", std::int32_t(6)), "NTEST         6");
    EXPECT_EQ(free_format("", std::int32_t(1)), " 1");
}

TEST(FreeWriter, SayPrintsOneLineOnStandardOutput) {
    std::string out = test_support::capture_stdout([] {
        say("flux_sat,nphot", 0.0, std::int32_t(144));
        say(std::int32_t(2), std::int32_t(2), std::int32_t(10), std::int32_t(10));
    });
    EXPECT_EQ(out, "flux_sat,nphot 0.0 144\n2 2 10 10\n");
}

TEST(FreeWriter, LongRecordIsOneLineWithEveryItem) {
    std::FILE* f = std::tmpfile();
    record_writer w(f);
    const int n = 30000;  // well past the writer's partial flush
    for (int i = 1; i <= n; ++i) w << double(i) / 7.0;
    w.end();
    w << std::int32_t(5) << "tail";
    w.end();
    std::rewind(f);
    free_reader in(f, "written");
    in.begin_record("long");
    for (int i = 1; i <= n; ++i) {
        double v = 0.0;
        ASSERT_TRUE(in.read(v));
        ASSERT_EQ(v, double(i) / 7.0);
    }
    EXPECT_EQ(in.line(), 1);
    in.begin_record("short");
    std::int32_t k = 0;
    std::string s;
    in.read(k);
    in.read(s);
    EXPECT_EQ(k, 5);
    EXPECT_EQ(s, "tail");
    EXPECT_TRUE(in.at_end());
    std::fclose(f);
}
