#include "engine/run_memory.h"

#include <algorithm>
#include <string>

#include "engine/engine_records.h"
#include "engine/run_options.h"
#include "engine/run_config.h"
#include "field/particle_field.h"

namespace quillet {

namespace {

// Per direction besides the tallies: the deck's and the configuration's
// lists, the peel-off's observer directions, the statistics and the result
// handed back (its sums by order and by ring and haze scatterings).
double direction_bytes(bool haze) {
    return 40.0 + 28.0 + 3.0 * 8.0 + (max_order + 1) * 8.0 +
           (3.0 + (max_order + 1) + haze_table_rows(haze) * (max_ring_count + 1.0)) * 8.0;
}
// Per direction and photon worker (and the set-up's own): the peel-off's
// working tables and prepared search directions.
constexpr double worker_direction_bytes = 10.0 * 8.0 + 4.0 + 96.0;
// Per pixel of the test image: two counts, ten planes and the pixel centres.
constexpr double pixel_bytes = 2.0 * 4.0 + n_image_planes * 4.0 + 2.0 * 4.0;
// Each worker thread's stack (the program itself is already counted in the
// room left: it is in the process's size and out of the machine's available
// memory).
constexpr double thread_bytes = 8.0e6;

}  // namespace

double tally_bytes_per_direction(bool haze) {
    // Seven sums per direction, the sums by order and by ring and haze
    // scatterings with their squares, and the current photon's two.
    return (7.0 + 2.0 * (max_order + 1) + 2.0 * haze_table_rows(haze) * (max_ring_count + 1.0) + 2.0) * 8.0;
}

double exact_bytes_per_direction(bool haze) {
    // The exact totals of a run in blocks: a 32-byte sum for each of the
    // per-direction values of a set of tallies (the photon's two aside).
    return (7.0 + 2.0 * (max_order + 1) + 2.0 * haze_table_rows(haze) * (max_ring_count + 1.0)) * 32.0;
}

std::int64_t tally_sets(std::int32_t workers) {
    // A threaded run: the total, each worker's own, and the pool of block
    // records (two per worker and two more).
    return workers < 1 ? 1 : 1 + std::int64_t(workers) + 2 * std::int64_t(workers) + 2;
}

run_memory_sizes run_sizes_of(const run_config& cfg, const run_options& options) {
    run_memory_sizes s;
    s.cells = std::int64_t(cfg.mx) * cfg.my;
    s.ntest = cfg.ntest;
    s.haze = !cfg.posfile_haze.is_junk();
    s.workers = options.parallel.on ? std::max(1, options.parallel.threads) : 0;
    const std::int64_t photons = std::int64_t(cfg.nxphot) * cfg.nyphot;
    s.escapes = cfg.outfile.is_junk() ? 0 : photons;
    s.pixels = cfg.nxpix >= 1 ? std::int64_t(cfg.nxpix) * cfg.nypix : 0;
    s.hist = !cfg.epsfile.is_junk();
    if (cfg.planet.isat >= 1) {
        s.planet_photons = photons;
        s.planet_zones = std::int64_t(cfg.planet.nlat_sat) * cfg.planet.nfii_sat;
    }
    return s;
}

std::vector<memory_part> run_memory(const run_memory_sizes& s) {
    std::vector<memory_part> parts;
    const bool grid = s.cells > 1;
    if (s.particles > 0) {
        const std::int64_t entries = s.particles + (s.copies > 0 ? s.copies : 0);
        parts.push_back({thousands(s.particles) + " particles" +
                             (s.copies >= 0 ? " with their " + thousands(s.copies) + " edge copies" : ""),
                         field_table_bytes(entries, grid, s.shadow_copies)});
    }
    if (grid) parts.push_back({thousands(s.cells) + " search-grid cells", grid_cell_bytes(s.cells)});
    if (s.ntest > 0) {
        const std::int64_t sets = tally_sets(s.workers);
        const double per_direction = double(sets) * tally_bytes_per_direction(s.haze) + direction_bytes(s.haze) +
                                     double(s.workers + 1) * worker_direction_bytes +
                                     (s.workers > 0 ? exact_bytes_per_direction(s.haze) : 0.0);
        parts.push_back({thousands(s.ntest) + " observer directions" +
                             (s.workers > 0 ? " (" + std::to_string(sets) + " sets of sums and the exact totals for " +
                                                  std::to_string(s.workers) + " workers)"
                                            : ""),
                         double(s.ntest + 1) * per_direction});
    }
    if (s.escapes > 0) parts.push_back({thousands(s.escapes) + " escape records", double(s.escapes + 1) * 16.0});
    // A run in blocks also keeps the exact sums of the image planes and of
    // the histogram (16 bytes a cell).
    const double exact_cell = s.workers > 0 ? 16.0 : 0.0;
    if (s.pixels > 0)
        parts.push_back({thousands(s.pixels) + " test-image pixels",
                         double(s.pixels) * (pixel_bytes + n_image_planes * exact_cell)});
    if (s.hist)
        parts.push_back({"the escape histogram", (4.0 + exact_cell) * n_hist_planes * n_hist_lat * n_hist_fii});
    if (s.planet_photons > 0)
        parts.push_back({thousands(s.planet_photons) + " planet photons", double(s.planet_photons + 1) * 24.0});
    if (s.planet_zones > 0) parts.push_back({thousands(s.planet_zones) + " planet zones", double(s.planet_zones) * 8.0});
    if (s.workers > 0) parts.push_back({std::to_string(s.workers) + " worker threads", double(s.workers) * thread_bytes});
    return parts;
}

}  // namespace quillet
