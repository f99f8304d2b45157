// The ray searches that test the spheres in vector lanes: the slice search
// that tests the spheres of each visited cell in the same pass
// (tab_choose_test, walk_search-inl.h), the shadow packet
// (shadow_packet-inl.h) and its pre-test (shadow_pretest-inl.h), on the
// lanes' sphere tests (sphere_lanes-inl.h). This file compiles them once
// for each instruction set Highway can target (SSSE3, SSE4, AVX2, AVX-512
// and a portable fallback) and dispatches to the best one the processor
// has, chosen at start-up, or the one choose_search_target names. Every lane
// computes what the scalar sphere test computes, operation for operation (no
// fused multiply-add: the build keeps multiplications and additions apart),
// so each instruction set gives the same answers, bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "trace/sphere_lanes.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "hwy/highway.h"
#include "trace/search_targets.h"
#include "trace/shadow_packet-inl.h"
#include "trace/shadow_pretest-inl.h"
#include "trace/sphere_lanes-inl.h"
#include "trace/sphere_lanes.h"
#include "trace/tab_choose.h"
#include "trace/walk_search-inl.h"

#if HWY_ONCE
namespace quillet {

HWY_EXPORT(SearchCells);
HWY_EXPORT(ShadowPacket);
HWY_EXPORT(ShadowPretest);

namespace {

// The table index of target (a single HWY_* bit) in a dispatch table, or -1
// when the table has no entry for it.
int table_index(std::int64_t target) {
    const std::int64_t bit = target == HWY_EMU128 || target == HWY_SCALAR ? HWY_CHOSEN_TARGET_MASK_SCALAR
                                                                            : HWY_CHOSEN_TARGET_SHIFT(target);
    return bit == 0 ? -1 : int(hwy::Num0BitsBelowLS1Bit_Nonzero64(std::uint64_t(bit)));
}

// The searches compiled for one instruction set.
struct search_kernels {
    std::int64_t target = 0;
    decltype(&HWY_STATIC_DISPATCH(SearchCells)) cells = nullptr;
    decltype(&HWY_STATIC_DISPATCH(ShadowPacket)) packet = nullptr;
    decltype(&HWY_STATIC_DISPATCH(ShadowPretest)) pretest = nullptr;
};

bool kernels_for(std::int64_t target, search_kernels& k) {
    // A build for one instruction set only (HWY_COMPILE_ONLY_STATIC) has a
    // table of one entry, for that one.
    constexpr std::size_t entries = std::size(HWY_DISPATCH_TABLE(SearchCells));
    const int i = entries == 1 ? (target == HWY_STATIC_TARGET ? 0 : -1) : table_index(target);
    if (i < 0 || std::size_t(i) >= entries) return false;
    const search_kernels found{target, HWY_DISPATCH_TABLE(SearchCells)[i], HWY_DISPATCH_TABLE(ShadowPacket)[i],
                               HWY_DISPATCH_TABLE(ShadowPretest)[i]};
    if (!found.cells || !found.packet || !found.pretest) return false;
    k = found;
    return true;
}

// The instruction sets this processor runs that the searches were compiled
// for, best first.
std::vector<std::int64_t> runnable_targets() {
    std::vector<std::int64_t> out;
    search_kernels k;
    for (std::int64_t t : hwy::SupportedAndGeneratedTargets())
        if (kernels_for(t, k)) out.push_back(t);
    return out;
}

// The searches in use: the best the processor runs, chosen once when the
// program is loaded (a plain variable: the searches call through it without
// a guard).
search_kernels chosen = [] {
    search_kernels best{HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(SearchCells), &HWY_STATIC_DISPATCH(ShadowPacket),
                        &HWY_STATIC_DISPATCH(ShadowPretest)};
    for (std::int64_t t : runnable_targets())
        if (kernels_for(t, best)) break;
    return best;
}();

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
    return out;
}

}  // namespace

std::int32_t tab_choose_test(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                             const search_direction& d, search_kind kind, std::int32_t excluded, double texit,
                             std::int32_t& ipart, double& tmin) {
    return chosen.cells(field, s, x0, y0, z0, d, std::int32_t(kind), excluded, texit, ipart, tmin);
}

void shadow_packet(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                   std::int32_t excluded, std::int32_t n, const search_direction* dirs, const bool* wanted,
                   std::int32_t* blocker) {
    chosen.packet(field, s, x0, y0, z0, excluded, n, dirs, wanted, blocker);
}

std::int32_t shadow_pretest(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                            const search_direction& d, std::int32_t excluded) {
    return chosen.pretest(field, s, x0, y0, z0, d, excluded);
}

std::vector<std::string> search_target_names() {
    std::vector<std::string> out;
    for (std::int64_t t : runnable_targets()) out.push_back(lower(hwy::TargetName(t)));
    return out;
}

std::string search_target_name() { return lower(hwy::TargetName(chosen.target)); }

bool choose_search_target(std::string_view name) {
    for (std::int64_t t : runnable_targets()) {
        if (lower(hwy::TargetName(t)) == lower(name)) return kernels_for(t, chosen);
    }
    return false;
}

}  // namespace quillet
#endif  // HWY_ONCE
