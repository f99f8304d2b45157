// quillet._engine: the simulation run inside the Python interpreter. One
// call runs one deck in its folder (the package's quillet.run with
// in_process=True prepares the folder as for the program) and gives back the
// status, the report and the program's message; the GIL is released while
// the run goes on, so other Python threads keep running.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <string>

#include "driver/in_process_run.h"

namespace py = pybind11;

namespace {

// The kernel still keeps records that are process-wide (the list in
// tests/kernel_globals.txt, the run options of engine/parallel_run.h and
// engine/run_state.h), so one in-process run at a time: a second caller waits
// here. Remove this lock, and its one use in run_deck, once the engine holds
// no process-wide state; python/tests/test_in_process.py then shows that two
// runs at once give what two processes give.
std::mutex kernel_records_lock;

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
    quillet::in_process_result r;
    {
        py::gil_scoped_release free_interpreter;
        std::lock_guard<std::mutex> one_run_at_a_time(kernel_records_lock);
        r = quillet::run_in_process(deck, o);
    }
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
