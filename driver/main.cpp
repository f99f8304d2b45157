// quillet: reads the parameter deck from standard input, runs one simulation
// and prints the run report on standard output.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "format/run_error.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    try {
        return 0;
    } catch (const quillet::run_error& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "quillet: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "quillet: out of memory\n");
        return 1;
    }
}
