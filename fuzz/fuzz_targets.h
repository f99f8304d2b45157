// Shared by the fuzz targets of quillet's readers: the fault stop and the
// input-file writer. Each reader has its own header (target_<reader>.h) with
// one function that takes arbitrary bytes, hands them to the real reading
// code (the deck through a memory stream, the files through a file of the
// fixed or given name in the current directory) and returns normally when the
// reader either accepts them or refuses them with a run_error. Anything else
// (a crash, a sanitizer report, another exception, an accepted value that the
// run cannot use) is a fault. The libFuzzer programs in this folder and the
// regression replay of the test suite share these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillet::fuzz {

// A target's own check failed: stop at once so that the fuzzer keeps the input.
[[noreturn]] inline void fault(const char* what) {
    std::fprintf(stderr, "fuzz target fault: %s\n", what);
    std::abort();
}

inline void write_file(const char* name, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (!f) fault("cannot write the input file in the current directory");
    if (size > 0 && std::fwrite(data, 1, size, f) != size) fault("cannot write the input file");
    if (std::fclose(f) != 0) fault("cannot close the input file");
}

}  // namespace quillet::fuzz
