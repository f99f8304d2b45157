// The one way a run fails: a reader or writer throws a run_error whose message
// names the source (file or "standard input"), the line, the record and what
// was expected; the program's entry point prints it once and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace quillet {

struct run_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Input that cannot be read: missing file, malformed or short record.
struct input_error : run_error {
    using run_error::run_error;
};

// A result or diagnostic file that cannot be written completely.
struct output_error : run_error {
    using run_error::run_error;
};

// A deck or field that asks for more than the fixed tables hold, or for a
// combination the run cannot carry out.
struct limit_error : run_error {
    using run_error::run_error;
};

}  // namespace quillet
