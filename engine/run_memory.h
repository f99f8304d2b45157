// The memory a run takes, from its sizes, weighed before the tables are
// taken: the particle field (particles with their edge copies, search-grid
// cells), the per-direction tables of every set of tallies (the run's total,
// and in a threaded run each worker's, the pool of block records and the
// exact totals), the escape records, the images and the planet's photons and
// zones. README.md
// ("Capacities and memory") gives the formula.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine_records.h"
#include "numeric/memory_room.h"

namespace quillet {

struct run_config;
struct run_options;

struct run_memory_sizes {
    std::int64_t particles = 0;      // ring + haze particles read
    std::int64_t copies = -1;        // their edge copies (-1: not counted yet, left out)
    double shadow_copies = 4.0;      // copies per entry in the shadow grid (shadow_copies_bound)
    std::int64_t cells = 0;          // search-grid cells mx*my (0 or 1: no grid)
    std::int64_t ntest = 0;          // observer directions
    bool haze = false;               // a haze file is read (the haze table's rows all kept)
    std::int32_t workers = 0;        // worker threads (0: a serial run)
    std::int64_t escapes = 0;        // photons with escape records (0: escape file off)
    std::int64_t pixels = 0;         // nxpix * nypix (0: no test image)
    bool hist = false;               // escape histogram kept
    std::int64_t planet_photons = 0; // launch directions from the planet
    std::int64_t planet_zones = 0;   // nlat_sat * nfii_sat
};

// The sizes of the run that `cfg` describes on this process's workers, the
// field not yet counted (particles 0).
run_memory_sizes run_sizes_of(const run_config& cfg, const run_options& options);

// Rows of the haze table a run keeps (tally_sizes::haze_rows): every count
// of haze scatterings when the field has haze particles, else only none.
constexpr std::int32_t haze_table_rows(bool haze) { return haze ? max_haze_count + 1 : 1; }

// Bytes per observer direction of one set of tallies, and the sets a run of
// `workers` workers holds.
double tally_bytes_per_direction(bool haze);
std::int64_t tally_sets(std::int32_t workers);
// ... and of the exact totals of a run in blocks (threads, processes, parts).
double exact_bytes_per_direction(bool haze);

// The run's memory, part by part, named with their sizes.
std::vector<memory_part> run_memory(const run_memory_sizes& s);

}  // namespace quillet
