#include "numeric/ran1.h"

#include <bit>

#include "format/free_writer.h"

namespace quillet {

namespace {

constexpr std::int32_t M1 = 259200, IA1 = 7141, IC1 = 54773;
constexpr std::int32_t M2 = 134456, IA2 = 8121, IC2 = 28411;
constexpr std::int32_t M3 = 243000, IA3 = 4561, IC3 = 51349;
// The reciprocals as the single-precision constants the sequence was built with.
const float RM1 = std::bit_cast<float>(0x3681742Eu);
const float RM2 = std::bit_cast<float>(0x36F98E96u);

inline void step1(ran1_state& s) { s.ix1 = (IA1 * s.ix1 + IC1) % M1; }
inline void step2(ran1_state& s) { s.ix2 = (IA2 * s.ix2 + IC2) % M2; }
inline void step3(ran1_state& s) { s.ix3 = (IA3 * s.ix3 + IC3) % M3; }

// Every operation rounds to single precision.
inline float value(const ran1_state& s) {
    float part = float(s.ix2) * RM2;
    float sum = float(s.ix1) + part;
    return sum * RM1;
}

}  // namespace

float ran1(ran1_state& s, std::int32_t& idum) {
    if (idum < 0) {
        s.ix1 = (IC1 - idum) % M1;
        step1(s);
        s.ix2 = s.ix1 % M2;
        step1(s);
        s.ix3 = s.ix1 % M3;
        for (int j = 1; j <= 97; ++j) {
            step1(s);
            step2(s);
            s.r[j] = value(s);
        }
        idum = 1;
    }
    step1(s);
    step2(s);
    step3(s);
    std::int32_t j = 1 + (97 * s.ix3) / M3;
    if (j < 1 || j > 97) {
        say("ran1:j", j);
        j = 1;
    }
    float result = s.r[j];
    s.r[j] = value(s);
    return result;
}

bool ran1_state_valid(const ran1_state& s) {
    if (s.ix1 < 0 || s.ix1 >= M1 || s.ix2 < 0 || s.ix2 >= M2 || s.ix3 < 0 || s.ix3 >= M3) return false;
    for (int j = 1; j <= 97; ++j)
        if (!(s.r[j] >= 0.0f && s.r[j] <= 1.0f)) return false;
    return true;
}

}  // namespace quillet
