// quillet: reads the parameter deck from standard input, runs one simulation
// and prints the run report on standard output. Any failure ends the run with
// one message on standard error and exit status 1; SIGINT or SIGTERM stops the
// photons, removes the unfinished result files and exits with 128 + signal.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <new>

#include "driver/run_driver.h"
#include "engine/run_interrupt.h"
#include "format/run_error.h"

namespace {

const char usage[] =
    "usage: quillet < deck > report\n"
    "\n"
    "Runs one Monte Carlo simulation of a planetary-ring particle field.\n"
    "The parameter deck (33 free-format records) is read from standard input;\n"
    "the run report is written to standard output and the results to the\n"
    "files the deck names. See README.md for the deck, the report and the\n"
    "result files.\n"
    "\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

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

}  // namespace

int main(int argc, char** argv) {
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    if (argc > 1) {
        if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
            std::fputs(usage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
            std::printf("quillet %s\n", QUILLET_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        std::fprintf(stderr, "quillet: unexpected argument '%s'\nusage: quillet < deck > report  (quillet --help)\n",
                     argv[1]);
        return 1;
    }

    install_stop_handlers();
    try {
        quillet::run_quillet(stdin, "standard input");
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
    if (quillet::stop_signal != 0)
        return interrupted(quillet::signal_text(quillet::stop_signal) +
                           " came after the last photon: the run finished and its result files are complete");
    return 0;
}
