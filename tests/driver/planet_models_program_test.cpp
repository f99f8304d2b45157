// The planet as the source with the single-law models 11 to 14, run as users
// run them: the planet's flux and photon count on the report agree with a
// computation of the zone fluxes written here from the photometric tables,
// and the engine launches exactly those photons. A model code without a
// brightness factor makes the planet send no light, and the run says why.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/deck_text.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

using quillet::test_support::deck_values;
using quillet::test_support::process_result;
using quillet::test_support::split_lines;

namespace {

// Natural cubic spline through (x[i], y[i]), second derivatives by the
// tridiagonal system of the interior nodes (Thomas algorithm).
struct natural_spline {
    std::vector<double> x, y, m;
    natural_spline(std::vector<double> xs, std::vector<double> ys) : x(std::move(xs)), y(std::move(ys)) {
        const std::size_t n = x.size();
        m.assign(n, 0.0);
        std::vector<double> a(n), b(n), c(n), r(n);
        for (std::size_t i = 1; i + 1 < n; ++i) {
            a[i] = (x[i] - x[i - 1]) / 6.0;
            b[i] = (x[i + 1] - x[i - 1]) / 3.0;
            c[i] = (x[i + 1] - x[i]) / 6.0;
            r[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        }
        for (std::size_t i = 2; i + 1 < n; ++i) {
            const double w = a[i] / b[i - 1];
            b[i] -= w * c[i - 1];
            r[i] -= w * r[i - 1];
        }
        for (std::size_t i = n - 2; i >= 1; --i) m[i] = (r[i] - (i + 2 < n ? c[i] * m[i + 1] : 0.0)) / b[i];
    }
    double operator()(double t) const {
        std::size_t k = 0;
        while (k + 2 < x.size() && t > x[k + 1]) ++k;  // beyond the last node: the last interval's cubic
        const double h = x[k + 1] - x[k], A = (x[k + 1] - t) / h, B = (t - x[k]) / h;
        return A * y[k] + B * y[k + 1] + ((A * A * A - A) * m[k] + (B * B * B - B) * m[k + 1]) * h * h / 6.0;
    }
};

const std::vector<double> nodes = {0, 30, 60, 90, 120, 150};
// Laws 1..4: blue belts, blue zones, red belts, red zones.
const std::vector<double> atab[4] = {{0.6736, 0.6197, 0.5726, 0.5948, 0.7869, 2.1323},
                                     {0.595, 0.5659, 0.5406, 0.529, 0.6015, 1.5886},
                                     {1.6854, 1.5946, 1.4529, 1.3386, 1.3653, 2.2539},
                                     {1.6911, 1.5995, 1.4567, 1.3436, 1.368, 2.2021}};
const std::vector<double> btab[4] = {{1.1339, 1.1254, 1.1552, 1.197, 1.2385, 1.4539},
                                     {1.0948, 1.0938, 1.1372, 1.1606, 1.1636, 1.3727},
                                     {1.4812, 1.4779, 1.4586, 1.4224, 1.3637, 1.3385},
                                     {1.4825, 1.4794, 1.4592, 1.4221, 1.3618, 1.3341}};

struct planet_expectation {
    double flux = 0.0;
    long nphot = 0;
};

// Zone fluxes of the single law `law` (1..4) and the photons that a budget
// gives the zones, all rows (isat = 1).
planet_expectation expected_planet(int law, double bsun, double lonsun, double distance, int nlat, int nfii,
                                   int budget) {
    const natural_spline a(nodes, atab[law - 1]), b(nodes, btab[law - 1]);
    const double rsat = 60.4, rad = 0.017453293;
    const double s[3] = {std::cos(bsun * rad) * std::cos(lonsun * rad), std::cos(bsun * rad) * std::sin(lonsun * rad),
                         std::sin(bsun * rad)};
    const double dth = 3.141592654 / nlat, dph = 6.283185308 / nfii;
    std::vector<double> f;
    planet_expectation e;
    for (int i = 1; i <= nlat; ++i) {
        const double th = i * dth + (-1.570796327 - dth / 2.0);
        for (int j = 1; j <= nfii; ++j) {
            const double ph = double(float(j) - 0.5f) * dph;
            const double n[3] = {std::cos(th) * std::cos(ph), std::cos(th) * std::sin(ph), std::sin(th)};
            double flux = 0.0;
            const double mu0 = n[0] * s[0] + n[1] * s[1] + n[2] * s[2];
            const double d[3] = {distance - rsat * n[0], -rsat * n[1], -rsat * n[2]};
            const double dl = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            const double mue = (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / dl;
            if (mu0 > 0.0 && mue > 0.0) {
                const double g = rsat * rsat * std::cos(th) * dth * dph * mue * (std::fabs(rsat * n[2]) / dl) / (dl * dl);
                const double alpha = 57.29577951 * std::acos((d[0] * s[0] + d[1] * s[1] + d[2] * s[2]) / dl);
                const double x = mue * mu0 / (mue + mu0);
                flux = g * a(alpha) * std::pow(x, b(alpha)) / mue;
            }
            f.push_back(flux);
            e.flux += flux;
        }
    }
    for (double fz : f)
        if (fz > 0.0) e.nphot += long(fz * (budget * (1.0 / e.flux)));
    return e;
}

std::vector<double> numbers_after(const std::string& out, const std::string& label) {
    for (const std::string& line : split_lines(out))
        if (line.compare(0, label.size(), label) == 0) {
            std::istringstream in(line.substr(label.size()));
            std::vector<double> v;
            double x;
            while (in >> x) v.push_back(x);
            return v;
        }
    return {};
}

class PlanetModels : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("ring.pos",
                   "small-field\n1\n1.0 2.0 2.0 0.0\n3\n0.5 0.0 0.0 0.0\n0.4 1.0 1.0 0.2\n0.3 -1.0 0.5 -0.1\n");
    }
    deck_values planet_deck(int model) const {
        deck_values d;
        d.bsun = 26.0, d.lonsun = 35.0;
        d.isat = 1, d.distance = 140.0, d.nlat_sat = 12, d.nfii_sat = 24, d.model_sat = model;
        d.nxphot = 60, d.nyphot = 50, d.isquare = 0;
        d.icheck = 0;  // the engine summary with its I/F lines
        return d;
    }
    process_result run(const deck_values& d) { return quillet::test_support::run_binary(QUILLET_BINARY, d.text(), dir_.path()); }
    quillet::test_support::scratch_dir dir_;
};

}  // namespace

TEST_F(PlanetModels, SingleLawModels11To14GiveTheTablesFluxAndPhotonCount) {
    // Model 11 is law T3, 12 is T1, 13 is T4, 14 is T2.
    const int law_of[] = {3, 1, 4, 2};
    double previous_flux = -1.0;
    for (int model = 11; model <= 14; ++model) {
        const deck_values d = planet_deck(model);
        const planet_expectation e = expected_planet(law_of[model - 11], d.bsun, d.lonsun, d.distance, d.nlat_sat,
                                                     d.nfii_sat, d.nxphot * d.nyphot);
        ASSERT_GT(e.flux, 0.0);
        ASSERT_GT(e.nphot, 0);
        process_result r = run(d);
        ASSERT_EQ(r.status, 0) << "model " << model << ": " << r.err;
        const std::vector<double> sat = numbers_after(r.out, "SATURN: fii,flux,nphot,cpu ");
        ASSERT_EQ(sat.size(), 4u) << r.out;
        EXPECT_EQ(sat[0], d.lonsun);
        EXPECT_NEAR(sat[1], e.flux, 1e-12 * e.flux) << "model " << model;
        EXPECT_EQ(sat[2], double(e.nphot)) << "model " << model;
        const std::vector<double> launched = numbers_after(r.out, "flux_sat,nphot ");
        ASSERT_EQ(launched.size(), 2u);
        EXPECT_EQ(launched[1], double(e.nphot));
        const std::vector<double> ifline = numbers_after(r.out, "I/F: flux_sat/pi,nphot ");
        ASSERT_EQ(ifline.size(), 2u);
        EXPECT_EQ(ifline[1], double(e.nphot)) << "the engine launches the planet's photons";
        // Four different laws: four different fluxes.
        EXPECT_NE(sat[1], previous_flux);
        previous_flux = sat[1];
        // The report shows the code with a blank name.
        EXPECT_NE(r.out.find("MODEL_SAT= " + std::to_string(model)), std::string::npos) << r.out;
    }
}

TEST_F(PlanetModels, ModelWithoutBrightnessFactorSendsNoLightAndTheRunSaysWhy) {
    process_result r = run(planet_deck(7));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("SATURN: fii,flux,nphot,cpu 35.0 0.0 0 "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("model_sat = 7 has no brightness factor (the models are 1 to 6 and 11 to 14)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("NORI,TAU"), std::string::npos);
}
