// quillet._engine: the simulation run inside the Python interpreter. One
// call runs one deck in its folder (the package's quillet.run with
// in_process=True prepares the folder as for the program) and gives back the
// status, the report and the program's message; the GIL is released while
// the run goes on, so other Python threads keep running.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <csignal>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "driver/in_process_run.h"
#include "engine/run_interrupt.h"

namespace py = pybind11;

namespace {


py::tuple run_deck(const std::string& deck, const std::string& folder, std::optional<int> threads,
                   bool full_scan) {
    quillet::in_process_options o;
    o.folder = folder;
    o.threaded = threads.has_value();
    o.threads = threads.value_or(0);
    o.full_scan = full_scan;
    if (o.threaded && (o.threads < 0 || o.threads > 1024))
        throw py::value_error("threads must be None (the serial run) or 0 (every core) to 1024, found " +
                              std::to_string(o.threads));
    // This run's own stop flag: a Ctrl-C stops this run, not another
    // caller's.
    volatile std::sig_atomic_t stop = 0;
    o.stop = &stop;
    auto one_run = [&]() { return quillet::run_in_process(deck, o); };
    // The run goes on its own thread while this one waits with the GIL
    // released, looking every 50 ms for a signal the interpreter has to
    // handle (Ctrl-C: KeyboardInterrupt). Such a signal stops the run as the
    // program's SIGINT handler does (no result file is left), and is raised
    // when the run has ended.
    std::future<quillet::in_process_result> done;
    try {
        done = std::async(std::launch::async, one_run);
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("quillet: cannot start the run's thread: ") + e.what());
    }
    std::optional<py::error_already_set> pending;
    for (;;) {
        {
            py::gil_scoped_release free_interpreter;
            if (done.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) break;
        }
        if (!pending && PyErr_CheckSignals() != 0) pending.emplace();
        if (pending) stop = SIGINT;
    }
    quillet::in_process_result r = done.get();
    if (pending) throw std::move(*pending);
    return py::make_tuple(r.status, py::bytes(r.report), py::bytes(r.message));
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The quillet engine run inside the interpreter (see quillet.run(..., in_process=True)).";
    m.attr("__version__") = QUILLET_VERSION;
    m.def("run_deck", &run_deck, py::arg("deck"), py::arg("folder"), py::arg("threads") = py::none(),
          py::arg("full_scan") = false,
          "Runs the deck text in `folder` (its relative file names are taken from there) as\n"
          "`quillet [--threads N] < deck` would, without progress lines; `threads` None is the\n"
          "serial run. Returns (status, report, message): status 0 when the run finished, 1 when\n"
          "it failed with the program's message (bytes, \"quillet: ...\"); the report is the\n"
          "run report up to where the run stopped (bytes).");
}
