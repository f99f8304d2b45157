// One scattering of the photon on the particle it hit: the particle kind
// picks the law, parameters and albedo; the albedo scales the photon weight;
// the polar angle is drawn about the incoming direction ("sphere" laws) or
// about the outward surface normal (Lambert element, isotropic), then the
// azimuth, and the direction is rotated into the new one. Every scattering
// takes exactly two deviates from the shared generator, polar angle first.
#include "scatter/scatter.h"

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "scatter/callisto.h"
#include "scatter/mcphase.h"
#include "scatter/phase_functions.h"
#include "scatter/scatter_records.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double pi = 3.141592653589793;

const char* const law_names[17] = {"unknown",
                                   "LAMBERT-element",
                                   "ISOTROPIC-sphere",
                                   "HG-sphere-center",
                                   "HG-sphere-point",
                                   "EULER-sphere-center",
                                   "EULER-sphere-point",
                                   "CALLISTO-sphere-center",
                                   "CALLISTO-sphere-point",
                                   "POWER-sphere-center",
                                   "POWER-sphere-point",
                                   "LAMBERT-sphere-center",
                                   "LAMBERT-sphere-point",
                                   "HG2-sphere-center",
                                   "HG2-sphere-point",
                                   "TABLE-sphere-center",
                                   "TABLE-sphere-point"};

bool is_law_code(std::int32_t code) { return code >= 1 && code <= 16; }
bool is_power_law(std::int32_t code) { return code >= 7 && code <= 10; }

// "-center" codes restart the photon from the particle centre.
bool from_centre(std::int32_t code) { return code >= 3 && code % 2 == 1; }

std::string code_text(std::int32_t code) {
    return std::to_string(code) + " (" + method_name(code) + ")";
}

}  // namespace

const char* method_name(std::int32_t code) { return law_names[is_law_code(code) ? code : 0]; }

std::string law_parameter_problem(std::int32_t code, double ppar1, double ppar2, double ppar3,
                                  const std::string& suffix) {
    auto value = [](double v) { return free_format(v); };
    const std::string n1 = "ppar1" + suffix, n2 = "ppar2" + suffix, n3 = "ppar3" + suffix;
    if (code == 3 || code == 4 || code == 13 || code == 14) {
        if (!(std::fabs(ppar1) < 1.0))
            return "the Henyey-Greenstein asymmetry " + n1 + " must lie between -1 and 1 (exclusive), not " +
                   value(ppar1);
    }
    if (code == 13 || code == 14) {
        if (!(std::fabs(ppar2) < 1.0))
            return "the Henyey-Greenstein asymmetry " + n2 + " must lie between -1 and 1 (exclusive), not " +
                   value(ppar2);
        if (!(ppar3 >= 0.0 && ppar3 <= 1.0))
            return "the weight " + n3 + " of the first Henyey-Greenstein term must lie from 0 to 1, not " +
                   value(ppar3);
    }
    if ((code == 5 || code == 6) && !(std::fabs(ppar1) <= 1.0))
        return "the linear-law coefficient " + n1 + " must lie from -1 to 1 (the law 1 + b cos would turn "
               "negative), not " + value(ppar1);
    if ((code == 9 || code == 10) && !(ppar1 > -2.0))
        return "the power-law exponent " + n1 + " must be above -2 (the law could not be normalised), not " +
               value(ppar1);
    return {};
}

void check_law_codes(std::int32_t method, std::int32_t method_haze, bool haze_in_use) {
    if (!is_law_code(method))
        throw limit_error("scattering-law code method = " + std::to_string(method) +
                          " of the ring particles is not one of the codes 1 to 16");
    if (!haze_in_use) return;
    if (!is_law_code(method_haze))
        throw limit_error("scattering-law code method_haze = " + std::to_string(method_haze) +
                          " of the haze particles is not one of the codes 1 to 16");
    if (is_power_law(method_haze) && !is_power_law(method))
        throw limit_error("haze scattering-law code method_haze = " + code_text(method_haze) +
                          " is a power law, but the ring-particle code method = " + code_text(method) +
                          " is not 7 to 10: the haze power law would have no table (the power-law table "
                          "is built only for a ring-particle power law, and the haze shares it)");
}

void scatter(double& px, double& py, double& pz, double& ex, double& ey, double& ez, std::int32_t ipart) {
    com12.ipart = ipart;
    const std::int32_t ihaze = com_haze1.itype[ipart] == 2 ? 1 : 0;

    std::int32_t code;
    double par1, par2, par3, ssca;
    if (ihaze == 1) {
        code = com_haze2.method_haze;
        par1 = com15_haze.ppar1_haze;
        par2 = com15_haze.ppar2_haze;
        par3 = com15_haze.ppar3_haze;
        ssca = com_haze3.ssca_haze;
    } else {
        code = com12.method;
        par1 = com15.ppar1;
        par2 = com15.ppar2;
        par3 = com15.ppar3;
        ssca = com_haze3.ssca_part;
    }

    com4.weight = com4.weight * ssca;

    // Frame axis, polar angle and azimuth of this scattering.
    double ax, ay, az;
    double sine = 0.0, cose = 0.0;

    if (code == 1 || code == 2) {
        // Surface laws: the polar angle is measured from the outward normal.
        double nx = px - com1.xpart[ipart];
        double ny = py - com1.ypart[ipart];
        double nz = pz - com1.zpart[ipart];
        double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        ax = nx / len;
        ay = ny / len;
        az = nz / len;
        if (code == 1) {
            // Lambert element: sin^2 of the angle to the normal is uniform,
            // the root taken in single precision on the single-precision deviate.
            float xi = float(ran1_draw());
            float s = std::sqrt(xi);
            sine = double(s);
            cose = std::sqrt(1.0 - sine * sine);
        } else {
            cose = 2.0 * ran1_draw() - 1.0;
            sine = std::sqrt(1.0 - cose * cose);
        }
    } else {
        ax = ex;
        ay = ey;
        az = ez;
        if (from_centre(code)) {
            px = com1.xpart[ipart];
            py = com1.ypart[ipart];
            pz = com1.zpart[ipart];
        }
        switch (code) {
            case 3:
            case 4: e_hg(sine, cose, par1); break;
            case 5:
            case 6: e_euler(sine, cose, par1); break;
            case 7:
            case 8:
            case 9:
            case 10: e_callisto(sine, cose); break;
            case 11:
            case 12: e_lambert(sine, cose); break;
            case 13:
            case 14: e_hg2(sine, cose, par1, par2, par3); break;
            case 15:
            case 16:
                if (ihaze == 1)
                    e_mcphase_haze(sine, cose);
                else
                    e_mcphase(sine, cose);
                break;
            default:
                // check_law_codes turns such a deck away at set-up; never scatter
                // with the angles of an earlier photon.
                throw limit_error("scatter: scattering-law code " + std::to_string(code) + " of particle " +
                                  std::to_string(ipart) + " is not one of the codes 1 to 16");
        }
    }

    double xi = ran1_draw();
    double fii;
    if (code == 11 || code == 12)
        fii = double(2.0f * float(xi)) * pi;
    else
        fii = 2.0 * pi * xi;
    const double cosf = std::cos(fii);
    const double sinf = std::sin(fii);

    com16.ex = ex;
    com16.ey = ey;
    com16.ez = ez;

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
        com9_haze.ispart = com9_haze.ispart + 1;
    else
        com9_haze.ishaze = com9_haze.ishaze + 1;

    if (com3.icheck >= 1) {
        say("scatter: ihaze,ssca", ihaze, ssca);
        say("scatter: cose,sine,fii", cose, sine, fii);
        say("scatter: OLD", com16.ex, com16.ey, com16.ez);
        say("scatter: NEW", ex, ey, ez);
    }
}

}  // namespace quillet
