// Power law of the scattering angle theta (codes 7 to 10): P = c_n * theta^n,
// rising toward backscattering for n > 0. init_callisto normalises it over
// 401 nodes and tabulates theta as a spline of the cumulative distribution
// C(theta) = c_n * integral_0^theta t^n sin t dt, which runs from 0 to 2.
#include "scatter/callisto.h"

#include <cmath>
#include <string>

#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/spline.h"
#include "scatter/within_unit.h"

namespace quillet {

namespace {

constexpr int n_nodes = 401;
constexpr double h = 0.007853981633974483;   // pi / 400
constexpr double h2 = 0.003926990816987242;  // h / 2
constexpr double pi = 3.141592653589793;

// The cumulative distribution for the exponent n into theta, cum and c_n,
// the integrand into f.
void build_table(double n, double* f, double* theta, double* cum, double& c_n) {
    for (int i = 1; i <= n_nodes; ++i) theta[i] = (i - 1) * h;
    for (int j = 1; j <= n_nodes - 1; ++j) {
        double m = (j - 0.5) * h;
        f[j] = std::sin(m) * std::pow(m, n);
    }

    // Running integral over the midpoints (S), then half a trapezoid more to
    // reach each node (I).
    cum[1] = 0.0;
    double s = f[1] * h2;
    for (int j = 1; j <= n_nodes - 2; ++j) {
        if (j > 1) s = s + (f[j - 1] + f[j]) * h2;
        cum[j + 1] = s + 0.5 * (f[j] + f[j + 1]) * h2;
    }
    s = s + (f[n_nodes - 2] + f[n_nodes - 1]) * h2;
    cum[n_nodes] = s + f[n_nodes - 1] * h2;

    c_n = 2.0 / cum[n_nodes];
    for (int i = 1; i <= n_nodes; ++i) cum[i] = cum[i] * c_n;
}

// What keeps the built table of exponent n from serving the sampler and the
// peel-off; "" when nothing does. Without y2: before the spline set-up, which
// divides by the rises of the distribution.
std::string table_problem(double n, const double* theta, const double* cum, const double* y2, double c_n) {
    if (!(std::isfinite(c_n) && c_n > 0.0))
        return "theta^n leaves the range of a double, so that the normalisation c_n = " + free_format(c_n);
    for (int i = 2; i <= n_nodes; ++i)
        if (!(std::isfinite(cum[i]) && cum[i] > cum[i - 1]))
            return "the cumulative distribution does not rise from " + free_format(theta[i - 1]) + " to " +
                   free_format(theta[i]) + " rad (" + free_format(cum[i - 1]) + " to " + free_format(cum[i]) +
                   ": theta^n vanishes in a double there), so that the sampler cannot invert it";
    for (int i = 1; y2 && i <= n_nodes; ++i)
        if (!std::isfinite(y2[i]))
            return "the spline of the angle over the cumulative distribution has the curvature " +
                   free_format(y2[i]) + " at " + free_format(theta[i]) + " rad";
    const double backward = 0.25 * c_n * std::pow(pi, n);
    if (!std::isfinite(backward))
        return "the normalised law evaluates to " + free_format(backward) + " in backscattering";
    return {};
}

}  // namespace

std::string power_law_problem(double n) {
    double f[n_nodes], theta[n_nodes + 1], cum[n_nodes + 1], y2[n_nodes + 1];
    double c_n = 0.0;
    build_table(n, f, theta, cum, c_n);
    if (std::string p = table_problem(n, theta, cum, nullptr, c_n); !p.empty()) return p;
    spline(cum, theta, n_nodes, spline_natural, spline_natural, y2);
    return table_problem(n, theta, cum, y2, c_n);
}

void init_callisto(power_table& t, std::int32_t method, std::int32_t icheck) {
    const double n = t.pow_n;
    t.cum.assign(n_nodes + 1, 0.0);
    t.theta.assign(n_nodes + 1, 0.0);
    t.y2.assign(n_nodes + 1, 0.0);
    double* cum = t.cum.data();
    double* theta = t.theta.data();

    // The integrand sin(m) * m^n at the interval midpoints m_j = (j - 0.5) h.
    double fmid[n_nodes];
    build_table(n, fmid, theta, cum, t.c_n);
    // The deck's exponent passed power_law_problem; this guards other callers.
    auto refuse = [&](const std::string& p) {
        if (!p.empty()) throw limit_error("power-law table for the exponent n = " + free_format(n) + ": " + p);
    };
    refuse(table_problem(n, theta, cum, nullptr, t.c_n));
    spline(cum, theta, n_nodes, spline_natural, spline_natural, t.y2.data());
    refuse(table_problem(n, theta, cum, t.y2.data(), t.c_n));

    if (icheck >= 1) {
        say("INIT_CALLISTO: method", method);
        say("INIT_CALLISTO: n, c_n", n, t.c_n);
        say("INIT_CALLISTO: alpha ", theta[1], theta[n_nodes]);
        say("INIT_CALLISTO: inte  ", cum[1], cum[n_nodes]);
        result_file dump("SPLINE_TEST");
        put_record(dump.stream(), n, t.c_n);
        for (int i = 1; i <= n_nodes; ++i) put_record(dump.stream(), i, cum[i], theta[i], t.y2[i]);
        dump.commit();
    }
}

void e_callisto(const power_table& t, double& sine, double& cose, random_draws& rng) {
    double u = 2.0 * rng.next();
    double theta;
    splint(t.cum.data(), t.theta.data(), t.y2.data(), n_nodes, u, theta);
    if (theta < 0.0 || theta > pi) say("error: e_callisto: eps=", theta);
    cose = std::cos(theta);
    sine = std::sqrt(1.0 - cose * cose);
}

void p_callisto(const power_table& t, double cose, double& phasef) {
    double theta = std::acos(within_unit(cose));
    phasef = 0.25 * t.c_n * std::pow(theta, t.pow_n);
}

}  // namespace quillet
