// Per-photon random streams: the Philox4x64-10 block function against published
// and independently computed vectors, the mapping of 32-bit halves to
// deviates, the layout of a photon's stream over blocks, and the statistics a
// threaded run relies on (uniformity, no serial correlation, no correlation
// between the same draw of neighbouring photons).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "numeric/photon_stream.h"
#include "support/sampler_stats.h"

using namespace quillet;

namespace {

struct philox_vector {
    philox4x64_ctr ctr;
    philox4x64_key key;
    philox4x64_ctr out;
};

// Upper critical value z of the standard normal: P(Z > z) = alpha.
double normal_upper_critical(double alpha) {
    double lo = 0.0, hi = 40.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (0.5 * std::erfc(mid / std::sqrt(2.0)) > alpha)
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

// Statistic of equal-probability cells: Pearson's chi-square, with the
// critical value of the shared helper at the normal quantile z.
test_support::chi_square_result uniform_cells(const std::vector<long>& counts, long total, double z) {
    test_support::chi_square_result r;
    const double expected = double(total) / double(counts.size());
    for (long c : counts) r.value += (c - expected) * (c - expected) / expected;
    r.dof = int(counts.size()) - 1;
    r.threshold = test_support::chi_square_critical(r.dof, z);
    return r;
}

// sqrt(n) times the sample correlation coefficient of x[0..n) and y[0..n):
// for independent pairs asymptotically standard normal.
double correlation_z(const double* x, const double* y, std::size_t n) {
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= double(n);
    my /= double(n);
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy) * std::sqrt(double(n));
}

void print_correlation(const std::string& what, double z, double z_crit) {
    std::printf("[ figure   ] %s: sqrt(n) r = %.3f, threshold %.3f\n", what.c_str(), z, z_crit);
}

// Draw k (0-based) of photon p of a run seeded with seed.
float draw_of_photon(std::int32_t seed, std::int64_t p, int k) {
    photon_stream s;
    s.start(seed, p);
    float v = 0.0f;
    for (int i = 0; i <= k; ++i) v = s.next();
    return v;
}

// The deviate times 2^24: an exact integer for every deviate of the stream.
double numerator(float v) { return double(v) * 16777216.0; }

}  // namespace

// ---------------------------------------------------------------------------
// The block function

// The known-answer vectors published with the Random123 library for
// philox4x64 with 10 rounds (zero, all-ones and digits-of-pi inputs); numpy's
// independent Philox gives the same three blocks:
//   /usr/bin/python3 -c "import numpy as np; c=[C0,C1,C2,C3]; k=[K0,K1];
//     C=sum(x<<64*i for i,x in enumerate(c));
//     print([hex(v) for v in np.random.Philox(counter=(C-1)%2**256,
//            key=k[0]|k[1]<<64).random_raw(4)])"
// numpy adds one to the counter before it computes a block (so it is given
// C-1), reads an integer counter or key as little-endian 64-bit words (word 0
// lowest), and random_raw() hands out the block's four words in order.
TEST(Philox4x64_10, MatchesThePublishedRandom123KnownAnswers) {
    const philox_vector published[] = {
        {{{0x0000000000000000, 0x0000000000000000, 0x0000000000000000, 0x0000000000000000}},
         {{0x0000000000000000, 0x0000000000000000}},
         {{0x16554d9eca36314c, 0xdb20fe9d672d0fdc, 0xd7e772cee186176b, 0x7e68b68aec7ba23b}}},
        {{{0xffffffffffffffff, 0xffffffffffffffff, 0xffffffffffffffff, 0xffffffffffffffff}},
         {{0xffffffffffffffff, 0xffffffffffffffff}},
         {{0x87b092c3013fe90b, 0x438c3c67be8d0224, 0x9cc7d7c69cd777b6, 0xa09caebf594f0ba0}}},
        {{{0x243f6a8885a308d3, 0x13198a2e03707344, 0xa4093822299f31d0, 0x082efa98ec4e6c89}},
         {{0x452821e638d01377, 0xbe5466cf34e90c6c}},
         {{0xa528f45403e61d95, 0x38c72dbd566e9788, 0xa5a1610e72fd18b5, 0x57bd43b5e52b7fe6}}},
    };
    for (const philox_vector& v : published) EXPECT_EQ(philox4x64_10(v.ctr, v.key), v.out);
}

// Blocks computed with numpy's Philox (the one-liner above, with the counter
// and key words of each row): one set bit in each counter lane and in the
// second key word, so that a slip between lanes or key words shows, then an
// arbitrary input and block 3 of photon 12345 of a run seeded with -12345.
TEST(Philox4x64_10, MatchesNumpyPhiloxOnVectorsThatProbeEachLane) {
    const philox_vector from_numpy[] = {
        {{{0x0000000000000000, 0x0000000000000001, 0x0000000000000000, 0x0000000000000000}},
         {{0x0000000000000000, 0x0000000000000000}},
         {{0xe85facf8b3b067d6, 0xfdbc6a61c123b5f8, 0x349bde9a4b8d60c1, 0x39212690df8b178a}}},
        {{{0x0000000000000000, 0x0000000000000000, 0x0000000000000001, 0x0000000000000000}},
         {{0x0000000000000000, 0x0000000000000000}},
         {{0x19bf6be67257df0b, 0xece365a9064c1231, 0x236f185079e2a282, 0xd6338e39fdfea88a}}},
        {{{0x0000000000000000, 0x0000000000000000, 0x0000000000000000, 0x0000000000000001}},
         {{0x0000000000000000, 0x0000000000000000}},
         {{0x0bcebd58167d0f31, 0x7834e0e0d3a96d3f, 0x956b8d281546d14f, 0xa7028ec2003149ea}}},
        {{{0x0000000000000000, 0x0000000000000000, 0x0000000000000000, 0x0000000000000000}},
         {{0x0000000000000000, 0x0000000000000001}},
         {{0x9c6b270905f0b111, 0xdee74de5c22fba4e, 0x0fbe587afae091f8, 0xd5ad8fe3bd272f76}}},
        {{{0x0123456789abcdef, 0xfedcba9876543210, 0xdeadbeefcafebabe, 0x0f1e2d3c4b5a6978}},
         {{0x1111111111111111, 0x8000000000000001}},
         {{0xecdfb278b57d213a, 0x465374672c448262, 0x3b5d583db66223aa, 0xc60485343286113d}}},
        {{{0x0000000000000003, 0x0000000000003039, 0x0000000000000000, 0x0000000000000000}},
         {{0x00000000ffffcfc7, 0x007175696c6c6574}},
         {{0x9b38b9afc3749eee, 0x7cc3c17aa0793336, 0xc1acc2ced103e6b9, 0x1fd3f056eddbe3e1}}},
    };
    for (const philox_vector& v : from_numpy) EXPECT_EQ(philox4x64_10(v.ctr, v.key), v.out);
}

TEST(Philox4x64_10, EvaluatesAtCompileTime) {
    constexpr philox4x64_ctr zero = philox4x64_10({0, 0, 0, 0}, {0, 0});
    static_assert(zero[0] == 0x16554d9eca36314cu && zero[3] == 0x7e68b68aec7ba23bu);
    EXPECT_EQ(zero[1], 0xdb20fe9d672d0fdcu);
}

// ---------------------------------------------------------------------------
// Halves to deviates

TEST(PhotonDeviate, ExtremeHalvesGiveTheSmallestAndLargestOddMultiplesOfTwoToMinus24) {
    EXPECT_EQ(photon_deviate(0x00000000u), 0x1p-24f);
    EXPECT_EQ(photon_deviate(0xFFFFFFFFu), 1.0f - 0x1p-24f);
    EXPECT_LT(photon_deviate(0xFFFFFFFFu), 1.0f);
    EXPECT_GT(photon_deviate(0x00000000u), 0.0f);
}

TEST(PhotonDeviate, OnlyTheTopTwentyThreeBitsCount) {
    EXPECT_EQ(photon_deviate(0x000001FFu), 0x1p-24f);         // low 9 bits dropped
    EXPECT_EQ(photon_deviate(0x00000200u), 3.0f * 0x1p-24f);  // lowest bit that counts
    EXPECT_EQ(photon_deviate(0x80000000u), 0.5f + 0x1p-24f);  // k = 2^22
    EXPECT_EQ(photon_deviate(0x7FFFFFFFu), 0.5f - 0x1p-24f);
    // Every k maps to its own value, in order.
    for (std::uint32_t k = 0; k < (1u << 23); k += 4099)
        EXPECT_EQ(numerator(photon_deviate(k << 9)), 2.0 * k + 1.0) << k;
}

TEST(PhotonDeviate, EveryDrawIsAnOddMultipleOfTwoToMinus24InsideTheUnitInterval) {
    photon_stream s;
    s.start(-7, 0);
    for (int i = 0; i < 100000; ++i) {
        const float v = s.next();
        ASSERT_GT(v, 0.0f);
        ASSERT_LT(v, 1.0f);
        const double m = numerator(v);
        ASSERT_EQ(m, std::floor(m)) << i;
        ASSERT_EQ(std::fmod(m, 2.0), 1.0) << i;
    }
}

// ---------------------------------------------------------------------------
// The layout of a photon's stream

TEST(PhotonStream, TagSpellsQuilletInAscii) {
    std::string text;
    for (int shift = 48; shift >= 0; shift -= 8) text += char((photon_stream_tag >> shift) & 0xFF);
    EXPECT_EQ(text, "quillet");
    EXPECT_EQ(photon_stream_tag >> 56, 0u);
}

// Block 0 and the start of block 1 of photon 7 of a run seeded with -12345,
// computed and mapped by numpy alone (expected: the odd numerators of 2^-24):
//   /usr/bin/python3 -c "import numpy as np; w=np.random.Philox(counter=(7<<64)-1,
//     key=(2**32-12345)|0x007175696C6C6574<<64).random_raw(2);
//     h=[int(x)>>s&0xffffffff for x in w for s in (0,32)];
//     print([(v>>9)*2+1 for v in h])"
TEST(PhotonStream, FirstDrawsMatchNumpyPhiloxMappedIndependently) {
    const double expected[] = {3822531, 6918245, 15085031, 2830449, 4739817, 4454391,
                               5727835, 13120257, 6357769, 6977823, 4187469, 9863583};
    photon_stream s;
    s.start(-12345, 7);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(numerator(s.next()), expected[i]) << "draw " << i;
}

TEST(PhotonStream, DrawsAreTheHalvesOfSuccessiveBlocksLowHalfFirst) {
    const std::int32_t seed = 987654321;
    const std::int64_t photon = 123456789012;  // beyond 32 bits: kept whole in the counter
    photon_stream s;
    s.start(seed, photon);
    for (std::uint64_t block = 0; block < 5; ++block) {
        const philox4x64_ctr w =
            philox4x64_10({block, std::uint64_t(photon), 0, 0}, {std::uint64_t(seed), photon_stream_tag});
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(s.next(), photon_deviate(std::uint32_t(w[i]))) << "block " << block << " word " << i;
            EXPECT_EQ(s.next(), photon_deviate(std::uint32_t(w[i] >> 32))) << "block " << block << " word " << i;
        }
    }
}

TEST(PhotonStream, NegativeSeedKeysWithItsThirtyTwoBitsNotSignExtended) {
    const philox4x64_ctr w = philox4x64_10({0, 3, 0, 0}, {0xFFFFFFFFu, photon_stream_tag});
    photon_stream s;
    s.start(-1, 3);
    EXPECT_EQ(s.next(), photon_deviate(std::uint32_t(w[0])));
    EXPECT_EQ(s.next(), photon_deviate(std::uint32_t(w[0] >> 32)));
    EXPECT_EQ(s.key[0], 0xFFFFFFFFu);
    photon_stream t;
    t.start(INT32_MIN, 3);
    EXPECT_EQ(t.key[0], 0x80000000u);
}

TEST(PhotonStream, StartDrawsNothingUntilTheFirstDeviateIsAsked) {
    photon_stream s;
    s.start(5, 11);
    EXPECT_EQ(s.next_half, 8u);
    EXPECT_EQ(s.counter[0], 0u);
    s.next();
    EXPECT_EQ(s.counter[0], 1u);  // one block computed for the first draw
}

TEST(PhotonStream, StartingAgainRepeatsTheSameSequence) {
    photon_stream s;
    s.start(2024, 99);
    std::vector<float> first(30);
    for (float& v : first) v = s.next();
    s.start(2024, 99);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(s.next(), first[i]) << i;
}

TEST(PhotonStream, StartDiscardsWhatIsLeftOfThePreviousPhotonsBlock) {
    photon_stream used, fresh;
    used.start(31, 4);
    for (int i = 0; i < 11; ++i) used.next();  // part-way through block 1
    used.start(31, 5);
    fresh.start(31, 5);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(used.next(), fresh.next()) << i;
}

TEST(PhotonStream, DifferentPhotonsAndSeedsGiveDifferentSequences) {
    // Four deviates carry 92 random bits: equal tuples would mean equal streams.
    std::set<std::tuple<float, float, float, float>> seen;
    const std::int32_t seeds[] = {0, 1, -1, 2, -2, 12345, -12345, INT32_MAX, INT32_MIN};
    for (std::int32_t seed : seeds)
        for (std::int64_t p = 0; p < 1000; ++p) {
            photon_stream s;
            s.start(seed, p);
            const float a = s.next(), b = s.next(), c = s.next(), d = s.next();
            seen.insert({a, b, c, d});
        }
    EXPECT_EQ(seen.size(), std::size(seeds) * 1000u);
}

TEST(PhotonStream, NeighbouringPhotonIsNotAShiftedCopy) {
    // A generator split by skipping ahead can hand one photon a tail of its
    // neighbour's draws; here photon 1's first 16 draws appear nowhere in
    // photon 0's first 4096.
    photon_stream a, b;
    a.start(77, 0);
    b.start(77, 1);
    std::vector<float> zero(4096 + 16), one(16);
    for (float& v : zero) v = a.next();
    for (float& v : one) v = b.next();
    for (std::size_t off = 0; off < 4096; ++off) {
        int same = 0;
        for (std::size_t i = 0; i < 16; ++i) same += zero[off + i] == one[i];
        ASSERT_LT(same, 4) << "offset " << off;
    }
}

// ---------------------------------------------------------------------------
// Statistics (fixed seeds; critical values at significance 1e-4 per test,
// split evenly where a test makes several comparisons)

TEST(PhotonStreamStatistics, OneLongStreamIsUniformByChiSquare) {
    photon_stream s;
    s.start(271828, 0);
    const auto r = test_support::uniform_chi_square([&] { return double(s.next()); }, 0.0, 1.0, 1000000, 1000);
    test_support::print_figure("10^6 draws of one stream, 1000 bins", r);
    EXPECT_LT(r.value, r.threshold);
}

TEST(PhotonStreamStatistics, FirstDrawsAcrossPhotonsAreUniformByChiSquare) {
    photon_stream s;
    std::int64_t p = 0;
    const auto r = test_support::uniform_chi_square(
        [&] {
            s.start(-314159, p++);
            return double(s.next());
        },
        0.0, 1.0, 1000000, 1000);
    test_support::print_figure("draw 0 of 10^6 photons, 1000 bins", r);
    EXPECT_LT(r.value, r.threshold);
}

TEST(PhotonStreamStatistics, SuccessiveDrawsOfOneStreamAreUncorrelated) {
    // Lags 1 to 8 (lag 8: the same half of successive blocks), two-sided, and
    // the pairs of successive draws over the unit square.
    const int lags = 8;
    const int comparisons = lags + 1;
    const std::size_t n = 1000000;
    std::vector<double> x(n + lags);
    photon_stream s;
    s.start(1618033, 42);
    for (double& v : x) v = s.next();
    const double z_crit = normal_upper_critical(1e-4 / comparisons / 2.0);
    for (int lag = 1; lag <= lags; ++lag) {
        const double z = correlation_z(x.data(), x.data() + lag, n);
        print_correlation("lag " + std::to_string(lag) + ", 10^6 draws", z, z_crit);
        EXPECT_LT(std::abs(z), z_crit) << "lag " << lag;
    }
    const int side = 32;
    std::vector<long> cells(side * side, 0);
    for (std::size_t i = 0; i + 1 < n; i += 2) ++cells[int(x[i] * side) * side + int(x[i + 1] * side)];
    const auto r = uniform_cells(cells, long(n / 2), normal_upper_critical(1e-4 / comparisons));
    test_support::print_figure("successive pairs, 32 x 32 cells", r);
    EXPECT_LT(r.value, r.threshold);
}

TEST(PhotonStreamStatistics, SameDrawOfNeighbouringPhotonsIsUncorrelated) {
    // The threaded run hands neighbouring photons to different threads and
    // relies on their streams being independent. Draws 0, 1, 7 (last of block
    // 0) and 8 (first of block 1) of photons p and p + 1, draw 0 of the same
    // photon under seeds s and s + 1, and draw 0 of neighbours over the unit
    // square.
    const std::int32_t seed = 55555;
    const std::size_t n = 300000;
    const int ks[] = {0, 1, 7, 8};
    std::vector<std::vector<double>> draw(4, std::vector<double>(n + 1));
    std::vector<double> next_seed(n + 1);
    photon_stream s;
    for (std::size_t p = 0; p <= n; ++p) {
        s.start(seed, std::int64_t(p));
        for (int i = 0, j = 0; i <= 8; ++i) {
            const float v = s.next();
            if (j < 4 && i == ks[j]) draw[j++][p] = v;
        }
        next_seed[p] = draw_of_photon(seed + 1, std::int64_t(p), 0);
    }
    const int comparisons = 6;
    const double z_crit = normal_upper_critical(1e-4 / comparisons / 2.0);
    for (int j = 0; j < 4; ++j) {
        const double z = correlation_z(draw[j].data(), draw[j].data() + 1, n);
        print_correlation("draw " + std::to_string(ks[j]) + " of photons p, p + 1", z, z_crit);
        EXPECT_LT(std::abs(z), z_crit) << "draw " << ks[j];
    }
    const double z_seed = correlation_z(draw[0].data(), next_seed.data(), n + 1);
    print_correlation("draw 0 under seeds s, s + 1", z_seed, z_crit);
    EXPECT_LT(std::abs(z_seed), z_crit);

    const int side = 32;
    std::vector<long> cells(side * side, 0);
    for (std::size_t p = 0; p < n; ++p) ++cells[int(draw[0][p] * side) * side + int(draw[0][p + 1] * side)];
    const auto r = uniform_cells(cells, long(n), normal_upper_critical(1e-4 / comparisons));
    test_support::print_figure("draw 0 of photons p, p + 1, 32 x 32 cells", r);
    EXPECT_LT(r.value, r.threshold);

    // The statistic is sharp enough to catch a stream that keys only on every
    // second photon number (neighbours share a stream half of the time).
    std::vector<double> halved(n + 1);
    for (std::size_t p = 0; p <= n; ++p) halved[p] = draw_of_photon(seed, std::int64_t(p / 2), 0);
    EXPECT_GT(std::abs(correlation_z(halved.data(), halved.data() + 1, n)), z_crit);
}
