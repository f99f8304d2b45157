// The photon loop: the constants of the launch, one photon from launch to
// escape, and the block runner that the serial and the threaded run both
// call, which knows nothing of threads, processes or files.
#pragma once

#include <atomic>
#include <cstdint>

#include "field/particle_field.h"
#include "engine/engine_run.h"
#include "engine/photon_worker.h"
#include "engine/progress_line.h"
#include "numeric/ran1.h"
#include "scatter/photon.h"

namespace quillet {

// What every photon's launch reads, derived once per run.
struct launch_constants {
    launch_constants(const particle_field& field, const engine_run& run);
    const particle_field& field;  // the run's field, read by every photon
    double xl, yl;        // cell half-widths
    double cos_b, sin_b;  // Sun elevation
    double sun_l;         // Sun azimuth, radians
    double widen;         // start-distance factor (emulation flag A)
    bool fold_after_scatter;
};

// Folds the photon into the cell after a scattering. A photon moved by a
// period is no longer on or in the entry ph.ipart it scattered on but on an
// image of the same particle; that image becomes the excluded particle of
// the next search (the entry a period away would stand beyond the first box,
// and a ray crossing the image it left would go through it).
void fold_after_scattering(const particle_field& field, photon& ph);

// Launches, traces and peels off photon ph (its number and its draws set),
// and adds it to this thread's sums: launch, then search, scatter and peel
// off until it escapes or reaches maxscat searches. inidist is the start
// distance of the previous photon (kept when the source lies in the ring
// plane).
void trace_photon(const engine_run& run, const launch_constants& lc, photon_worker& worker, photon& ph,
                  double& inidist);

// The photon loop of one block, photons first..last on this thread: each
// photon draws from its own stream (stream not null: a threaded run) or from
// the run's one generator run.serial_draws (the serial run, all photons, a
// checkpoint's stretch at a time). Stops before a photon when a SIGINT or SIGTERM came or
// team_stop is set; returns the photons done. progress (may be null) is
// updated as photons pass. inidist is the start distance kept from the
// photon before first (0 at the start of a block or of the run), and that of
// the last photon done on return.
std::int64_t run_photon_range(const engine_run& run, const launch_constants& lc, photon_worker& worker,
                              std::int64_t first, std::int64_t last, photon_stream* stream,
                              const std::atomic<bool>* team_stop, progress_line* progress, double& inidist);

}  // namespace quillet
