// Replays the stored inputs of a fuzz target (fuzz/regressions/<target>/, the
// inputs that once failed, and the seed corpus fuzz/corpus/<target>/) through
// the target's entry function inside a scratch directory, with the readers'
// report lines captured. A fault aborts the test program, so each replay test
// only counts the inputs it fed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

namespace quillet::test_support {

template <class Entry>
int replay_fuzz_inputs(const std::string& target, Entry entry) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (const char* kind : {"regressions", "corpus"}) {
        fs::path dir = fs::path(QUILLET_SOURCE_DIR) / "fuzz" / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    scratch_dir dir;
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(f.string());
        capture_stdout([&] { entry(bytes.data(), bytes.size()); });
    }
    return int(files.size());
}

}  // namespace quillet::test_support
