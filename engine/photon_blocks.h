// The photons of a run in blocks: photons_per_block photons each, numbered
// from 0. A block's sums start from zero and are added exactly to the run's
// totals (exact_totals.h), so that the result files do not depend on who ran
// which block. Here: the block record, its bytes, and the sinks that take the
// blocks of a run in block order (the run's totals, the first process of a
// distributed run, a partial file), so that the report lines of the photons
// come in photon order.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/progress_line.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "format/state_file.h"

namespace quillet {

// The tallies of one block: those of the run, with escape records for a
// block's photons and the image and histogram hits kept in photon order.
tally_sizes block_sizes(const engine_run& run);

// One block's tallies as the worker that ran it left them.
struct block_partial {
    std::int64_t block = 0;
    tallies sums;       // the block's tables, its image and histogram hits in photon order
    std::string lines;  // report lines of the block's photons
    std::string trace;  // records of the block's slice searches for the trace file (idebug >= 1)
};

// A block record for the messages between processes:
// int64 block number, int64 length of the report lines, the lines, then the
// tallies (tallies::encode). The trace records stay in the process (a run
// that writes the trace file runs in one).
std::string serialize(const block_partial& p);
// ... and back, into a record whose tallies have the sizes of a worker's.
// `what` names the bytes in messages.
void deserialize(const std::string& in, block_partial& p, const std::string& what);

// Where the blocks of a run go, one at a time and in block order.
class block_sink {
public:
    virtual ~block_sink() = default;
    virtual void put(const block_partial& p) = 0;
    // After the last block.
    virtual void finish() {}
};

// The run's totals: each block added (its image and histogram hits with it),
// its report lines printed, the progress shown and, when one is due, a
// checkpoint taken.
class totals_sink final : public block_sink {
public:
    totals_sink(const engine_run& run, progress_line& progress);
    void put(const block_partial& p) override;
    void finish() override;

private:
    const engine_run& run_;
    progress_line& progress_;
    checkpoint_clock checkpoints_;
};

// The first process of a distributed run: each block as a message, then this
// process's CPU seconds.
class first_process_sink final : public block_sink {
public:
    explicit first_process_sink(const engine_run& run, double cpu_loop) : run_(run), cpu_loop_(cpu_loop) {}
    void put(const block_partial& p) override;
    void finish() override;

private:
    const engine_run& run_;
    double cpu_loop_;  // CPU time of the process when its photon loop began
};

// A partial file (--part K/M --partial FILE): the part's blocks added to the
// run's totals and their report lines kept; written, the totals and the lines
// with the file's header, when the last block is in. Its size does not grow
// with the photons but for the escape records and the report lines, which are
// per photon and only there when the deck asks for them.
class partial_file_sink final : public block_sink {
public:
    partial_file_sink(const engine_run& run, std::int64_t first_block, std::int64_t end_block)
        : run_(run), first_(first_block), end_(end_block) {}
    void put(const block_partial& p) override;
    void finish() override;

private:
    const engine_run& run_;
    std::int64_t first_, end_;
    std::string lines_;
};

// --merge: the totals of the partial files, checked against this run, added
// to the run's totals, and their report lines printed in part order.
void merge_partial_files(const engine_run& run, progress_line& progress);

}  // namespace quillet
