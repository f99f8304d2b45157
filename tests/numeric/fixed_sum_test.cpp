// The fixed-point sums: the same terms in any order give the same bits, which
// are the exact sum (checked against 128-bit integer sums of the same terms);
// the sum is rounded once to the nearest double or float, ties to even (the
// integer sums' own conversions as the reference); what lies outside the
// range is refused, what lies below the resolution dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numeric/fixed_sum.h"

using namespace quillet;

namespace {

// Random doubles of both signs, their exponents spread evenly over
// [lo, hi), every bit of the mantissa random.
std::vector<double> random_terms(std::size_t n, int lo, int hi, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int> exponent(lo, hi - 1);
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t mant = (gen() >> 11) | (std::uint64_t(1) << 52);  // 53 bits, top bit set
        const double d = std::ldexp(double(mant), exponent(gen) - 52);
        v.push_back((gen() & 1) != 0 ? -d : d);
    }
    return v;
}

template <int N>
fixed_sum<N> sum_of(const std::vector<double>& v) {
    fixed_sum<N> s;
    for (double d : v) EXPECT_TRUE(s.add(d)) << d;
    return s;
}

// A 128-bit integer times 2^shift as the limbs of a fixed256 (two's
// complement, sign extended).
fixed256 from_int128(__int128 x, int shift) {
    fixed256 f;
    const unsigned __int128 u = static_cast<unsigned __int128>(x);
    const std::uint64_t fill = x < 0 ? ~std::uint64_t(0) : 0;
    std::uint64_t wide[6] = {std::uint64_t(u), std::uint64_t(u >> 64), fill, fill, fill, fill};
    // Shift the 384-bit value left by `shift` (< 128) and keep 256 bits.
    const int w = shift / 64, b = shift % 64;
    for (int i = 3; i >= 0; --i) {
        const int from = i - w;
        std::uint64_t v = from >= 0 ? wide[from] << b : 0;
        if (b != 0 && from - 1 >= 0) v |= wide[from - 1] >> (64 - b);
        f.limb[i] = v;
    }
    return f;
}

}  // namespace

TEST(FixedSum, AnyOrderGivesTheSameBitsOverAWideRangeOfExponents) {
    // Terms from 2^-138 to 2^40, both signs, their lowest bits down to
    // 2^-190: every bit lies within the sum's resolution.
    std::vector<double> v = random_terms(3000, -138, 40, 11);
    const fixed256 first = sum_of<4>(v);
    std::mt19937_64 gen(5);
    for (int round = 0; round < 25; ++round) {
        std::shuffle(v.begin(), v.end(), gen);
        const fixed256 again = sum_of<4>(v);
        ASSERT_TRUE(again == first) << "order " << round;
        EXPECT_EQ(again.to_double(), first.to_double());
    }
    // Summed in pieces and the pieces added in another order: the same.
    fixed256 pieces[7];
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_TRUE(pieces[(i * 31) % 7].add(v[i]));
    fixed256 total;
    for (int p : {4, 0, 6, 2, 5, 1, 3}) EXPECT_TRUE(total.add(pieces[p]));
    EXPECT_TRUE(total == first);
    // Every term taken away again leaves exactly zero.
    fixed256 back = first;
    for (double d : v) EXPECT_TRUE(back.add(-d));
    EXPECT_TRUE(back.is_zero());
    // Plain double addition does depend on the order for these terms: the
    // test would not tell the two apart otherwise.
    double a = 0.0, b = 0.0;
    for (double d : v) a += d;
    for (auto it = v.rbegin(); it != v.rend(); ++it) b += *it;
    EXPECT_NE(a, b);
}

TEST(FixedSum, SumIsTheExactSumAndRoundsOnceToTheNearestDoubleAndFloat) {
    // Terms of 2^-92 and up to 2^14: the exact sum in units of 2^-92 fits a
    // 128-bit integer, which is the reference.
    for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        const std::vector<double> v = random_terms(2000, -40, 14, seed);
        __int128 exact = 0;
        for (double d : v) {
            int e = 0;
            const double m = std::frexp(std::fabs(d), &e);
            const __int128 units = static_cast<__int128>(std::ldexp(m, 53)) << (e - 53 + 92);
            exact += d < 0 ? -units : units;
        }
        const fixed256 s = sum_of<4>(v);
        EXPECT_TRUE(s == from_int128(exact, 192 - 92)) << seed;
        // The integer's conversions round to nearest, ties to even.
        EXPECT_EQ(s.to_double(), std::ldexp(double(exact), -92)) << seed;
        EXPECT_EQ(s.to_float(), std::ldexp(float(exact), -92)) << seed;
    }
}

TEST(FixedSum, TiesGoToEvenAndAnyBitBeyondTheTieDecides) {
    const double one = 1.0, ulp = std::ldexp(1.0, -52), half = std::ldexp(1.0, -53);
    auto rounded = [](std::initializer_list<double> terms) {
        fixed256 s;
        for (double d : terms) EXPECT_TRUE(s.add(d));
        return s.to_double();
    };
    EXPECT_EQ(rounded({one, half}), one);                              // tie, even below
    EXPECT_EQ(rounded({one, ulp, half}), one + 2 * ulp);               // tie, even above
    EXPECT_EQ(rounded({one, half, std::ldexp(1.0, -180)}), one + ulp);  // just past the tie
    EXPECT_EQ(rounded({one, half, -std::ldexp(1.0, -180)}), one);       // just short of it
    EXPECT_EQ(rounded({-one, -half, -std::ldexp(1.0, -180)}), -one - ulp);
    EXPECT_EQ(rounded({std::ldexp(1.0, 62), std::ldexp(1.0, -190)}), std::ldexp(1.0, 62));
    EXPECT_EQ(rounded({std::ldexp(1.0, -192)}), std::ldexp(1.0, -192));
    // A carry out of the mantissa: 2 - 2^-53 rounds up to 2.
    EXPECT_EQ(rounded({2.0, -std::ldexp(1.0, -53)}), 2.0);

    fixed128 f;
    EXPECT_TRUE(f.add(1.0));
    EXPECT_TRUE(f.add(std::ldexp(1.0, -24)));
    EXPECT_EQ(f.to_float(), 1.0f);
    EXPECT_TRUE(f.add(std::ldexp(1.0, -60)));
    EXPECT_EQ(f.to_float(), 1.0f + std::ldexp(1.0f, -23));
}

TEST(FixedSum, OutsideTheRangeIsRefusedAndBelowTheResolutionDropped) {
    fixed256 s;
    EXPECT_FALSE(s.add(std::ldexp(1.0, 63)));
    EXPECT_FALSE(s.add(-std::ldexp(1.0, 63)));
    EXPECT_FALSE(s.add(HUGE_VAL));
    EXPECT_FALSE(s.add(std::nan("")));
    EXPECT_TRUE(s.is_zero());
    // A sum that reaches 2^63 is refused (it wraps).
    EXPECT_TRUE(s.add(std::ldexp(1.0, 62)));
    EXPECT_TRUE(s.add(std::ldexp(1.0, 61)));
    EXPECT_FALSE(s.add(std::ldexp(1.0, 62)));
    // -2^63 itself is in the range.
    fixed256 low;
    EXPECT_TRUE(low.add(-std::ldexp(1.0, 62)));
    EXPECT_TRUE(low.add(-std::ldexp(1.0, 62)));
    EXPECT_EQ(low.to_double(), -std::ldexp(1.0, 63));

    // The narrow sum keeps 2^-64, drops what lies below it (the magnitude
    // truncated, whatever the sign).
    fixed128 n;
    EXPECT_TRUE(n.add(std::ldexp(1.0, -65)));
    EXPECT_TRUE(n.add(-std::ldexp(1.0, -65)));
    EXPECT_TRUE(n.is_zero());
    EXPECT_TRUE(n.add(std::ldexp(3.0, -65)));  // 1.5 * 2^-64: 2^-64 kept
    EXPECT_EQ(n.to_float(), std::ldexp(1.0f, -64));
    EXPECT_TRUE(n.add(-std::ldexp(3.0, -65)));
    EXPECT_TRUE(n.is_zero());
}
