// Fuzz entry for the phase-function tables; see fuzz_targets.h.
#pragma once

#include <cmath>

#include "format/run_error.h"
#include "numeric/ran1.h"
#include "scatter/mcphase.h"
#include "fuzz/fuzz_targets.h"

namespace quillet::fuzz {

// The phase-function table "mcphase.dat" (mode bit 0 clear) or
// "mcphase_haze.dat" (set); an accepted table is then sampled and evaluated.
inline void phase_table(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const bool haze = data[0] & 1;
    write_file(haze ? "mcphase_haze.dat" : "mcphase.dat", data + 1, size - 1);
    quillet::phase_table table;
    try {
        if (haze)
            init_mcphase_haze(table, 16, -1);  // icheck -1: no dump files
        else
            init_mcphase(table, 16, -1);
    } catch (const run_error&) {
        return;
    }
    ran1_state generator;
    std::int32_t seed = -1;
    ran1(generator, seed);
    random_draws draws(generator);
    for (int k = 0; k <= 8; ++k) {
        double phasef = 0.0, sine = 0.0, cose = 0.0;
        const double c = -1.0 + 0.25 * k;
        if (haze)
            p_mcphase_haze(table, c, phasef);
        else
            p_mcphase(table, c, phasef);
        if (!std::isfinite(phasef)) fault("accepted table evaluates to a non-finite value");
        if (haze)
            e_mcphase_haze(table, sine, cose, draws);
        else
            e_mcphase(table, sine, cose, draws);
        if (!std::isfinite(cose) || !std::isfinite(sine) || std::fabs(cose) > 1.0)
            fault("accepted table samples a non-finite or impossible direction");
    }
}

}  // namespace quillet::fuzz
