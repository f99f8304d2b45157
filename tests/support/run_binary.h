// Runs a program of the build (quillet, or a tool) as a separate process with
// a given standard input, in a given working directory, and returns what it
// printed and its exit status.
#pragma once

#include <string>
#include <vector>

namespace quillet::test_support {

struct process_result {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status; -1 when the process did not exit normally
};

// Runs `binary` with `args` in `workdir`, feeding `input` on standard input.
process_result run_binary(const std::string& binary, const std::string& input, const std::string& workdir,
                          const std::vector<std::string>& args = {});

}  // namespace quillet::test_support
