// One whole simulator run for the physics validation: the field is written
// to a temporary folder, the engine runs in-process (Sun as the source,
// random launch points, no images, result files off except the direction
// file), and the reflectance comes back as the engine's own I/F table lines
// ("I/F: k,lat,fii,i_f,err,i_f_1,err_1"), read from its standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/engine_fixture.h"

namespace quillet::physics {

// An observer direction: elevation and azimuth from the Sun, degrees.
struct view {
    double lat;
    double dfii;
};

struct physics_run_request {
    const testing_support::field_spec* field = nullptr;
    double bsun = 30.0;
    double lonsun = 0.0;  // the Sun's azimuth; observers at lonsun + dfii
    std::vector<view> views;
    std::int32_t nphot = 10000;  // rounded to nxphot * nyphot with nxphot = 100
    std::int32_t method = 2;
    double ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
    double albedo = 1.0;
    std::int32_t maxscat = 100;
    std::int32_t mx = 1, my = 1;  // search grid
    std::int32_t irot = 0;
    std::int32_t seed = -12345;
};

struct physics_run_result {
    std::int32_t nphot = 0;
    std::int32_t ndirect = 0;
    double tau = 0.0;
    double mu0_line = 0.0;  // the first value of the "I/F: mu0,nphot" line
    std::vector<double> i_f, err, i_f_1, err_1;  // per direction, from the I/F lines
    std::vector<double> testw, testd_corr, order1;  // as the engine returned them
    std::string out;  // the engine's standard output
};

physics_run_result run_field(const physics_run_request& req);

// The values that follow `label` on every line of `text` that starts with it.
std::vector<std::vector<double>> labelled_lines(const std::string& text, const std::string& label);

// Photon counts are cut under the sanitizers, where a run is 10 to 30 times
// slower; every tolerance follows the run's own error, so the checks stay
// valid with fewer photons.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_sanitizers = true;
#else
constexpr bool under_sanitizers = false;
#endif
inline std::int32_t photons(std::int32_t release, std::int32_t sanitized) {
    return under_sanitizers ? sanitized : release;
}

}  // namespace quillet::physics
