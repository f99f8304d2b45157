#include "driver/in_process_run.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <functional>
#include <system_error>
#include <thread>

#include "driver/program_options.h"
#include "driver/run_driver.h"
#include "format/free_writer.h"
#include "format/run_error.h"

namespace quillet {

namespace {

// The body of the run's thread. unshare(CLONE_FS) gives this thread a working
// folder of its own, so that chdir moves neither the caller's nor another
// run's; the workers of a threaded run, started from here, share it.
void run_on_own_thread(const std::string& deck, const in_process_options& o, in_process_result& r) {
    auto failed = [&r](const std::string& message) {
        r.status = 1;
        r.message = "quillet: " + message;
    };
    if (::unshare(CLONE_FS) != 0)
        return failed(std::string("cannot give the run a working folder of its own: ") + std::strerror(errno));
    if (::chdir(o.folder.c_str()) != 0)
        return failed("the run folder " + o.folder + ": " + std::strerror(errno));

    program_options p;
    p.threaded = o.threaded;
    p.threads = o.threads;
    p.full_scan = o.full_scan;
    p.quiet = true;
    run_options options = run_options_for(p, 0, 1);
    if (o.stop) options.stop = o.stop;

    say_capture = &r.report;
    try {
        run_quillet_text(deck, options);
    } catch (const run_error& e) {
        failed(e.what());
    } catch (const std::bad_alloc&) {
        failed("out of memory");
    } catch (const std::exception& e) {
        failed(std::string("unexpected failure: ") + e.what());
    }
    say_capture = nullptr;
}

}  // namespace

in_process_result run_in_process(const std::string& deck, const in_process_options& options) {
    in_process_result r;
    try {
        std::thread run(run_on_own_thread, std::cref(deck), std::cref(options), std::ref(r));
        run.join();
    } catch (const std::system_error& e) {
        r.status = 1;
        r.message = std::string("quillet: cannot start the run's thread: ") + e.what();
    }
    return r;
}

}  // namespace quillet
