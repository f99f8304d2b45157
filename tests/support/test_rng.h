// A ran1 stream of a test's own (seeded, apart from the run's global one),
// with uniform deviates and isotropic unit directions for random rays.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "numeric/ran1.h"

namespace quillet::fixture {

struct test_rng {
    ran1_state st;
    std::int32_t idum;
    explicit test_rng(std::int32_t seed) : idum(seed) {}
    double u() { return ran1(st, idum); }
    void direction(double& ux, double& uy, double& uz) {
        uz = 2.0 * u() - 1.0;
        const double s = std::sqrt(std::max(0.0, 1.0 - uz * uz)), phi = 2.0 * std::numbers::pi * u();
        ux = s * std::cos(phi);
        uy = s * std::sin(phi);
    }
};

}  // namespace quillet::fixture
