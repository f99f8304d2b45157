// The per-photon state, declared once: every record that each worker of a
// threaded run holds for itself, with its role. Copying the set-up into a
// worker, clearing, taking a block's sums, adding blocks in block order and
// writing and reading a block's sums as bytes all walk the one list in
// visit_photon_state, so a record added there is handled everywhere. Any
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
#include "engine/indirect.h"
#include "engine/search_workers.h"
#include "field/field_records.h"
#include "scatter/scatter_records.h"
#include "trace/trace_records.h"

namespace quillet {

// Per-direction sums laid out as rows of max_test + 1 doubles, direction k
// fastest; a block holds entries k = 1..ntest of each row.
struct direction_rows {
    double* first;
    std::size_t rows;
};
constexpr std::size_t direction_row_bytes = sizeof(double) * (max_test + 1);
template <class Table>
direction_rows rows_of(Table& table) {
    static_assert(sizeof(Table) % direction_row_bytes == 0, "a per-direction table ends in max_test + 1");
    return {reinterpret_cast<double*>(&table), sizeof(Table) / direction_row_bytes};
}

// The list. Roles:
//   copied  - set up by the engine on the main thread; each worker starts
//             from a copy (law code, albedo factor, grid size, ...);
//   large   - a record kept on the heap, one per worker, behind a
//             thread-local pointer (its tables are too large for a
//             thread's static storage); its role follows below;
//   summed  - accumulated over the photons of a block: cleared before,
//             handed over after it, added to the run's sums in block order
//             (sums: per-direction rows; counts: 64-bit counters);
//   scratch - working values of one photon or one search; cleared for a
//             worker, never handed over.
// The visitor is called on the calling thread's instances.
template <class V>
void visit_photon_state(V&& v) {
    v.copied("debug1", debug1);
    v.copied("com4", com4);
    v.copied("com6", com6);
    v.copied("com9_haze", com9_haze);
    v.copied("com12", com12);
    v.copied("com16", com16);
    v.copied("feb2006a", feb2006a);
    v.copied("imagecom2", imagecom2);

    v.large("com8_haze", com8_haze_of_thread, com8_haze_main);
    v.large("search_scratch", search_scratch_of_thread, search_scratch_main);

    v.sums("com7.testw", rows_of(com7.testw));
    v.sums("com7.testw_sig", rows_of(com7.testw_sig));
    v.sums("com7.testw_n", rows_of(com7.testw_n));
    v.sums("engine_sums.sum_all", rows_of(engine_sums.sum_all));
    v.sums("engine_sums.sumsq_all", rows_of(engine_sums.sumsq_all));
    v.sums("engine_sums.sum_first", rows_of(engine_sums.sum_first));
    v.sums("engine_sums.sumsq_first", rows_of(engine_sums.sumsq_first));
    v.sums("com8.testw_order", rows_of(com8.testw_order));
    v.sums("com8_haze.testw_haze", rows_of(com8_haze_of_thread->testw_haze));
    v.counts("engine_sums.nsearch", engine_sums.nsearch);
    v.counts("engine_sums.ndirect", engine_sums.ndirect);
    v.counts("search_scratch.npot_sum", search_scratch_of_thread->npot_sum);
    v.counts("search_scratch.ntab_calls", search_scratch_of_thread->ntab_calls);
    v.counts("search_scratch.nseg_calls", search_scratch_of_thread->nseg_calls);
    v.counts("search_scratch.nbox_sum", search_scratch_of_thread->nbox_sum);

    v.scratch("com14", com14);
    v.scratch("observers", observers);
}

// Names of every record in the list (the record part of the names above).
std::vector<std::string> photon_state_records();

// The sums of one block, in the order of the list: per-direction entries
// k = 1..ntest of each row, then the counters.
struct block_sums {
    std::int32_t ntest = 0;
    std::vector<double> sums;
    std::vector<std::int64_t> counts;
};

// Number of sums and of counters a block of a run with ntest directions holds.
std::size_t block_sum_values(std::int32_t ntest);
std::size_t block_count_values();

// Zeroes every sum and counter of this thread (whole rows).
void clear_block_sums();

// Moves this thread's sums into out (replacing its contents) and zeroes them.
void take_block_sums(std::int32_t ntest, block_sums& out);

// Adds a block to this thread's sums, value by value in the order of the list;
// blocks must be added in block order for the result to be reproducible.
// Throws run_error when the block was taken with another ntest.
void add_block_sums(std::int32_t ntest, const block_sums& in);

// A block's sums as bytes and back, for the messages between processes and
// for checkpoint files. Layout (host byte order, a file is read back on the
// machine kind that wrote it): 8 bytes "QLBSUMS1"; int64 ntest, number of
// sums, number of counters; the sums (doubles); the counters (int64).
// write_block_sums appends to out. read_block_sums reads one block at `at`
// and moves `at` past it; it throws run_error naming `what` (the message or
// file) when the bytes are cut short, carry another tag, or state counts that
// do not fit a block of ntest directions.
void write_block_sums(const block_sums& in, std::string& out);
void read_block_sums(std::string_view bytes, std::size_t& at, block_sums& out, const std::string& what);

// The copied records of the calling thread (the main thread after the
// set-up), to start workers from.
class photon_state_copy {
public:
    photon_state_copy();  // copies this thread's records
    // On a worker: writes the copied records, binds the thread's large
    // records to storage this object's caller keeps (worker_records), clears
    // the sums and the scratch.
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
