// In-process deck reading for the driver tests: feeds deck text to
// read_deck (and the capacity checks) and returns what was printed.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "driver/parameter_deck.h"
#include "driver/run_parameters.h"
#include "format/free_reader.h"
#include "support/stdout_capture.h"

namespace quillet::test_support {

// The parameters of one deck; on the heap because the tables are large.
inline std::unique_ptr<run_parameters> fresh_parameters() { return std::make_unique<run_parameters>(); }

// Reads `text` as the deck from "standard input"; with `check` also runs the
// capacity checks. Returns the lines printed while reading. Exceptions pass
// through (the printed part is in captured_before_throw()).
inline std::string read_deck_text(const std::string& text, run_parameters& p, bool check = false) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    struct closer {
        std::FILE* f;
        ~closer() { std::fclose(f); }
    } close_at_end{f};
    return capture_stdout([&] {
        free_reader in(f, "standard input");
        read_deck(in, p);
        if (check) check_capacities(p, "standard input");
    });
}

// The message of the run_error of kind E that `body` throws ("" when none).
template <class E, class F>
std::string message_of(F body) {
    try {
        body();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// True for a line of the layout (1x,i4,'-',i2,'-',i2,2x,i2,':',i2,':',i2)
// holding a plausible date and time.
inline bool is_date_time_line(const std::string& s) {
    if (s.size() != 21 || s[0] != ' ' || s[5] != '-' || s[8] != '-' || s.compare(11, 2, "  ") != 0 || s[15] != ':' ||
        s[18] != ':')
        return false;
    auto field = [&](std::size_t at, std::size_t width, int lo, int hi) {
        int v = 0;
        bool digits = false;
        for (std::size_t i = at; i < at + width; ++i) {
            char c = s[i];
            if (c == ' ' && !digits) continue;
            if (c < '0' || c > '9') return false;
            digits = true;
            v = 10 * v + (c - '0');
        }
        return digits && v >= lo && v <= hi;
    };
    return field(1, 4, 1970, 9999) && field(6, 2, 1, 12) && field(9, 2, 1, 31) && field(13, 2, 0, 23) &&
           field(16, 2, 0, 59) && field(19, 2, 0, 60);
}

}  // namespace quillet::test_support
