#include "numeric/fixed_sum.h"

#include <bit>
#include <cmath>

namespace quillet {

namespace {

template <int N>
void negate(std::uint64_t (&v)[N]) {
    std::uint64_t carry = 1;
    for (int i = 0; i < N; ++i) {
        const std::uint64_t x = ~v[i] + carry;
        carry = (carry != 0 && x == 0) ? 1 : 0;
        v[i] = x;
    }
}

template <int N>
void add_limbs(std::uint64_t (&a)[N], const std::uint64_t (&b)[N]) {
    std::uint64_t carry = 0;
    for (int i = 0; i < N; ++i) {
        const std::uint64_t s = a[i] + b[i];
        const std::uint64_t c1 = s < a[i] ? 1 : 0;
        const std::uint64_t t = s + carry;
        const std::uint64_t c2 = t < s ? 1 : 0;
        a[i] = t;
        carry = c1 | c2;
    }
}

// x += a + carry (carry 0 or 1); the carry out.
inline std::uint64_t add_carry(std::uint64_t& x, std::uint64_t a, std::uint64_t carry) {
    const std::uint64_t s = x + a;
    const std::uint64_t t = s + carry;
    const std::uint64_t out = (s < a ? 1 : 0) | (t < s ? 1 : 0);
    x = t;
    return out;
}

// x -= a + borrow (borrow 0 or 1); the borrow out.
inline std::uint64_t sub_borrow(std::uint64_t& x, std::uint64_t a, std::uint64_t borrow) {
    const std::uint64_t d = x - a;
    const std::uint64_t e = d - borrow;
    const std::uint64_t out = (x < a ? 1 : 0) | (d < borrow ? 1 : 0);
    x = e;
    return out;
}

// Bits lo .. lo + count - 1 (count 1..64) of v.
template <int N>
std::uint64_t bits_at(const std::uint64_t (&v)[N], int lo, int count) {
    const int w = lo / 64, b = lo % 64;
    std::uint64_t x = v[w] >> b;
    if (b != 0 && w + 1 < N) x |= v[w + 1] << (64 - b);
    return count == 64 ? x : x & ((std::uint64_t(1) << count) - 1);
}

// Whether any bit below bit q of v is set.
template <int N>
bool any_below(const std::uint64_t (&v)[N], int q) {
    const int w = q / 64, b = q % 64;
    for (int i = 0; i < w; ++i)
        if (v[i] != 0) return true;
    return b != 0 && (v[w] & ((std::uint64_t(1) << b) - 1)) != 0;
}

// The value of the sum s rounded to the nearest number of p significant bits
// (ties to even), as a double: exact for p = 53, and for p = 24 a float's
// value (a float holds it exactly: the range of the sums lies within the
// floats' normal range).
template <int N>
double rounded(const fixed_sum<N>& s, int p) {
    std::uint64_t mag[N];
    for (int i = 0; i < N; ++i) mag[i] = s.limb[i];
    const bool neg = s.negative();
    if (neg) negate(mag);
    int top = -1;
    for (int i = N - 1; i >= 0; --i)
        if (mag[i] != 0) {
            top = i * 64 + 63 - std::countl_zero(mag[i]);
            break;
        }
    if (top < 0) return 0.0;
    std::uint64_t mant = 0;
    int lo = 0;  // the value is mant 2^(lo - fraction_bits)
    if (top < p) {
        mant = bits_at(mag, 0, top + 1);
    } else {
        lo = top - p + 1;
        mant = bits_at(mag, lo, p);
        const bool half = lo >= 1 && ((bits_at(mag, lo - 1, 1)) != 0);
        const bool rest = lo >= 2 && any_below(mag, lo - 1);
        if (half && (rest || (mant & 1) != 0)) {
            ++mant;
            if ((mant >> p) != 0) {
                mant >>= 1;
                ++lo;
            }
        }
    }
    const double r = std::ldexp(double(mant), lo - fixed_sum<N>::fraction_bits);
    return neg ? -r : r;
}

}  // namespace

template <int N>
bool fixed_sum<N>::add(double d) {
    // |d| = mant 2^e2 from the bits of d.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    const int biased = int((bits >> 52) & 0x7ff);
    std::uint64_t mant = bits & ((std::uint64_t(1) << 52) - 1);
    if (biased == 0x7ff) return false;  // not finite
    if (biased == 0 && mant == 0) return true;
    int e2 = -1074;  // subnormal
    if (biased != 0) {
        mant |= std::uint64_t(1) << 52;
        e2 = biased - 1075;
    }
    if (e2 > 63 - 53) return false;  // |d| >= 2^63
    int s = e2 + fraction_bits;      // bit of the sum where mant's lowest bit goes
    if (s < 0) {
        if (s <= -64) return true;
        mant >>= -s;
        s = 0;
        if (mant == 0) return true;
    }
    // The term's bits lie in limbs w and w + 1 (within the top limb when w
    // is the top: |d| < 2^63); its sign decides between adding and
    // subtracting its magnitude, the carry or borrow running up from there.
    const int w = s / 64, b = s % 64;
    const std::uint64_t lo = mant << b, hi = b != 0 ? mant >> (64 - b) : 0;
    const bool before = negative(), term_neg = (bits >> 63) != 0;
    std::uint64_t c = 0;
    int i = w;
    if (!term_neg) {
        c = add_carry(limb[i++], lo, c);
        if (i < N) c = add_carry(limb[i++], hi, c);
        for (; c != 0 && i < N; ++i) c = add_carry(limb[i], 0, c);
    } else {
        c = sub_borrow(limb[i++], lo, c);
        if (i < N) c = sub_borrow(limb[i++], hi, c);
        for (; c != 0 && i < N; ++i) c = sub_borrow(limb[i], 0, c);
    }
    return !(before == term_neg && negative() != before);
}

template <int N>
bool fixed_sum<N>::add(const fixed_sum& o) {
    if (o.is_zero()) return true;
    const bool before = negative(), other = o.negative();
    add_limbs(limb, o.limb);
    return !(before == other && negative() != before);
}

template <int N>
double fixed_sum<N>::to_double() const {
    return rounded(*this, 53);
}

template <int N>
float fixed_sum<N>::to_float() const {
    return float(rounded(*this, 24));
}

template struct fixed_sum<2>;
template struct fixed_sum<4>;

}  // namespace quillet
