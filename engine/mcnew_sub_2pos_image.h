// The imaging engine: one call runs a whole simulation (set-up, photon loop,
// peel-off, statistics and result files) for a run configuration and hands
// the run's results back.
#pragma once

#include "engine/run_config.h"
#include "engine/run_options.h"
#include "format/text_field.h"
#include "planet/planet_source.h"

namespace quillet {

struct engine_run;

// Engine parameter file: ssca; maxscat; nbox and nboxvis (defaults 1.0, 100,
// 10000, 10000). Fills run.ssca, run.nbox, run.nboxvis and run.maxscat.
void read_engine_parameters(const text80& parfile, engine_run& run);

// The emulation flags of the deck's iemulate: A with 1 and 3, B with 2 and 3.
void set_emulation(std::int32_t iemulate, engine_run& run);

// Runs the simulation that `cfg` describes. With the planet as the source
// (cfg.planet.isat >= 1), `planet` holds its photons (saturn_illumination's
// result) and must not be null. cfg.latobs and cfg.fiiobs give each observer
// direction as an elevation and an azimuth in the Sun's frame. `options`
// says how the run is carried out (by default serially, on this thread,
// keeping no state).
engine_result mcnew_sub_2pos_image(const run_config& cfg, const planet_photons* planet = nullptr,
                                   const run_options& options = {});

}  // namespace quillet
