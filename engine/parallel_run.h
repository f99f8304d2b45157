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

// What a worker keeps per block instead of adding straight into the shared
// images and the escape histogram; replayed in photon order when the block
// is added. Image plane 1..10: test_image of that plane gets c; plane 0:
// ill_image counts one; plane -1: vis_image counts one.
struct image_hit {
    std::int32_t plane;
    std::int32_t cell;
    double c;
};
struct hist_hit {
    std::int32_t plane, lat, fii;
    double w;
};
struct worker_hits_t {
    std::vector<image_hit> image;
    std::vector<hist_hit> hist;
};
// The worker's collection; null in the serial run (and on the main thread).
extern thread_local constinit worker_hits_t* worker_hits;

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

// A hit into the shared images or histogram.
inline void apply_hit(const image_hit& h) {
    if (h.plane == 0) {
        imagecom11.ill_image[h.cell] += 1;
    } else if (h.plane < 0) {
        imagecom11.vis_image[h.cell] += 1;
    } else {
        float& cell = imagecom1.test_image[h.plane][h.cell];
        cell = float(double(cell) + h.c);
    }
}
inline void apply_hit(const hist_hit& h) {
    float& cell = escape_hist.esc_hist[h.plane][h.lat][h.fii];
    cell = float(double(cell) + h.w);
}

// Every image and histogram hit of the photon loop goes through here: into
// the shared tables in the serial run, into the worker's collection in a
// threaded one (replayed in photon order with apply_hit when its block is
// added).
inline void record_hit(const image_hit& h) {
    if (worker_hits) worker_hits->image.push_back(h);
    else apply_hit(h);
}
inline void record_hit(const hist_hit& h) {
    if (worker_hits) worker_hits->hist.push_back(h);
    else apply_hit(h);
}

// Runs all photons of the run (this process's share of them when
// distributed) with parallel_options.threads workers; or, with
// parallel_options.photon set, that photon alone on this thread.
void run_photons_parallel(const particle_field& field, const engine_run& run);

}  // namespace quillet
