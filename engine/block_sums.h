// The sums and counters that a stretch of photons adds to the run: one list,
// in one fixed order, for the threaded run's block sums, the messages of a
// distributed run, checkpoints and partial files. A sum that is not listed
// here is lost by all of them.
#pragma once

#include <cstdint>

#include "engine/engine_records.h"
#include "field/field_records.h"

namespace quillet {

// Every accumulated per-direction sum of this thread's records.
template <class F>
void for_each_sum(std::int32_t ntest, F f) {
    for (std::int32_t k = 1; k <= ntest; ++k) {
        f(com7.testw[k]);
        f(com7.testw_sig[k]);
        f(com7.testw_n[k]);
        f(engine_sums.sum_all[k]);
        f(engine_sums.sumsq_all[k]);
        f(engine_sums.sum_first[k]);
        f(engine_sums.sumsq_first[k]);
    }
    for (int order = 1; order <= max_order; ++order)
        for (std::int32_t k = 1; k <= ntest; ++k) f(com8.testw_order[order][k]);
    for (int ih = 0; ih <= max_haze_count; ++ih)
        for (int ir = 0; ir <= max_ring_count; ++ir)
            for (std::int32_t k = 1; k <= ntest; ++k) f(com8_haze.testw_haze[ih][ir][k]);
}

// ... and every counter (6 of them).
constexpr int n_block_counts = 6;
template <class F>
void for_each_count(F f) {
    f(engine_sums.nsearch);
    std::int64_t ndirect = engine_sums.ndirect;
    f(ndirect);
    engine_sums.ndirect = std::int32_t(ndirect);
    f(com11.npot_sum);
    f(com11.ntab_calls);
    f(com11.nseg_calls);
    f(com11.nbox_sum);
}

}  // namespace quillet
