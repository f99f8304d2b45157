// Sums that do not depend on the order of their terms: a fixed-point number
// in two's complement over N 64-bit limbs, the top limb the integer part and
// the others the fraction (64 (N - 1) fraction bits). A double is added
// exactly when its magnitude is below 2^63 and its bits lie at or above the
// resolution 2^-(64 (N - 1)); the bits of a term below the resolution are
// dropped (its magnitude truncated toward zero). Integer addition is
// associative, so the same terms give the same bits in any order, and the sum
// is rounded once, to the nearest double or float (ties to even), when it is
// read.
//
// fixed_sum<4> (256 bits, resolution 2^-192, about 1.6e-58) keeps the sums of
// doubles; fixed_sum<2> (128 bits, resolution 2^-64, about 5.4e-20) those of
// single-precision cells. A term below the resolution lies more than 2^100
// (2^40 for the narrow one) below a sum of order one: far below the last
// digit that any result file prints of a run's sums.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

template <int N>
struct fixed_sum {
    static_assert(N >= 2);
    static constexpr int fraction_bits = 64 * (N - 1);

    std::uint64_t limb[N] = {};  // least significant first

    // Adds d exactly (bits below the resolution dropped). False, leaving the
    // sum as it was, when d is not finite or |d| >= 2^63; false, with the sum
    // wrapped, when the sum leaves the range [-2^63, 2^63).
    bool add(double d);
    // Adds another sum; false when the result leaves the range.
    bool add(const fixed_sum& o);

    bool is_zero() const {
        for (int i = 0; i < N; ++i)
            if (limb[i] != 0) return false;
        return true;
    }
    bool negative() const { return (limb[N - 1] >> 63) != 0; }

    // The sum rounded once to the nearest double / float, ties to even.
    double to_double() const;
    float to_float() const;

    friend bool operator==(const fixed_sum&, const fixed_sum&) = default;
};

using fixed256 = fixed_sum<4>;
using fixed128 = fixed_sum<2>;

extern template struct fixed_sum<2>;
extern template struct fixed_sum<4>;

}  // namespace quillet
