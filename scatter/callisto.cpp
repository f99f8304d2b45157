// Power law of the scattering angle theta (codes 7 to 10): P = c_n * theta^n,
// rising toward backscattering for n > 0. init_callisto normalises it over
// 401 nodes and tabulates theta as a spline of the cumulative distribution
// C(theta) = c_n * integral_0^theta t^n sin t dt, which runs from 0 to 2.
#include "scatter/callisto.h"

#include <cmath>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "numeric/ran1.h"
#include "numeric/spline.h"
#include "scatter/scatter_records.h"
#include "scatter/within_unit.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr int n_nodes = 401;
constexpr double h = 0.007853981633974483;   // pi / 400
constexpr double h2 = 0.003926990816987242;  // h / 2
constexpr double pi = 3.141592653589793;

// Integrand sin(m) * m^n at the interval midpoints m_j = (j - 0.5) h.
double fmid[n_nodes];

}  // namespace

void init_callisto() {
    const double n = com_power2.pow_n;
    double* cum = com_power1.cum;
    double* theta = com_power1.theta;

    for (int i = 1; i <= n_nodes; ++i) theta[i] = (i - 1) * h;
    for (int j = 1; j <= n_nodes - 1; ++j) {
        double m = (j - 0.5) * h;
        fmid[j] = std::sin(m) * std::pow(m, n);
    }

    // Running integral over the midpoints (S), then half a trapezoid more to
    // reach each node (I).
    cum[1] = 0.0;
    double s = fmid[1] * h2;
    for (int j = 1; j <= n_nodes - 2; ++j) {
        if (j > 1) s = s + (fmid[j - 1] + fmid[j]) * h2;
        cum[j + 1] = s + 0.5 * (fmid[j] + fmid[j + 1]) * h2;
    }
    s = s + (fmid[n_nodes - 2] + fmid[n_nodes - 1]) * h2;
    cum[n_nodes] = s + fmid[n_nodes - 1] * h2;

    com_power2.c_n = 2.0 / cum[n_nodes];
    for (int i = 1; i <= n_nodes; ++i) cum[i] = cum[i] * com_power2.c_n;

    spline(cum, theta, n_nodes, spline_natural, spline_natural, com_power1.y2);

    if (com3.icheck >= 1) {
        say("INIT_CALLISTO: method", com12.method);
        say("INIT_CALLISTO: n, c_n", n, com_power2.c_n);
        say("INIT_CALLISTO: alpha ", theta[1], theta[n_nodes]);
        say("INIT_CALLISTO: inte  ", cum[1], cum[n_nodes]);
        result_file dump("SPLINE_TEST");
        put_record(dump.stream(), n, com_power2.c_n);
        for (int i = 1; i <= n_nodes; ++i) put_record(dump.stream(), i, cum[i], theta[i], com_power1.y2[i]);
        dump.commit();
    }
}

void e_callisto(double& sine, double& cose, random_draws& rng) {
    double u = 2.0 * rng.next();
    double theta;
    splint(com_power1.cum, com_power1.theta, com_power1.y2, n_nodes, u, theta);
    if (theta < 0.0 || theta > pi) say("error: e_callisto: eps=", theta);
    cose = std::cos(theta);
    sine = std::sqrt(1.0 - cose * cose);
}

void p_callisto(double cose, double& phasef) {
    double theta = std::acos(within_unit(cose));
    phasef = 0.25 * com_power2.c_n * std::pow(theta, com_power2.pow_n);
}

}  // namespace quillet
