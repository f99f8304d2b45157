#include "driver/program_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/parallel_run.h"
#include "format/run_error.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr std::int32_t max_threads = 1024;

std::int32_t thread_count(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > max_threads || text[0] == '+' || text[0] == ' ')
        throw run_error("--threads expects a whole number of threads from 0 (every core) to " +
                        std::to_string(max_threads) + ", found '" + text + "'");
    return std::int32_t(v);
}

}  // namespace

program_options parse_program_options(int argc, const char* const* argv) {
    program_options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--full-scan") {
            o.full_scan = true;
        } else if (a == "--threads") {
            if (i + 1 >= argc) throw run_error("--threads expects a number of threads (0: every core)");
            o.threaded = true;
            o.threads = thread_count(argv[++i]);
        } else if (a.rfind("--threads=", 0) == 0) {
            o.threaded = true;
            o.threads = thread_count(a.substr(10));
        } else {
            throw run_error("unexpected argument '" + a + "'");
        }
    }
    return o;
}

void apply_program_options(const program_options& o, int rank, int ranks) {
    search_options.full_scan = o.full_scan;
    parallel_options.on = o.threaded;
    parallel_options.threads = o.threads == 0 ? available_cores() : o.threads;
    parallel_options.rank = rank;
    parallel_options.ranks = ranks;
}

}  // namespace quillet
