// quillet: reads the parameter deck from standard input, runs one simulation
// and prints the run report on standard output. Any failure ends the run with
// one message on standard error and exit status 1; SIGINT or SIGTERM stops the
// photons, removes the unfinished result files (writing a last checkpoint
// when one is kept) and exits with 128 + signal.
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <new>
#include <vector>

#include "driver/program_options.h"
#include "driver/run_driver.h"
#include "engine/process_group.h"
#include "engine/run_interrupt.h"
#include "engine/run_state.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "format/state_file.h"
#include "trace/search_targets.h"

namespace {

const char usage[] =
    "usage: quillet [--threads N] [--full-scan] [--checkpoint FILE [--checkpoint-every S]]\n"
    "               [--resume FILE] [--part K/M --partial FILE] [--merge FILE...] [--quiet]\n"
    "               [--photon N] < deck > report\n"
    "\n"
    "Runs one Monte Carlo simulation of a planetary-ring particle field.\n"
    "The parameter deck (33 free-format records) is read from standard input;\n"
    "the run report is written to standard output and the results to the\n"
    "files the deck names. See README.md for the deck, the report and the\n"
    "result files.\n"
    "\n"
    "  --threads N  trace the photons on N threads (0: every core). Each photon\n"
    "               draws from its own random stream, so the results are the\n"
    "               same for every N (and every number of MPI processes), but\n"
    "               not those of the serial run, which is the default\n"
    "  --full-scan  test every search-grid cell in each ray search instead of\n"
    "               walking the cells near the ray (the same answers, slower;\n"
    "               the reference for the fast search)\n"
    "  --checkpoint FILE  keep the state of the run in FILE, after whole blocks\n"
    "               (the serial run: after whole photons), at most every 60 s and\n"
    "               when SIGINT or SIGTERM stops the run\n"
    "  --checkpoint-every S  seconds between checkpoints (0: after every block)\n"
    "  --resume FILE  continue the run kept in FILE (the same deck and input\n"
    "               files); the results are the bytes of the uninterrupted run\n"
    "  --part K/M --partial FILE  run the K-th of M shares of the photon blocks\n"
    "               (needs --threads) and write its state to FILE, no result file\n"
    "  --merge FILE...  add up the M partial files: the result files and report\n"
    "               of the one-process threaded run\n"
    "  --quiet      no progress on standard error (a terminal line, or a log line\n"
    "               every 10 % of the photons or 5 minutes)\n"
    "  --photon N   replay photon N of the threaded run alone (needs --threads),\n"
    "               on the same path as in the whole run; with icheck >= 1 the\n"
    "               report shows its trace. No result file is written\n"
    "  --help       print this text\n"
    "  --version    print the version and the instruction sets of the ray searches\n"
    "\n"
    "The ray searches run on the best instruction set of the processor (see\n"
    "--version); QUILLET_SIMD=NAME in the environment picks another one of them.\n"
    "Every one gives the same results, bit for bit.\n";

// The report's lines stay in order with the message: stdout first.
int fail(const char* message) {
    std::fflush(stdout);
    std::fprintf(stderr, "quillet: %s\n", message);
    return 1;
}

// The first SIGINT or SIGTERM only asks the run to stop (the photon loop looks
// once per photon); a second one, when the run does not stop, ends the
// process at once the default way.
extern "C" void on_stop_signal(int sig) {
    if (quillet::stop_signal != 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    quillet::stop_signal = sig;
}

// Without SA_RESTART, so that a deck read waiting on a terminal returns too.
// A signal the caller set to be ignored stays ignored (a run started with
// nohup, or in the background by a shell without job control); SIGHUP, a
// closed terminal, stops the run like the other two.
void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

// A run stopped by a signal: how far it got, and 128 + the signal number.
int interrupted(const std::string& message) {
    fail(message.c_str());
    return 128 + int(quillet::stop_signal);
}

// The deck as one process reads it, or, in a distributed run, as the first
// process read it from its standard input and sent it to all.
std::string distributed_deck() {
    std::string deck;
    if (quillet::process_group::rank() == 0) {
        char buf[1 << 16];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) deck.append(buf, n);
        if (std::ferror(stdin)) throw quillet::input_error("standard input: the deck could not be read");
    }
    quillet::process_group::broadcast(deck);
    return deck;
}

// The whole deck from standard input, kept for its digest.
std::string whole_deck() {
    std::string deck;
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) deck.append(buf, n);
    if (std::ferror(stdin)) throw quillet::input_error("standard input: the deck could not be read");
    return deck;
}

// The checkpoint or partial file must be creatable in its folder before the
// first photon, not found unwritable hours later.
void probe_state_file(const std::string& option, const std::string& name) {
    if (name.empty()) return;
    try {
        quillet::result_file probe(name);
    } catch (const quillet::output_error& e) {
        throw quillet::output_error(option + " " + name + ": " + e.what());
    }
}

// The temporary files that a killed writer of this checkpoint or partial file
// left next to it (a live run's are locked and stay).
void remove_left_temporaries(const std::string& name) {
    if (name.empty()) return;
    for (const std::string& t : quillet::remove_left_temporaries(name))
        std::fprintf(stderr, "quillet: removed %s, a temporary file of %s left by a run that was killed\n", t.c_str(),
                     name.c_str());
}

int run(const quillet::program_options& options) {
    const int rank = quillet::process_group::rank(), ranks = quillet::process_group::size();
    if (ranks > 1 && !options.threaded)
        return fail("a distributed run (more than one MPI process) needs --threads N: the serial run draws every "
                    "photon from one shared random stream");
    if (ranks > 1 && (options.parts > 0 || !options.merge.empty()))
        return fail("--part and --merge run in one process: give each part its own job instead of MPI processes");
    if (ranks > 1 && options.photon > 0) return fail("--photon replays one photon in one process: run it without MPI");
    quillet::run_options run_options = quillet::run_options_for(options, rank, ranks);
    if (rank != 0) {
        // Only the first process reports and writes files.
        if (!std::freopen("/dev/null", "w", stdout)) return fail("cannot silence the report of a helper process");
    }
    install_stop_handlers();
    const bool keeps_state = !options.checkpoint.empty() || !options.resume.empty() || options.parts > 0 ||
                             !options.merge.empty();
    try {
        if (rank == 0) {
            remove_left_temporaries(options.checkpoint);
            remove_left_temporaries(options.partial);
            if (options.resume != options.checkpoint) remove_left_temporaries(options.resume);
            probe_state_file("--checkpoint", options.checkpoint);
            probe_state_file("--partial", options.partial);
        }
        if (ranks > 1 || keeps_state) {
            run_options.state.deck_text = ranks > 1 ? distributed_deck() : whole_deck();
            quillet::run_quillet_text(run_options.state.deck_text, run_options);
        } else {
            quillet::run_quillet(stdin, "standard input", run_options);
        }
    } catch (const quillet::run_interrupted& e) {
        return interrupted(e.what());
    } catch (const quillet::run_error& e) {
        // A read cut short by the signal (a deck typed on a terminal).
        if (quillet::stop_signal != 0)
            return interrupted("interrupted by " + quillet::signal_text(quillet::stop_signal) + ": " + e.what());
        return fail(e.what());
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    } catch (const std::exception& e) {
        // Not one of the run's own errors (a library failure): still one
        // message and a failure status rather than an abort.
        return fail((std::string("unexpected failure: ") + e.what()).c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail("the run report could not be written to standard output");
    // The result files stand (renamed into place and flushed to disk): the
    // checkpoint has served. A --resume file of another name stays as given.
    // The run is complete either way: a checkpoint that stays is only said.
    if (rank == 0 && !options.checkpoint.empty() && std::remove(options.checkpoint.c_str()) != 0 && errno != ENOENT)
        std::fprintf(stderr, "quillet: the run is complete, but its checkpoint %s could not be removed: %s\n",
                     options.checkpoint.c_str(), std::strerror(errno));
    if (quillet::stop_signal != 0)
        return interrupted(quillet::signal_text(quillet::stop_signal) +
                           " came after the last photon: the run finished and its result files are complete");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static char out_buffer[1 << 16];
    // A file size limit (ulimit -f) makes a write fail with EFBIG, reported
    // like a full disk, instead of killing the run.
    std::signal(SIGXFSZ, SIG_IGN);
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    quillet::program_options options;
    try {
        options = quillet::parse_program_options(argc, argv);
    } catch (const quillet::run_error& e) {
        std::fprintf(stderr, "quillet: %s\nusage: quillet [options] < deck > report  (quillet --help)\n",
                     e.what());
        return 1;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const std::vector<std::string> targets = quillet::search_target_names();
    std::string target_list;
    for (const std::string& t : targets) target_list += (target_list.empty() ? "" : " ") + t;
    if (const char* simd = std::getenv("QUILLET_SIMD"); simd && *simd && !quillet::choose_search_target(simd)) {
        std::fprintf(stderr, "quillet: QUILLET_SIMD=%s: the ray searches run here on one of: %s\n", simd,
                     target_list.c_str());
        return 1;
    }
    if (options.version) {
        std::printf("quillet %s\nray searches: %s (this processor runs: %s)\n", QUILLET_VERSION,
                    quillet::search_target_name().c_str(), target_list.c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    // A distributed run: every process runs the same deck; a failure in any
    // one ends them all with its status.
    const bool distributed = quillet::process_group::start(argc, argv);
    const int status = run(options);
    if (distributed) {
        std::fflush(stdout);
        if (status != 0) quillet::process_group::abort_all(status);
        quillet::process_group::finish();
    }
    return status;
}
