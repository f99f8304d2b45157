// A temporary working directory for tests of routines that read or write
// files by fixed names in the current directory: created empty, made current,
// and removed with its contents (and the old directory restored) at the end.
#pragma once

#include <string>

namespace quillet::test_support {

class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `text` to the file `name` in the scratch directory.
    void write(const std::string& name, const std::string& text) const;
    // The whole content of the file `name` in the scratch directory.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
    std::string previous_;
};

}  // namespace quillet::test_support
