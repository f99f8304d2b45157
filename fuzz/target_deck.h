// Fuzz entry for the parameter deck; see fuzz_targets.h.
#pragma once

#include <memory>

#include "driver/parameter_deck.h"
#include "driver/run_parameters.h"
#include "format/free_reader.h"
#include "format/run_error.h"
#include "fuzz/fuzz_targets.h"

namespace quillet::fuzz {

// The parameter deck as standard input: read_deck, then the capacity checks
// with the result-file names replaced (so that a fuzzed name never makes the
// output-folder check create files elsewhere).
inline void deck(const std::uint8_t* data, std::size_t size) {
    auto p = std::make_unique<run_parameters>();
    // fmemopen refuses a zero-length buffer: an empty deck is one zero byte
    // that the reader sees as a line holding a NUL character, so feed an
    // empty stream through a temporary file instead.
    std::FILE* f = size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "r") : std::tmpfile();
    if (!f) fault("cannot open the deck stream");
    try {
        free_reader in(f, "standard input");
        read_deck(in, *p);
        p->outfile = text80("junk");
        p->epsfile = text80("junk");
        p->wfile = text80("fuzz.w");
        p->testimage = text80("fuzz");
        check_capacities(*p, "standard input");
    } catch (const run_error&) {
    }
    std::fclose(f);
}

}  // namespace quillet::fuzz
