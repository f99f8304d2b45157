// The rows of the law table and the choice of a particle's law.
#include "scatter/law_table.h"

#include <cmath>

#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "scatter/callisto.h"
#include "scatter/mcphase.h"
#include "scatter/phase_functions.h"
#include "scatter/scatter.h"

namespace quillet {

namespace {

// Samplers and evaluators in the row's form.

// Lambert surface element: sin^2 of the angle to the normal is uniform, the
// root taken in single precision on the single-precision deviate.
void sample_lambert_element(const law_params&, random_draws& rng, double& sine, double& cose) {
    float xi = float(rng.next());
    float s = std::sqrt(xi);
    sine = double(s);
    cose = std::sqrt(1.0 - sine * sine);
}
void evaluate_lambert_element(const law_params&, double cose, double& phasef) { phasef = cose; }

// Isotropic about the outward normal, over the whole sphere.
void sample_isotropic(const law_params&, random_draws& rng, double& sine, double& cose) {
    cose = 2.0 * rng.next() - 1.0;
    sine = std::sqrt(1.0 - cose * cose);
}
void evaluate_isotropic(const law_params&, double, double& phasef) { phasef = 0.25; }

void sample_hg(const law_params& p, random_draws& rng, double& sine, double& cose) { e_hg(sine, cose, p.par1, rng); }
void evaluate_hg(const law_params& p, double cose, double& phasef) { p_hg(cose, phasef, p.par1); }
void sample_euler(const law_params& p, random_draws& rng, double& sine, double& cose) {
    e_euler(sine, cose, p.par1, rng);
}
void evaluate_euler(const law_params& p, double cose, double& phasef) { p_euler(cose, phasef, p.par1); }
void sample_power(const law_params& p, random_draws& rng, double& sine, double& cose) {
    e_callisto(p.tables->power, sine, cose, rng);
}
void evaluate_power(const law_params& p, double cose, double& phasef) { p_callisto(p.tables->power, cose, phasef); }
void sample_lambert_sphere(const law_params&, random_draws& rng, double& sine, double& cose) {
    e_lambert(sine, cose, rng);
}
void evaluate_lambert_sphere(const law_params&, double cose, double& phasef) { p_lambert(cose, phasef); }
void sample_hg2(const law_params& p, random_draws& rng, double& sine, double& cose) {
    e_hg2(sine, cose, p.par1, p.par2, p.par3, rng);
}
void evaluate_hg2(const law_params& p, double cose, double& phasef) { p_hg2(cose, phasef, p.par1, p.par2, p.par3); }
void sample_table(const law_params& p, random_draws& rng, double& sine, double& cose) {
    if (p.haze) e_mcphase_haze(p.tables->mcphase_haze, sine, cose, rng);
    else e_mcphase(p.tables->mcphase, sine, cose, rng);
}
void evaluate_table(const law_params& p, double cose, double& phasef) {
    if (p.haze) p_mcphase_haze(p.tables->mcphase_haze, cose, phasef);
    else p_mcphase(p.tables->mcphase, cose, phasef);
}

// Parameter checks.
std::string value(double v) { return free_format(v); }

std::string hg_asymmetry(double g, const std::string& n) {
    if (std::fabs(g) < 1.0) return {};
    return "the Henyey-Greenstein asymmetry " + n + " must lie between -1 and 1 (exclusive), not " + value(g);
}
std::string check_hg(double p1, double, double, const std::string& n1, const std::string&, const std::string&) {
    return hg_asymmetry(p1, n1);
}
std::string check_hg2(double p1, double p2, double p3, const std::string& n1, const std::string& n2,
                      const std::string& n3) {
    if (std::string s = hg_asymmetry(p1, n1); !s.empty()) return s;
    if (std::string s = hg_asymmetry(p2, n2); !s.empty()) return s;
    if (!(p3 >= 0.0 && p3 <= 1.0))
        return "the weight " + n3 + " of the first Henyey-Greenstein term must lie from 0 to 1, not " + value(p3);
    return {};
}
std::string check_euler(double p1, double, double, const std::string& n1, const std::string&, const std::string&) {
    if (std::fabs(p1) <= 1.0) return {};
    return "the linear-law coefficient " + n1 + " must lie from -1 to 1 (the law 1 + b cos would turn "
           "negative), not " + value(p1);
}
std::string check_power(double p1, double, double, const std::string& n1, const std::string&, const std::string&) {
    if (!(p1 > -2.0))
        return "the power-law exponent " + n1 + " must be above -2 (the law could not be normalised), not " +
               value(p1);
    if (std::string p = power_law_problem(p1); !p.empty())
        return "the power-law exponent " + n1 + " = " + value(p1) + " gives a law that a double cannot hold: " + p;
    return {};
}
std::string check_none(double, double, double, const std::string&, const std::string&, const std::string&) {
    return {};
}

// Table set-ups.
void set_up_callisto(law_tables& t, const law_params& p, std::int32_t code, std::int32_t icheck) {
    if (p.haze) return;
    t.power.pow_n = 3.092;
    init_callisto(t.power, code, icheck);
}
void set_up_power(law_tables& t, const law_params& p, std::int32_t code, std::int32_t icheck) {
    if (p.haze) return;
    t.power.pow_n = p.par1;
    init_callisto(t.power, code, icheck);
}
void set_up_table(law_tables& t, const law_params& p, std::int32_t code, std::int32_t icheck) {
    if (p.haze) init_mcphase_haze(t.mcphase_haze, code, icheck);
    else init_mcphase(t.mcphase, code, icheck);
}

// code, name, surface, from_centre, power_law, float_azimuth, one_sided,
// sampler, evaluator, parameter check, table set-up
const law_row rows[n_law_codes + 1] = {
    {0, "unknown", false, false, false, false, false, nullptr, nullptr, check_none, nullptr},
    {1, "LAMBERT-element", true, false, false, false, true, sample_lambert_element, evaluate_lambert_element,
     check_none, nullptr},
    {2, "ISOTROPIC-sphere", true, false, false, false, false, sample_isotropic, evaluate_isotropic, check_none,
     nullptr},
    {3, "HG-sphere-center", false, true, false, false, false, sample_hg, evaluate_hg, check_hg, nullptr},
    {4, "HG-sphere-point", false, false, false, false, false, sample_hg, evaluate_hg, check_hg, nullptr},
    {5, "EULER-sphere-center", false, true, false, false, false, sample_euler, evaluate_euler, check_euler, nullptr},
    {6, "EULER-sphere-point", false, false, false, false, false, sample_euler, evaluate_euler, check_euler, nullptr},
    {7, "CALLISTO-sphere-center", false, true, true, false, false, sample_power, evaluate_power, check_none,
     set_up_callisto},
    {8, "CALLISTO-sphere-point", false, false, true, false, false, sample_power, evaluate_power, check_none,
     set_up_callisto},
    {9, "POWER-sphere-center", false, true, true, false, false, sample_power, evaluate_power, check_power,
     set_up_power},
    {10, "POWER-sphere-point", false, false, true, false, false, sample_power, evaluate_power, check_power,
     set_up_power},
    {11, "LAMBERT-sphere-center", false, true, false, true, false, sample_lambert_sphere, evaluate_lambert_sphere,
     check_none, nullptr},
    {12, "LAMBERT-sphere-point", false, false, false, true, false, sample_lambert_sphere, evaluate_lambert_sphere,
     check_none, nullptr},
    {13, "HG2-sphere-center", false, true, false, false, false, sample_hg2, evaluate_hg2, check_hg2, nullptr},
    {14, "HG2-sphere-point", false, false, false, false, false, sample_hg2, evaluate_hg2, check_hg2, nullptr},
    {15, "TABLE-sphere-center", false, true, false, false, false, sample_table, evaluate_table, check_none,
     set_up_table},
    {16, "TABLE-sphere-point", false, false, false, false, false, sample_table, evaluate_table, check_none,
     set_up_table},
};

}  // namespace

const law_row& law_of(std::int32_t code) { return rows[is_law_code(code) ? code : 0]; }

scattering_laws::scattering_laws(const settings& s)
    : method_(s.method), method_haze_(s.method_haze), icheck_(s.icheck) {
    check_law_codes(s.method, s.method_haze, s.haze_in_use);
    ring_ = {&law_of(s.method), {s.ppar1, s.ppar2, s.ppar3, false, &tables_}, s.ssca_part};
    haze_ = {&law_of(s.method_haze), {s.ppar1_haze, s.ppar2_haze, s.ppar3_haze, true, &tables_}, s.ssca_haze};
    if (ring_.row->set_up) ring_.row->set_up(tables_, ring_.params, s.method, s.icheck);
    // The power law's normalisation c_n is reported as ppar3.
    if (ring_.row->power_law) ring_.params.par3 = tables_.power.c_n;
    if (s.haze_in_use && haze_.row->set_up) haze_.row->set_up(tables_, haze_.params, s.method_haze, s.icheck);
}

void scattering_laws::refuse_code(std::int32_t ipart) const {
    // check_law_codes turns such a run away at set-up; never scatter with
    // the angles of an earlier photon.
    const bool haze = ring_.row->code != 0;
    throw limit_error("scatter: scattering-law code " + std::to_string(haze ? method_haze_ : method_) +
                      " of particle " + std::to_string(ipart) + " is not one of the codes 1 to 16");
}

}  // namespace quillet
