#include "driver/program_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/parallel_run.h"
#include "format/run_error.h"

namespace quillet {

namespace {

constexpr std::int32_t max_threads = 1024;
constexpr std::int32_t max_parts = 1000000;

std::int32_t thread_count(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > max_threads || text[0] == '+' || text[0] == ' ')
        throw run_error("--threads expects a whole number of threads from 0 (every core) to " +
                        std::to_string(max_threads) + ", found '" + text + "'");
    return std::int32_t(v);
}

// "K/M": part K of M, 1 <= K <= M.
void part_of(const std::string& text, program_options& o) {
    const std::size_t slash = text.find('/');
    auto whole = [](const std::string& t, std::int32_t& v) {
        errno = 0;
        char* end = nullptr;
        const long n = std::strtol(t.c_str(), &end, 10);
        if (t.empty() || *end != '\0' || errno != 0 || t[0] == '+' || t[0] == ' ' || n < 1 || n > max_parts) return false;
        v = std::int32_t(n);
        return true;
    };
    if (slash == std::string::npos || !whole(text.substr(0, slash), o.part) || !whole(text.substr(slash + 1), o.parts) ||
        o.part > o.parts)
        throw run_error("--part expects K/M, part K of M shares (1 <= K <= M <= " + std::to_string(max_parts) +
                        "), found '" + text + "'");
}

// A photon number of a run: 1 .. 2147483647.
std::int64_t photon_number(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 1 || v > 2147483647 || text[0] == '+' || text[0] == ' ')
        throw run_error("--photon expects a photon number from 1 to 2147483647, found '" + text + "'");
    return v;
}

double seconds(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(v >= 0.0) || v > 1e9 || text[0] == ' ')
        throw run_error("--checkpoint-every expects a number of seconds from 0 (after every block) to 1e9, found '" +
                        text + "'");
    return v;
}

// The value of an option that names a file.
std::string file_value(int argc, const char* const* argv, int& i, const std::string& option) {
    if (i + 1 >= argc || argv[i + 1][0] == '\0' || std::strncmp(argv[i + 1], "--", 2) == 0)
        throw run_error(option + " expects a file name");
    return argv[++i];
}

// Options that do not go together.
void check_combination(const program_options& o) {
    if (o.parts > 0 && !o.threaded)
        throw run_error("--part needs --threads N: the serial run draws every photon from one random stream, "
                        "which cannot be split into parts");
    if (o.parts > 0 && o.partial.empty()) throw run_error("--part K/M needs --partial FILE, the file the part writes");
    if (!o.partial.empty() && o.parts == 0) throw run_error("--partial FILE needs --part K/M, the share to run");
    if (o.parts > 0 && (!o.checkpoint.empty() || !o.resume.empty()))
        throw run_error("--part runs one share of the blocks and is not checkpointed: an interrupted part is run "
                        "again (leave out --checkpoint and --resume)");
    if (!o.merge.empty() && (o.parts > 0 || !o.checkpoint.empty() || !o.resume.empty()))
        throw run_error("--merge only adds up partial files: it takes no --part, --partial, --checkpoint or --resume");
    if (o.every_given && o.checkpoint.empty())
        throw run_error("--checkpoint-every needs --checkpoint FILE, the file to write");
    if (o.photon > 0 && !o.threaded)
        throw run_error("--photon N replays a photon of a threaded run, which draws from its own stream: give "
                        "--threads too (the serial run draws every photon from one stream, so a photon of it "
                        "cannot run alone)");
    if (o.photon > 0 && (o.parts > 0 || !o.merge.empty() || !o.checkpoint.empty() || !o.resume.empty()))
        throw run_error("--photon N replays one photon and writes no result file: it takes no --part, --merge, "
                        "--checkpoint or --resume");
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
        } else if (a == "--checkpoint") {
            o.checkpoint = file_value(argc, argv, i, a);
        } else if (a == "--checkpoint-every") {
            if (i + 1 >= argc) throw run_error("--checkpoint-every expects a number of seconds");
            o.every_given = true;
            o.checkpoint_every = seconds(argv[++i]);
        } else if (a == "--resume") {
            o.resume = file_value(argc, argv, i, a);
        } else if (a == "--part") {
            if (i + 1 >= argc) throw run_error("--part expects K/M, part K of M shares");
            part_of(argv[++i], o);
        } else if (a == "--partial") {
            o.partial = file_value(argc, argv, i, a);
        } else if (a == "--merge") {
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) o.merge.push_back(argv[++i]);
            if (o.merge.empty()) throw run_error("--merge expects the partial files of the run");
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--photon") {
            if (i + 1 >= argc) throw run_error("--photon expects a photon number");
            o.photon = photon_number(argv[++i]);
        } else {
            throw run_error("unexpected argument '" + a + "'");
        }
    }
    check_combination(o);
    return o;
}

run_options run_options_for(const program_options& o, int rank, int ranks) {
    run_options r;
    r.full_scan = o.full_scan;
    // A merge writes what the one-process threaded run writes.
    r.parallel.on = o.threaded || !o.merge.empty();
    r.parallel.threads = o.threads == 0 ? available_cores() : o.threads;
    r.parallel.rank = rank;
    r.parallel.ranks = ranks;
    r.parallel.photon = o.photon;
    r.state.checkpoint = rank == 0 ? o.checkpoint : std::string();
    r.state.checkpoint_every = o.checkpoint_every;
    r.state.resume = o.resume;
    r.state.part = o.part;
    r.state.parts = o.parts;
    r.state.partial = o.partial;
    r.state.merge = o.merge;
    r.state.version = QUILLET_VERSION;
    r.quiet = o.quiet;
    // Only the first process writes files; they are flushed to disk when a
    // checkpoint is kept (it is removed once they stand).
    r.files.discard = rank != 0;
    r.files.sync = rank == 0 && !o.checkpoint.empty();
    return r;
}

}  // namespace quillet
