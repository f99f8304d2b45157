// The per-photon state, declared once: every record that each worker of a
// threaded run holds for itself, with its role. Copying the set-up into a
// worker and clearing its scratch walk the one list in visit_photon_state, so
// a record added there is handled everywhere. The results of the photons are
// not here: each worker scores into its own tallies (engine/tallies.h). Any
// other record of the run is shared and read-only while photons run (a test
// checks that every thread_local record of the sources is declared here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_records.h"
#include "engine/search_workers.h"
#include "field/field_records.h"
#include "trace/trace_records.h"

namespace quillet {

// The list. Roles:
//   copied  - set up by the engine on the main thread; each worker starts
//             from a copy (law code, albedo factor, grid size, ...);
//   large   - a record kept on the heap, one per worker, behind a
//             thread-local pointer (its tables are too large for a
//             thread's static storage); its role follows below;
//   scratch - working values of one photon or one search; cleared for a
//             worker, never handed over.
// The visitor is called on the calling thread's instances.
template <class V>
void visit_photon_state(V&& v) {
    v.copied("debug1", debug1);

    v.large("search_scratch", search_scratch_of_thread, search_scratch_main);


    v.scratch("search_scratch", *search_scratch_of_thread);
}

// Names of every record in the list (the record part of the names above).
std::vector<std::string> photon_state_records();

// The copied records of the calling thread (the main thread after the
// set-up), to start workers from.
class photon_state_copy {
public:
    photon_state_copy();  // copies this thread's records
    // On a worker: writes the copied records, binds the thread's large
    // records to storage this object's caller keeps (worker_records), clears
    // the scratch and the search counters.
    void adopt() const;

private:
    std::vector<unsigned char> bytes_;
};

// The heap storage of one worker's large records; binds the calling
// thread's pointers while it lives (the worker creates it first thing).
class worker_records {
public:
    worker_records();
    ~worker_records();
    worker_records(const worker_records&) = delete;
    worker_records& operator=(const worker_records&) = delete;

private:
    std::vector<std::shared_ptr<void>> owned_;
};

}  // namespace quillet
