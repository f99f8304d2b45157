#include "support/result_files.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace quillet::test_support {

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);) v.push_back(line);
    return v;
}

}  // namespace

std::map<std::string, result_file> find_result_files(const std::string& dir,
                                                     const std::function<bool(const std::string&)>& is_result) {
    std::map<std::string, result_file> files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || !is_result(name) || name.find(".part") != std::string::npos) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        result_file f;
        f.bytes = s.str();
        const std::vector<std::string> lines = lines_of(f.bytes);
        if (!lines.empty() && (lines.front() == "7.0" || lines.front() == "5.0"))
            f.cpu_line = int(lines.size()) - 1;
        files[name] = std::move(f);
    }
    return files;
}

std::string without_cpu_line(const result_file& f) {
    const std::vector<std::string> lines = lines_of(f.bytes);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (int(i) + 1 != f.cpu_line) out += lines[i] + "\n";
    return out;
}

}  // namespace quillet::test_support
