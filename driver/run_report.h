// The run report on standard output: the header with the version and start
// time, the echo of every setting (which also applies the isquare rules to
// the photon count), the planet-flux line, and the closing summary with the
// values derived from the engine's totals and the end time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "driver/run_parameters.h"

namespace quillet {

inline constexpr const char* report_banner = "==========================================";
inline constexpr const char* report_version = "REVAZO2004/VER2/vellomar (27.07.2004)";

// Layout (1x,i4,'-',i2,'-',i2,2x,i2,':',i2,':',i2) of a broken-down time.
std::string date_time_line(const std::tm& t);

// Prints the date and time line with the local time now.
void print_date_time();

// The photon count after the isquare rules: 1 squares the integer part of
// the square root of nphot, 10 or more gives isquare*isquare, any other value
// leaves nphot.
std::int32_t nphot_after_isquare(std::int32_t isquare, std::int32_t nphot);

// Header and settings echo, from the first banner to "nxphot,nyphot = ".
// Sets p.nphot by the isquare rules right after the isquare line.
void print_header(run_parameters& p);

// Values derived after the engine returns.
struct run_summary {
    double mu0 = 0.0;       // about the sine of the Sun's elevation
    double fdir = 0.0;      // fraction of photons crossing the layer unscattered
    double tau_p = 0.0;     // optical depth along the Sun's direction
    double tau_n = 0.0;     // normal optical depth
    double cpu = 0.0;       // CPU seconds of the engine
    double cpu_comp = 0.0;  // CPU seconds per 1000 photons
};

// bsun: the Sun elevation argument as the engine left it. A photon count
// below 1 counts as 1 in the ratios, as in the engine's statistics.
run_summary summarize(double bsun, std::int32_t ndirect, std::int32_t nphot, double cpu1, double cpu2);

// Closing summary: "NORI,TAU  = " to the last banner, with the end time.
void print_closing(const run_parameters& p, const engine_result& e, const run_summary& s);

}  // namespace quillet
