// Per-photon random streams for threaded runs: every photon draws from its own
// counter-based stream, keyed by the run's seed and numbered by the photon, so
// a photon's deviates do not depend on which thread runs it or on how many
// photons ran before it, and a run gives the same result for any thread count.
//
// The stream is the Philox4x64 block function with 10 rounds (Salmon, Moraes,
// Dror and Shaw, "Parallel random numbers: as easy as 1, 2, 3", SC 2011):
// block b of photon p of a run seeded with idum is
//     philox4x64_10({b, p, 0, 0}, {uint32(idum), photon_stream_tag}),
// and its four 64-bit words give eight 32-bit halves (low half of word 0,
// high half of word 0, low half of word 1, ...), one deviate each.
#pragma once

#include <array>
#include <cstdint>

namespace quillet {

__extension__ typedef unsigned __int128 philox_u128;

using philox4x64_ctr = std::array<std::uint64_t, 4>;
using philox4x64_key = std::array<std::uint64_t, 2>;

// The Philox4x64-10 block function: a bijection of the 256-bit counter for
// each 128-bit key. Ten rounds of two 64x64->128 multiplications, with the key
// advanced by the Weyl increments between rounds.
constexpr philox4x64_ctr philox4x64_10(philox4x64_ctr ctr, philox4x64_key key) {
    constexpr std::uint64_t mult0 = 0xD2E7470EE14C6C93u;
    constexpr std::uint64_t mult1 = 0xCA5A826395121157u;
    constexpr std::uint64_t weyl0 = 0x9E3779B97F4A7C15u;
    constexpr std::uint64_t weyl1 = 0xBB67AE8584CAA73Bu;
    for (int round = 0; round < 10; ++round) {
        if (round > 0) {
            key[0] += weyl0;
            key[1] += weyl1;
        }
        const philox_u128 p0 = philox_u128(mult0) * ctr[0];
        const philox_u128 p1 = philox_u128(mult1) * ctr[2];
        const std::uint64_t hi0 = std::uint64_t(p0 >> 64), lo0 = std::uint64_t(p0);
        const std::uint64_t hi1 = std::uint64_t(p1 >> 64), lo1 = std::uint64_t(p1);
        ctr = {hi1 ^ ctr[1] ^ key[0], lo1, hi0 ^ ctr[3] ^ key[1], lo0};
    }
    return ctr;
}

// Second key word of every photon stream: the bytes of "quillet" in ASCII.
inline constexpr std::uint64_t photon_stream_tag = 0x007175696C6C6574u;

// The deviate of one 32-bit half: its top 23 bits k give (2k + 1) * 2^-24, an
// odd multiple of 2^-24 in [2^-24, 1 - 2^-24]. Never 0 or 1, so a caller may
// take its logarithm or divide by it; exact in single precision.
constexpr float photon_deviate(std::uint32_t half) {
    // (2k + 1) < 2^24 is exact as a float; the signed conversion is the cheap one.
    return float(std::int32_t((half >> 9) * 2u + 1u)) * 0x1p-24f;
}

struct photon_stream {
    // Positions the stream at draw 0 of photon `photon` of a run seeded with
    // `seed` (the deck's idum, any int32, negative included). Draws nothing:
    // the first block is computed by the first next().
    void start(std::int32_t seed, std::int64_t photon);

    // Next uniform deviate in (0, 1) (see photon_deviate). One block function
    // call every eight draws; no allocation.
    float next() {
        if (next_half == 8) [[unlikely]]
            refill();
        return photon_deviate(half[next_half++]);
    }

    philox4x64_key key{};
    philox4x64_ctr counter{};    // {number of the next block, photon, 0, 0}
    std::uint32_t half[8] = {};  // the eight 32-bit halves of the last block
    std::uint32_t next_half = 8; // index of the next half to hand out; 8: none left

private:
    void refill() {
        const philox4x64_ctr w = philox4x64_10(counter, key);
        ++counter[0];
        for (int i = 0; i < 4; ++i) {
            half[2 * i] = std::uint32_t(w[i]);
            half[2 * i + 1] = std::uint32_t(w[i] >> 32);
        }
        next_half = 0;
    }
};

}  // namespace quillet
