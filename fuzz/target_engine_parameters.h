// Fuzz entry for the engine parameter file; see fuzz_targets.h.
#pragma once

#include <memory>

#include "engine/engine_run.h"
#include "engine/mcnew_sub_2pos_image.h"
#include "format/run_error.h"
#include "fuzz/fuzz_targets.h"

namespace quillet::fuzz {

// The engine parameter file.
inline void engine_parameters(const std::uint8_t* data, std::size_t size) {
    static auto run = std::make_unique<engine_run>();
    *run = engine_run{};
    write_file("fuzz.par", data, size);
    try {
        read_engine_parameters(text80("fuzz.par"), *run);
    } catch (const run_error&) {
        return;
    }
    if (!(run->ssca >= 0.0 && run->ssca <= 1.0)) fault("accepted albedo factor outside 0..1");
    if (run->maxscat < 0) fault("accepted negative maxscat");
}

}  // namespace quillet::fuzz
