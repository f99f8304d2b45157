// One scattering of the photon on the particle it hit: the particle kind
// picks the law, parameters and albedo; the albedo scales the photon weight;
// the polar angle is drawn about the incoming direction ("sphere" laws) or
// about the outward surface normal (Lambert element, isotropic), then the
// azimuth, and the direction is rotated into the new one. Every scattering
// takes exactly two deviates from the photon's draws, polar angle first.
#include "scatter/scatter.h"

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "scatter/law_table.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double pi = 3.141592653589793;

std::string code_text(std::int32_t code) {
    return std::to_string(code) + " (" + method_name(code) + ")";
}

}  // namespace

const char* method_name(std::int32_t code) { return law_of(code).name; }

std::string law_parameter_problem(std::int32_t code, double ppar1, double ppar2, double ppar3,
                                  const std::string& suffix) {
    return law_of(code).parameter_problem(ppar1, ppar2, ppar3, "ppar1" + suffix, "ppar2" + suffix,
                                          "ppar3" + suffix);
}

void check_law_codes(std::int32_t method, std::int32_t method_haze, bool haze_in_use) {
    if (!is_law_code(method))
        throw limit_error("scattering-law code method = " + std::to_string(method) +
                          " of the ring particles is not one of the codes 1 to 16");
    if (!haze_in_use) return;
    if (!is_law_code(method_haze))
        throw limit_error("scattering-law code method_haze = " + std::to_string(method_haze) +
                          " of the haze particles is not one of the codes 1 to 16");
    if (law_of(method_haze).power_law && !law_of(method).power_law)
        throw limit_error("haze scattering-law code method_haze = " + code_text(method_haze) +
                          " is a power law, but the ring-particle code method = " + code_text(method) +
                          " is not 7 to 10: the haze power law would have no table (the power-law table "
                          "is built only for a ring-particle power law, and the haze shares it)");
}

void scatter(const particle_field& field, photon& ph, const scattering_laws& laws) {
    const std::int32_t ipart = ph.ipart;
    double &px = ph.px, &py = ph.py, &pz = ph.pz;
    double &ex = ph.ex, &ey = ph.ey, &ez = ph.ez;
    const particle_law& law = laws.law_of_kind(field, ipart);
    const law_row& row = *law.row;
    const std::int32_t ihaze = law.params.haze ? 1 : 0;
    const double ssca = law.ssca;

    ph.weight = ph.weight * ssca;

    // Frame axis, polar angle and azimuth of this scattering.
    double ax, ay, az;
    double sine = 0.0, cose = 0.0;
    if (row.surface) {
        // Surface laws: the polar angle is measured from the outward normal.
        double nx = px - field.xpart[ipart];
        double ny = py - field.ypart[ipart];
        double nz = pz - field.zpart[ipart];
        double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        ax = nx / len;
        ay = ny / len;
        az = nz / len;
    } else {
        ax = ex;
        ay = ey;
        az = ez;
        if (row.from_centre) {
            px = field.xpart[ipart];
            py = field.ypart[ipart];
            pz = field.zpart[ipart];
        }
    }
    row.sample(law.params, ph.rng, sine, cose);

    double xi = ph.rng.next();
    double fii;
    if (row.float_azimuth)
        fii = double(2.0f * float(xi)) * pi;
    else
        fii = 2.0 * pi * xi;
    const double cosf = std::cos(fii);
    const double sinf = std::sin(fii);

    ph.before = {ex, ey, ez};

    if (cose < -1.0 || cose > 1.0) {
        say("error: scatter: cose=", cose);
        sine = 0.0;
        cose = cose < -1.0 ? -0.99999999 : 0.99999999;
    }

    if (std::fabs(az) != 1.0) {
        double s = std::sqrt(1.0 - az * az);
        double ez_new = az * cose + sine * cosf * s;
        double ex_new = (ax * (cose - az * ez_new) - ay * sine * sinf * s) / (1.0 - az * az);
        double ey_new = (ay * (cose - az * ez_new) + ax * sine * sinf * s) / (1.0 - az * az);
        ex = ex_new;
        ey = ey_new;
        ez = ez_new;
    } else {
        // Along the vertical the general formula divides by zero.
        ex = sine * cosf;
        ey = sine * sinf;
        ez = (az / std::fabs(az)) * cose;
    }

    if (ihaze == 0)
        ph.ispart = ph.ispart + 1;
    else
        ph.ishaze = ph.ishaze + 1;

    if (laws.icheck() >= 1) {
        say("scatter: ihaze,ssca", ihaze, ssca);
        say("scatter: cose,sine,fii", cose, sine, fii);
        say("scatter: OLD", ph.before.ex, ph.before.ey, ph.before.ez);
        say("scatter: NEW", ex, ey, ez);
    }
}

}  // namespace quillet
