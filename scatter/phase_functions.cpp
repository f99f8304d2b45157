// Closed-form scattering laws: Lambert sphere, one- and two-term
// Henyey-Greenstein and the linear law. theta is the scattering angle
// (0 forward, pi straight back); evaluators return P/4 with P of mean 1 over
// the sphere; every sampler takes exactly one deviate from the draws it is given.
#include "scatter/phase_functions.h"

#include <cmath>

#include "format/free_writer.h"
#include "numeric/ran1.h"
#include "scatter/within_unit.h"

namespace quillet {

namespace {

// The Lambert-sphere routines carry pi to ten digits; their constants derive
// from that value.
constexpr double pi_lambert = 3.141592654;
constexpr double half_pi_lambert = 1.570796327;
constexpr double lambert_phase_factor = 0.21220659076148535;  // 2 / (3 pi)
constexpr double lambert_cdf_factor = 0.05305164769037134;    // 1 / (6 pi)

// Fraction of Lambert-sphere scatterings with a scattering angle below theta.
inline double lambert_cdf(double theta) {
    return (4.0 * theta - 3.0 * std::sin(2.0 * theta) + 2.0 * theta * std::cos(2.0 * theta)) * lambert_cdf_factor;
}

// One term of the two-term sampler's G(mu), before the factor -2. A term with
// g = 0 is isotropic: its fraction above mu is (1 - mu)/2, the limit of the
// general expression, which would divide by zero there.
inline double hg2_term(double weight, double g, double mu) {
    if (g == 0.0) return -0.25 * weight * (1.0 - mu);
    double t = 1.0 + g * g - 2.0 * g * mu;
    return 0.25 * weight * (1.0 - g * g) / g * (1.0 / std::sqrt(t) - 1.0 / (1.0 - g));
}

}  // namespace

void p_lambert(double cose, double& phasef) {
    cose = within_unit(cose);
    double theta = std::acos(cose);
    phasef = (std::sin(theta) - theta * cose) * lambert_phase_factor;
}

void e_lambert(double& sine, double& cose, random_draws& rng) {
    double xi = rng.next();
    double lower = 0.0, upper = pi_lambert, mid = half_pi_lambert;
    for (int k = 0; k < 20; ++k) {
        if (lambert_cdf(mid) > xi)
            upper = mid;
        else
            lower = mid;
        mid = (lower + upper) * 0.5;
    }
    double theta = mid;
    if (theta < 0.0 || theta > pi_lambert) say("error: e_lambert: eps=", theta);
    sine = std::sin(theta);
    cose = std::cos(theta);
}

void p_hg(double cose, double& phasef, double g) {
    double t = g * g + 1.0 - 2.0 * g * cose;
    phasef = (0.25 - 0.25 * g * g) / (t * std::sqrt(t));
}

void e_hg(double& sine, double& cose, double g, random_draws& rng) {
    double xi = rng.next();
    double s = 1.0 - 2.0 * xi;
    double d = 1.0 + s * g;
    cose = 0.5 * (2.0 * s + g * (s * s + 3.0 + g * ((s * s - 1.0) * g + 2.0 * s))) / (d * d);
    sine = std::sqrt(1.0 - cose * cose);
}

void p_hg2(double cose, double& phasef, double g1, double g2, double w) {
    double p1, p2;
    p_hg(cose, p1, g1);
    p_hg(cose, p2, g2);
    phasef = w * p1 + (1.0 - w) * p2;
}

void e_hg2(double& sine, double& cose, double g1, double g2, double w, random_draws& rng) {
    double xi = rng.next();
    // G(mu): fraction of scatterings with a cosine above mu, falling from 1 to 0.
    double lower = -1.0, upper = 1.0, mu = 0.0;
    for (int k = 0; k < 20; ++k) {
        double above = -2.0 * (hg2_term(w, g1, mu) + hg2_term(1.0 - w, g2, mu));
        if (above > xi)
            lower = mu;
        else
            upper = mu;
        mu = (lower + upper) * 0.5;
    }
    if (mu < -1.0 || mu > 1.0) say("error: e_hg2: eps=", mu);
    cose = mu;
    sine = std::sqrt(1.0 - mu * mu);
}

void p_euler(double cose, double& phasef, double b) { phasef = 0.25 * b * cose + 0.25; }

void e_euler(double& sine, double& cose, double b, random_draws& rng) {
    double xi = rng.next();
    double q = b + 2.0 - 4.0 * xi;
    cose = q / (1.0 + std::sqrt(1.0 + b * q));
    sine = std::sqrt(1.0 - cose * cose);
}

}  // namespace quillet
