#include "support/sampler_stats.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "numeric/ran1.h"

namespace quillet::test_support {

namespace {

constexpr double pi = 3.141592653589793;

// Simpson's rule of f over [a, b] with an even number of intervals.
double simpson(const std::function<double(double)>& f, double a, double b, int intervals) {
    if (intervals % 2) ++intervals;
    double h = (b - a) / intervals;
    double sum = f(a) + f(b);
    for (int i = 1; i < intervals; ++i) sum += (i % 2 ? 4.0 : 2.0) * f(a + i * h);
    return sum * h / 3.0;
}

bool same_state(const ran1_state& a, const ran1_state& b) {
    return a.ix1 == b.ix1 && a.ix2 == b.ix2 && a.ix3 == b.ix3 && std::memcmp(a.r, b.r, sizeof a.r) == 0;
}

chi_square_result pooled_chi_square(const std::vector<double>& observed, const std::vector<double>& expected) {
    chi_square_result res;
    double obs = 0.0, exp = 0.0;
    int cells = 0;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        obs += observed[i];
        exp += expected[i];
        bool last = i + 1 == observed.size();
        if (exp >= 20.0 || last) {
            if (exp > 0.0) {
                res.value += (obs - exp) * (obs - exp) / exp;
                ++cells;
            } else if (obs > 0.0) {
                res.value = INFINITY;  // draws where the law puts nothing
            }
            obs = exp = 0.0;
        }
    }
    res.dof = cells - 1;
    res.threshold = chi_square_critical(res.dof);
    return res;
}

}  // namespace

double sphere_integral(const phase_law& phasef, int intervals) {
    return 2.0 * pi * simpson([&](double t) { return phasef(std::cos(t)) * std::sin(t); }, 0.0, pi, intervals);
}

double cose_bin_probability(const phase_law& phasef, double c0, double c1) {
    double t0 = std::acos(std::min(1.0, std::max(-1.0, c1)));
    double t1 = std::acos(std::min(1.0, std::max(-1.0, c0)));
    return 2.0 * simpson([&](double t) { return phasef(std::cos(t)) * std::sin(t); }, t0, t1, 400);
}

double chi_square_critical(int dof, double z) {
    double k = dof;
    double a = 2.0 / (9.0 * k);
    return k * std::pow(1.0 - a + z * std::sqrt(a), 3.0);
}

std::string chi_square_result::summary() const {
    return "chi-square " + std::to_string(value) + " with " + std::to_string(dof) + " degrees of freedom, threshold " +
           std::to_string(threshold);
}

void print_figure(const std::string& what, const chi_square_result& r) {
    std::printf("[ figure   ] %s: %s\n", what.c_str(), r.summary().c_str());
}

chi_square_result cose_chi_square(const std::function<double()>& draw_cose, const phase_law& phasef, int ndraw,
                                  int nbins) {
    std::vector<double> observed(nbins, 0.0), expected(nbins, 0.0);
    for (int i = 0; i < ndraw; ++i) {
        double c = draw_cose();
        int bin = int((c + 1.0) * 0.5 * nbins);
        if (bin < 0) bin = 0;
        if (bin >= nbins) bin = nbins - 1;
        observed[bin] += 1.0;
    }
    for (int b = 0; b < nbins; ++b)
        expected[b] = ndraw * cose_bin_probability(phasef, -1.0 + 2.0 * b / nbins, -1.0 + 2.0 * (b + 1) / nbins);
    return pooled_chi_square(observed, expected);
}

chi_square_result uniform_chi_square(const std::function<double()>& draw, double lo, double hi, int ndraw,
                                     int nbins) {
    std::vector<double> observed(nbins, 0.0), expected(nbins, double(ndraw) / nbins);
    for (int i = 0; i < ndraw; ++i) {
        int bin = int((draw() - lo) / (hi - lo) * nbins);
        if (bin < 0) bin = 0;
        if (bin >= nbins) bin = nbins - 1;
        observed[bin] += 1.0;
    }
    return pooled_chi_square(observed, expected);
}

namespace {
ran1_state test_generator;
}

random_draws& test_draws() {
    static random_draws draws(test_generator);
    return draws;
}

void reseed(std::int32_t seed) {
    std::int32_t idum = seed;
    ran1(test_generator, idum);
}

int draws_taken(const std::function<void(random_draws&)>& action, std::int32_t seed) {
    reseed(seed);
    action(test_draws());
    const ran1_state after = test_generator;
    reseed(seed);
    for (int k = 0; k <= 20; ++k) {
        if (same_state(test_generator, after)) return k;
        test_draws().next();
    }
    return -1;
}

}  // namespace quillet::test_support
