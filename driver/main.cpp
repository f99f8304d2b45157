// quillet: reads the parameter deck from standard input, runs one simulation
// and prints the run report on standard output. Any failure ends the run with
// one message on standard error and exit status 1.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <new>

#include "driver/run_driver.h"
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

    try {
        quillet::run_quillet(stdin, "standard input");
    } catch (const quillet::run_error& e) {
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
    return 0;
}
