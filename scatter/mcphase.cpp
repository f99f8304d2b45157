// Phase functions tabulated over the phase angle alpha (codes 15 and 16):
// "mcphase.dat" for ring particles, "mcphase_haze.dat" for haze particles.
// The set-up splines P(alpha) for the peel-off and alpha as a function of the
// normalised cumulative integral of P(alpha) sin(alpha) for the sampler.
// File: a title; n_alpha; n_alpha rows "alpha_degrees P". The scattering
// angle is theta = pi - alpha.
#include "scatter/mcphase.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "format/free_reader.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "format/text_field.h"
#include "numeric/ran1.h"
#include "numeric/spline.h"
#include "scatter/within_unit.h"

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
};

const table_set ring_set{"mcphase.dat",
                         "tabulated phase-function:",
                         false,
                         "INIT_MCPHASE: method",
                         "INIT_MCPHASE: n_alpha",
                         "INIT_MCPHASE: alpha ",
                         "INIT_MCPHASE: inte  ",
                         "SPLINE_TEST",
                         "error: e_mcphase: eps="};

const table_set haze_set{"mcphase_haze.dat",
                         "tabulated haze phase-function:",
                         true,
                         "INIT_MCPHASE_HAZE: method",
                         "INIT_MCPHASE_HAZE: n_alpha",
                         "INIT_MCPHASE_HAZE: alpha ",
                         "INIT_MCPHASE_haze: inte  ",
                         "SPLINE_TEST_HAZE",
                         "error: e_mcphase_haze: eps="};

// Line of table row i: the title and n_alpha records come first.
int row_line(int i) { return i + 2; }

std::string row_text(const table_set& set, int i) {
    return std::string(set.file) + ", line " + std::to_string(row_line(i)) + ", table row " + std::to_string(i);
}

// The peel-off evaluates the spline of P at every phase angle from 0 to 180
// degrees, beyond the rows too (the end intervals' cubics extended), and the
// sampler the spline of alpha at every integral from 0 to 1. A finite
// curvature does not make these finite: rows that span a sliver of angles
// extend their cubic by a factor whose cube leaves the double range. Both
// splines are tried at every row, between rows and every tenth of a degree.
void check_splines(const table_set& set, const phase_table& t) {
    const int n_alpha = t.n_alpha;
    auto nearest_row = [&](double alpha) {
        if (alpha >= t.alpha[n_alpha]) return n_alpha;
        int best = 1;
        for (int i = 2; i <= n_alpha; ++i)
            if (std::fabs(t.alpha[i] - alpha) < std::fabs(t.alpha[best] - alpha)) best = i;
        return best;
    };
    auto try_phase = [&](double alpha) {
        double value;
        splint(t.alpha.data(), t.phase.data(), t.phase_y2.data(), n_alpha, alpha, value);
        if (std::isfinite(value)) return;
        const int i = nearest_row(alpha);
        const double degrees = alpha / deg_to_rad;
        const bool beyond = alpha < t.alpha[1] || alpha > t.alpha[n_alpha];
        throw input_error(row_text(set, i) + ": expected rows whose spline gives a finite phase-function value at "
                          "every phase angle from 0 to 180 degrees, found " + free_format(value) + " at " +
                          free_format(degrees) + " degrees, next to this row (" +
                          free_format(t.alpha[i] / deg_to_rad) + " degrees, value " + free_format(t.phase[i]) + ")" +
                          (beyond ? std::string(", beyond the table, whose rows span only ") +
                                        free_format(t.alpha[1] / deg_to_rad) + " to " +
                                        free_format(t.alpha[n_alpha] / deg_to_rad) + " degrees"
                                  : std::string()));
    };
    auto try_sample = [&](double xi, int i) {
        double alpha;
        splint(t.inte.data(), t.alpha.data(), t.alpha_y2.data(), n_alpha, xi, alpha);
        if (std::isfinite(alpha)) return;
        throw input_error(row_text(set, i) + ": expected rows whose cumulative distribution a spline can invert, "
                          "found the phase angle " + free_format(alpha) + " drawn at the integral " +
                          free_format(xi) + " next to this row (value " + free_format(t.phase[i]) + ")");
    };
    for (int i = 1; i <= n_alpha; ++i) {
        try_phase(t.alpha[i]);
        try_sample(t.inte[i], i);
        if (i < n_alpha) {
            try_phase(0.5 * (t.alpha[i] + t.alpha[i + 1]));
            try_sample(0.5 * (t.inte[i] + t.inte[i + 1]), i);
        }
    }
    for (int k = 0; k <= 1800; ++k) try_phase(k == 1800 ? pi : k * 0.1 * deg_to_rad);
}

void init_table(const table_set& set, phase_table& t, std::int32_t method_code, std::int32_t icheck) {
    free_reader in{std::string(set.file)};

    text80 lineline;
    in.begin_record("record 1 (title)");
    in.read(lineline);
    say(set.echo, lineline);

    std::int32_t n_alpha = 0;
    in.begin_record("record 2 (n_alpha, the number of table rows)");
    if (!in.read(n_alpha)) in.fail("expected n_alpha, the number of table rows");
    if (n_alpha < 2)
        in.fail("expected at least 2 table rows (a spline needs two points), found n_alpha = " +
                std::to_string(n_alpha));
    t.n_alpha = n_alpha;
    // The rows are stored as they are read: a count the file does not back
    // with rows takes no room.
    for (std::vector<double>* v : {&t.alpha, &t.phase}) {
        v->assign(1, 0.0);
        v->reserve(std::size_t(std::min(n_alpha, 10000)) + 1);
    }
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
        t.alpha.push_back(alpha);
        t.phase.push_back(value);
    }
    for (std::vector<double>* v : {&t.phase_y2, &t.inte, &t.alpha_y2}) v->assign(std::size_t(n_alpha) + 1, 0.0);

    // Cumulative integral of P(alpha) sin(alpha), trapezoid rule, normalised to 1.
    t.inte[1] = 0.0;
    for (int i = 2; i <= n_alpha; ++i)
        t.inte[i] = t.inte[i - 1] + 0.5 * (t.alpha[i] - t.alpha[i - 1]) *
                                        (t.phase[i - 1] * std::sin(t.alpha[i - 1]) + t.phase[i] * std::sin(t.alpha[i]));
    // The sampler inverts this integral by a spline, which needs it to rise
    // strictly from row to row (and to a positive total); values so large
    // that the integral overflows would normalise it to NaN.
    for (int i = 2; i <= n_alpha; ++i) {
        if (!std::isfinite(t.inte[i]))
            throw input_error(row_text(set, i) + ": expected phase-function values whose integral of "
                              "P(alpha) sin(alpha) is finite, found that it reaches " + free_format(t.inte[i]) +
                              " at this row (value " + free_format(t.phase[i]) + ")");
        if (!(t.inte[i] > t.inte[i - 1]))
            throw input_error(std::string(set.file) + ", lines " + std::to_string(row_line(i - 1)) + "-" +
                              std::to_string(row_line(i)) +
                              ": expected phase-function values that make the cumulative integral of "
                              "P(alpha) sin(alpha) increase from row to row (positive values), found rows " +
                              std::to_string(i - 1) + " and " + std::to_string(i) + " adding " +
                              free_format(t.inte[i] - t.inte[i - 1]));
    }
    const double total = t.inte[n_alpha];
    // The law normalised to a mean of 1 over the sphere is P / (total / 2):
    // a value too large for the range of angles the rows span (a tall peak
    // on a sliver of angles) has no such normalised value in a double.
    for (int i = 1; i <= n_alpha; ++i)
        if (!std::isfinite(t.phase[i] / (0.5 * total)))
            throw input_error(row_text(set, i) + ": expected a phase-function value that can be normalised to a "
                              "mean of 1 over the sphere, found " + free_format(t.phase[i]) +
                              ", which the rows' integral of P(alpha) sin(alpha) (" + free_format(total) +
                              ") turns into " + free_format(t.phase[i] / (0.5 * total)));
    for (int i = 1; i <= n_alpha; ++i) t.inte[i] = t.inte[i] / total;
    // Neighbouring sums closer than the rounding of the division meet.
    for (int i = 2; i <= n_alpha; ++i)
        if (!(t.inte[i] > t.inte[i - 1]))
            throw input_error(row_text(set, i) + ": expected phase-function values whose normalised cumulative "
                              "integral rises from row to row, found it equal to the previous row's (" +
                              free_format(t.inte[i]) + ") after the normalisation (value " +
                              free_format(t.phase[i]) + ")");

    spline(t.inte.data(), t.alpha.data(), n_alpha, spline_natural, spline_natural, t.alpha_y2.data());
    spline(t.alpha.data(), t.phase.data(), n_alpha, spline_natural, spline_natural, t.phase_y2.data());
    // Huge values on closely spaced angles give curvatures beyond the double range.
    for (int i = 1; i <= n_alpha; ++i)
        if (!std::isfinite(t.alpha_y2[i]) || !std::isfinite(t.phase_y2[i]))
            throw input_error(std::string(set.file) + ", line " + std::to_string(row_line(i)) + ", table row " +
                              std::to_string(i) +
                              ": expected phase-function values that a spline can follow, found a curvature "
                              "beyond the range of a double there (values too large for the spacing of the "
                              "phase angles)");
    check_splines(set, t);

    if (icheck >= 1) {
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

inline void sample_table(const table_set& set, const phase_table& t, double& sine, double& cose,
                         random_draws& rng) {
    double xi = rng.next();
    double alpha;
    splint(t.inte.data(), t.alpha.data(), t.alpha_y2.data(), t.n_alpha, xi, alpha);
    if (alpha < 0.0 || alpha > pi) say(set.sample_error, alpha);
    cose = std::cos(pi - alpha);
    sine = std::sqrt(1.0 - cose * cose);
}

inline void evaluate_table(const phase_table& t, double cose, double& phasef) {
    double alpha = pi - std::acos(within_unit(cose));
    double value;
    splint(t.alpha.data(), t.phase.data(), t.phase_y2.data(), t.n_alpha, alpha, value);
    phasef = 0.25 * value;
}

}  // namespace

void init_mcphase(phase_table& t, std::int32_t method, std::int32_t icheck) {
    init_table(ring_set, t, method, icheck);
}
void e_mcphase(const phase_table& t, double& sine, double& cose, random_draws& rng) {
    sample_table(ring_set, t, sine, cose, rng);
}
void p_mcphase(const phase_table& t, double cose, double& phasef) { evaluate_table(t, cose, phasef); }

void init_mcphase_haze(phase_table& t, std::int32_t method_haze, std::int32_t icheck) {
    init_table(haze_set, t, method_haze, icheck);
}
void e_mcphase_haze(const phase_table& t, double& sine, double& cose, random_draws& rng) {
    sample_table(haze_set, t, sine, cose, rng);
}
void p_mcphase_haze(const phase_table& t, double cose, double& phasef) { evaluate_table(t, cose, phasef); }

}  // namespace quillet
