// Statistical checks of scattering laws shared by the tests: quadrature of an
// evaluator over the sphere, chi-square comparison of a sampler's cos(theta)
// histogram with its evaluator, and counting how many deviates an action
// takes from the generator it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "numeric/ran1.h"

namespace quillet::test_support {

// phasef as a function of cose (P/4, the evaluators' convention).
using phase_law = std::function<double(double)>;

// Integral of phasef over the sphere, 2 pi * int_0^pi phasef(cos t) sin t dt,
// by composite Simpson in theta (smooth even where P is steep in cos theta).
double sphere_integral(const phase_law& phasef, int intervals = 20000);

// Probability that cos(theta) falls in [c0, c1] for the law phasef
// (2 * int phasef dcose, integrated in theta).
double cose_bin_probability(const phase_law& phasef, double c0, double c1);

// Upper critical value of chi-square with `dof` degrees of freedom at the
// normal quantile z (Wilson-Hilferty); z = 3.719 is a significance of 1e-4.
double chi_square_critical(int dof, double z = 3.719);

struct chi_square_result {
    double value = 0.0;      // sum of (observed - expected)^2 / expected
    int dof = 0;             // bins used - 1
    double threshold = 0.0;  // critical value at significance 1e-4
    std::string summary() const;
};

// Prints the figure of a statistical check on the test log.
void print_figure(const std::string& what, const chi_square_result& r);

// Draws `ndraw` values of cose from `draw_cose`, bins them in `nbins` equal
// cells over [-1, 1] and compares with the bin probabilities of `phasef`.
// Neighbouring cells expected to hold fewer than 20 draws are pooled.
chi_square_result cose_chi_square(const std::function<double()>& draw_cose, const phase_law& phasef, int ndraw,
                                  int nbins = 40);

// Chi-square of draws in [lo, hi) against a uniform distribution, `nbins` cells.
chi_square_result uniform_chi_square(const std::function<double()>& draw, double lo, double hi, int ndraw,
                                     int nbins);

// The tests' own ran1 generator, as the samplers take it in a serial run.
random_draws& test_draws();

// Restarts the tests' generator with the negative seed `seed` (the seeding
// call also hands out, and so uses up, the sequence's first value).
void reseed(std::int32_t seed);

// Runs `action` on the tests' generator restarted with `seed` and returns how
// many plain draws reproduce the generator state it leaves (-1 when none up
// to 20 does).
int draws_taken(const std::function<void(random_draws&)>& action, std::int32_t seed = -4711);

}  // namespace quillet::test_support
