#include "support/stdout_capture.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace quillet::test_support {

namespace {
std::string last_partial;

std::string read_all(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}
}  // namespace

std::string capture_stdout(const std::function<void()>& body) {
    std::fflush(stdout);
    std::FILE* tmp = std::tmpfile();
    if (!tmp) throw std::runtime_error("capture_stdout: no temporary file");
    int saved = ::dup(::fileno(stdout));
    ::dup2(::fileno(tmp), ::fileno(stdout));
    auto restore = [&] {
        std::fflush(stdout);
        ::dup2(saved, ::fileno(stdout));
        ::close(saved);
    };
    try {
        body();
    } catch (...) {
        restore();
        last_partial = read_all(tmp);
        std::fclose(tmp);
        throw;
    }
    restore();
    std::string out = read_all(tmp);
    std::fclose(tmp);
    return out;
}

const std::string& captured_before_throw() { return last_partial; }

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace quillet::test_support
