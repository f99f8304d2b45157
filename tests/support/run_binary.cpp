#include "support/run_binary.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillet::test_support {

namespace {

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

process_result run_binary(const std::string& binary, const std::string& input, const std::string& workdir,
                          const std::vector<std::string>& args) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-run-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("run_binary: cannot create a temporary directory");
    const std::string io = pattern;
    {
        std::ofstream in(io + "/stdin", std::ios::binary);
        in << input;
    }
    std::string command = "cd " + quoted(workdir) + " && " + quoted(binary);
    for (const auto& a : args) command += " " + quoted(a);
    command += " < " + quoted(io + "/stdin") + " > " + quoted(io + "/stdout") + " 2> " + quoted(io + "/stderr");
    int raw = std::system(command.c_str());
    process_result r;
    r.out = slurp(io + "/stdout");
    r.err = slurp(io + "/stderr");
    r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    std::error_code ec;
    std::filesystem::remove_all(io, ec);
    return r;
}

}  // namespace quillet::test_support
