// Phase functions tabulated over the phase angle alpha (codes 15 and 16):
// "mcphase.dat" for ring particles, "mcphase_haze.dat" for haze particles.
// The set-up splines P(alpha) for the peel-off and alpha as a function of the
// normalised cumulative integral of P(alpha) sin(alpha) for the sampler.
// File: a title; n_alpha; n_alpha rows "alpha_degrees P". The scattering
// angle is theta = pi - alpha.
#include "scatter/mcphase.h"

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "format/free_reader.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "format/text_field.h"
#include "numeric/ran1.h"
#include "numeric/spline.h"
#include "scatter/scatter_records.h"
#include "scatter/within_unit.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double deg_to_rad = 0.017453292519943295;

// What differs between the ring-particle and the haze-particle set.
struct table_set {
    const char* file;
    const char* echo;
    bool echo_n_alpha;
    const char* label_method;
    const char* label_n_alpha;
    const char* label_alpha;
    const char* label_inte;
    const char* dump_file;
    const char* sample_error;
    com_mcphase1_t& tab;
    com_mcphase2_t& size;
};

const table_set ring_set{"mcphase.dat",
                         "tabulated phase-function:",
                         false,
                         "INIT_MCPHASE: method",
                         "INIT_MCPHASE: n_alpha",
                         "INIT_MCPHASE: alpha ",
                         "INIT_MCPHASE: inte  ",
                         "SPLINE_TEST",
                         "error: e_mcphase: eps=",
                         com_mcphase1,
                         com_mcphase2};

const table_set haze_set{"mcphase_haze.dat",
                         "tabulated haze phase-function:",
                         true,
                         "INIT_MCPHASE_HAZE: method",
                         "INIT_MCPHASE_HAZE: n_alpha",
                         "INIT_MCPHASE_HAZE: alpha ",
                         "INIT_MCPHASE_haze: inte  ",
                         "SPLINE_TEST_HAZE",
                         "error: e_mcphase_haze: eps=",
                         com_mcphase1_haze,
                         com_mcphase2_haze};

// Line of table row i: the title and n_alpha records come first.
int row_line(int i) { return i + 2; }

void init_table(const table_set& set, std::int32_t method_code) {
    com_mcphase1_t& t = set.tab;
    free_reader in{std::string(set.file)};

    text80 lineline;
    in.begin_record("record 1 (title)");
    in.read(lineline);
    say(set.echo, lineline);

    std::int32_t n_alpha = 0;
    in.begin_record("record 2 (n_alpha, the number of table rows)");
    if (!in.read(n_alpha)) in.fail("expected n_alpha, the number of table rows");
    if (n_alpha > spline_max_points)
        throw limit_error(in.source() + ", line " + std::to_string(in.line()) + ": n_alpha = " +
                          std::to_string(n_alpha) + " table rows exceed the limit of " +
                          std::to_string(spline_max_points) + " rows");
    if (n_alpha < 2)
        in.fail("expected at least 2 table rows (a spline needs two points), found n_alpha = " +
                std::to_string(n_alpha));
    set.size.n_alpha = n_alpha;
    if (set.echo_n_alpha) say("n_alpha_haze", n_alpha);

    for (int i = 1; i <= n_alpha; ++i) {
        in.begin_record("table row " + std::to_string(i) + " (phase angle in degrees, phase-function value)");
        double degrees = 0.0, value = 0.0;
        if (!in.read(degrees)) in.fail("expected the phase angle in degrees");
        if (!in.read(value)) in.fail("expected the phase-function value");
        if (!(degrees >= 0.0 && degrees <= 180.0))
            in.fail("expected a phase angle from 0 to 180 degrees, found " + free_format(degrees));
        if (!std::isfinite(value)) in.fail("expected a finite phase-function value, found " + free_format(value));
        double alpha = degrees * deg_to_rad;
        if (i > 1 && !(alpha > t.alpha[i - 1]))
            in.fail("expected phase angles in increasing order, found " + free_format(degrees) +
                    " after " + free_format(t.alpha[i - 1] / deg_to_rad));
        t.alpha[i] = alpha;
        t.phase[i] = value;
    }

    // Cumulative integral of P(alpha) sin(alpha), trapezoid rule, normalised to 1.
    t.inte[1] = 0.0;
    for (int i = 2; i <= n_alpha; ++i)
        t.inte[i] = t.inte[i - 1] + 0.5 * (t.alpha[i] - t.alpha[i - 1]) *
                                        (t.phase[i - 1] * std::sin(t.alpha[i - 1]) + t.phase[i] * std::sin(t.alpha[i]));
    // The sampler inverts this integral by a spline, which needs it to rise
    // strictly from row to row (and to a positive total).
    for (int i = 2; i <= n_alpha; ++i)
        if (!(t.inte[i] > t.inte[i - 1]))
            throw input_error(std::string(set.file) + ", lines " + std::to_string(row_line(i - 1)) + "-" +
                              std::to_string(row_line(i)) +
                              ": expected phase-function values that make the cumulative integral of "
                              "P(alpha) sin(alpha) increase from row to row (positive values), found rows " +
                              std::to_string(i - 1) + " and " + std::to_string(i) + " adding " +
                              free_format(t.inte[i] - t.inte[i - 1]));
    const double total = t.inte[n_alpha];
    // Values so large that the integral overflows would normalise it to NaN.
    if (!std::isfinite(total))
        throw input_error(std::string(set.file) + ", lines " + std::to_string(row_line(1)) + "-" +
                          std::to_string(row_line(n_alpha)) +
                          ": expected phase-function values whose integral of P(alpha) sin(alpha) is finite, "
                          "found " + free_format(total));
    for (int i = 1; i <= n_alpha; ++i) t.inte[i] = t.inte[i] / total;

    spline(t.inte, t.alpha, n_alpha, spline_natural, spline_natural, t.alpha_y2);
    spline(t.alpha, t.phase, n_alpha, spline_natural, spline_natural, t.phase_y2);
    // Huge values on closely spaced angles give curvatures beyond the double range.
    for (int i = 1; i <= n_alpha; ++i)
        if (!std::isfinite(t.alpha_y2[i]) || !std::isfinite(t.phase_y2[i]))
            throw input_error(std::string(set.file) + ", line " + std::to_string(row_line(i)) + ", table row " +
                              std::to_string(i) +
                              ": expected phase-function values that a spline can follow, found a curvature "
                              "beyond the range of a double there (values too large for the spacing of the "
                              "phase angles)");

    if (com3.icheck >= 1) {
        say(set.label_method, method_code);
        say(set.label_n_alpha, n_alpha);
        say(set.label_alpha, t.alpha[1], t.alpha[n_alpha]);
        say(set.label_inte, t.inte[1], t.inte[n_alpha]);
        result_file dump(set.dump_file);
        put_record(dump.stream(), n_alpha);
        for (int i = 1; i <= n_alpha; ++i) put_record(dump.stream(), i, t.inte[i], t.alpha[i], t.alpha_y2[i]);
        for (int i = 1; i <= n_alpha; ++i) put_record(dump.stream(), i, t.alpha[i], t.phase[i], t.phase_y2[i]);
        dump.commit();
    }
}

inline void sample_table(const table_set& set, double& sine, double& cose, random_draws& rng) {
    const com_mcphase1_t& t = set.tab;
    double xi = rng.next();
    double alpha;
    splint(t.inte, t.alpha, t.alpha_y2, set.size.n_alpha, xi, alpha);
    if (alpha < 0.0 || alpha > pi) say(set.sample_error, alpha);
    cose = std::cos(pi - alpha);
    sine = std::sqrt(1.0 - cose * cose);
}

inline void evaluate_table(const table_set& set, double cose, double& phasef) {
    const com_mcphase1_t& t = set.tab;
    double alpha = pi - std::acos(within_unit(cose));
    double value;
    splint(t.alpha, t.phase, t.phase_y2, set.size.n_alpha, alpha, value);
    phasef = 0.25 * value;
}

}  // namespace

void init_mcphase() { init_table(ring_set, com12.method); }
void e_mcphase(double& sine, double& cose, random_draws& rng) { sample_table(ring_set, sine, cose, rng); }
void p_mcphase(double cose, double& phasef) { evaluate_table(ring_set, cose, phasef); }

void init_mcphase_haze() { init_table(haze_set, com_haze2.method_haze); }
void e_mcphase_haze(double& sine, double& cose, random_draws& rng) { sample_table(haze_set, sine, cose, rng); }
void p_mcphase_haze(double cose, double& phasef) { evaluate_table(haze_set, cose, phasef); }

}  // namespace quillet
