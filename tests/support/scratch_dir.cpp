#include "support/scratch_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillet::test_support {

scratch_dir::scratch_dir() {
    previous_ = std::filesystem::current_path().string();
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
    std::filesystem::current_path(path_);
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

void scratch_dir::write(const std::string& name, const std::string& text) const {
    std::ofstream out(path_ + "/" + name, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + name);
}

std::string scratch_dir::read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool scratch_dir::exists(const std::string& name) const { return std::filesystem::exists(path_ + "/" + name); }

}  // namespace quillet::test_support
