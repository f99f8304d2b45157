// The threaded (and distributed) photon loop. The photons are cut into fixed
// blocks of photons_per_block; workers take the blocks in turn, every photon
// draws from its own counter-based stream keyed by the deck's seed and its
// photon number, and each block's sums start from zero and are added to the
// run's sums strictly in block order. The result files therefore do not
// depend on the number of threads or processes; they differ from the serial
// run's, which draws all photons from the run's one ran1 generator.
#pragma once

#include <cstdint>
#include <vector>

#include "field/particle_field.h"
#include "engine/engine_records.h"

namespace quillet {

struct engine_run;

// Photons per block: part of the result (the sums are formed per block), so
// fixed, whatever the number of threads or processes.
constexpr std::int32_t photons_per_block = 1000;

// Set by the driver from its command line; off for the serial run.
struct parallel_options_t {
    bool on;               // threaded run (--threads)
    std::int32_t threads;  // workers in this process, >= 1 when on
    std::int32_t rank;     // this process among the processes of a distributed run
    std::int32_t ranks;    // 1 without MPI
    std::int64_t photon;   // >= 1: replay this photon alone (--photon), no result file
};
extern parallel_options_t parallel_options;

// The workers present in this process's CPU set (what --threads 0 means).
std::int32_t available_cores();

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
extern remote_cpu_t remote_cpu;

// Runs all photons of the run (this process's share of them when
// distributed) with parallel_options.threads workers; or, with
// parallel_options.photon set, that photon alone on this thread.
void run_photons_parallel(const particle_field& field, const engine_run& run);

}  // namespace quillet
