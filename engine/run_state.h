// Runs that survive interruption and combine. A checkpoint keeps the state of
// a run after whole photons (the serial run) or whole blocks (the threaded
// and distributed runs): the run's tallies (engine/tallies.h) and the report
// lines of the photons done, the serial generator's state,
// the CPU seconds of every segment so far, and digests of the deck and of
// every input file. A resumed run continues
// from it to the very bytes of the uninterrupted run. A partial run keeps the
// exact totals of its share of the blocks (engine/exact_totals.h), which a
// merge adds: the totals of the one-process threaded run, to the bit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/run_options.h"
#include "format/state_file.h"
#include "format/text_field.h"

namespace quillet {

struct engine_run;

class checkpoint_writer;

// CPU seconds spent on this run outside this process's own engine call, in
// photon loops and in whole engine calls: by the other processes of a
// distributed run (sent to the first process when their last block is done),
// by the parts of a merged run and by the earlier segments of a resumed run
// (kept in their partial files and checkpoints); 0 otherwise. The CPU-time
// record and the report add them, so that they count every process.
struct remote_cpu_t {
    double loop = 0.0;
    double engine = 0.0;
};

// What one engine call keeps while its photons run, beside its tallies: the
// digests of its inputs, the report lines of the photons done (while a
// checkpoint is kept), the CPU seconds of other processes and segments, and
// the thread that writes its checkpoints.
class run_session {
public:
    explicit run_session(const run_options& options);
    ~run_session();
    run_session(const run_session&) = delete;
    run_session& operator=(const run_session&) = delete;

    const run_options& options;
    // Digests of the deck and of every file the set-up reads; taken once, at
    // the set-up of a run that keeps its state (note_run_inputs).
    std::vector<state_input> inputs;
    // Report lines that the photons printed so far, in photon order (kept
    // while a checkpoint is being taken, so that the resumed report has them
    // too).
    std::string photon_lines;
    remote_cpu_t remote_cpu;

    checkpoint_writer& writer();

private:
    std::unique_ptr<checkpoint_writer> writer_;
};

// How the photons of the saved run drew their random numbers.
enum class run_mode : std::uint32_t { serial = 1, blocks = 2 };

// Digests of the deck and of every file the set-up reads; taken once, at the
// set-up of a run that checkpoints, resumes, runs a part or merges.
void note_run_inputs(const engine_run& run, const text80& parfile);

// When the next checkpoint is due: at most every checkpoint_every seconds.
class checkpoint_clock {
public:
    explicit checkpoint_clock(const run_state_options& o) : o_(o), last_(clock::now()) {}
    bool on() const { return !o_.checkpoint.empty(); }
    bool due() const {
        return on() && (o_.checkpoint_every <= 0.0 ||
                        std::chrono::duration<double>(clock::now() - last_).count() >= o_.checkpoint_every);
    }
    void mark() { last_ = clock::now(); }

private:
    using clock = std::chrono::steady_clock;
    const run_state_options& o_;
    clock::time_point last_;
};

// Where a resumed run continues.
struct resume_point {
    std::int64_t photons_done = 0;
    std::int64_t next_block = 0;  // blocks mode
    double inidist = 0.0;         // serial mode: the start distance kept from the last photon
};

// Reads and checks the --resume file and restores the main thread's records
// (and the generator, serial mode); prints the photons' saved report lines.
resume_point resume_run(const engine_run& run, run_mode mode);

// The checkpoint of the photons done so far: the main thread's records as
// they stand now.
state_contents checkpoint_contents(const engine_run& run, run_mode mode, std::int64_t photons_done,
                                   std::int64_t next_block, double inidist);

// Takes the checkpoint now and hands it to the writer thread; throws the
// output_error of an earlier write that failed.
void submit_checkpoint(const engine_run& run, run_mode mode, std::int64_t photons_done, std::int64_t next_block,
                       double inidist);
// Waits until the checkpoints handed over are on disk (the end of the
// photons); throws the output_error of a write that failed.
void finish_checkpoints(const engine_run& run);
// Writes the checkpoint now, after those handed over.
void write_checkpoint(const engine_run& run, run_mode mode, std::int64_t photons_done, std::int64_t next_block,
                      double inidist);

// The message of a run stopped by a signal after `done` photons; writes a
// last checkpoint first when one is kept (next_block: blocks mode).
std::string interrupted_text(const engine_run& run, run_mode mode, std::int64_t done, std::int64_t next_block,
                             double inidist);

// The partial files of --merge, read and checked against this run: every
// part 1..M present once, each of this deck and these inputs. Sorted by part.
struct partial_part {
    std::string file;
    state_contents contents;
};
std::vector<partial_part> read_partial_files(const engine_run& run, std::int64_t nblocks);

// Blocks [first, end) of part K of M of a run of nblocks blocks.
inline std::int64_t part_first_block(std::int64_t nblocks, std::int32_t part, std::int32_t parts) {
    return nblocks * (part - 1) / parts;
}

// The header of a partial file, with the CPU seconds of the part: taken when
// its blocks are done. read_partial_files and resume_run add the CPU seconds
// that the files hold to the session's remote_cpu.
state_contents partial_header(const engine_run& run, std::int64_t nblocks, std::int64_t first, std::int64_t end);

}  // namespace quillet
