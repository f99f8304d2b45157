// The planet source: sharing of the photon budget, hemisphere rows, models,
// the photometric tables, and the total flux of a Lambert planet against an
// independent integration over the sphere.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "format/run_error.h"
#include "planet/planet_source.h"
#include "planet/planet_zones.h"
#include "planet/saturn_illumination.h"

using namespace quillet;

namespace {

constexpr double rsat = 60.4;

planet_settings settings;
planet_photons last;  // the result of the last run_planet

void set_planet(std::int32_t isat, double distance, std::int32_t nlat, std::int32_t nfii,
                std::int32_t model) {
    settings = {isat, distance, rsat, nlat, nfii, model};
}

// A zone table of one row of the given fluxes, as saturn_illumination leaves it.
planet_photons one_row(std::initializer_list<double> fluxes, double flux_sat) {
    planet_photons p;
    p.nlat_sat = 1;
    p.nfii_sat = std::int32_t(fluxes.size());
    p.zone_flux.assign(fluxes);
    p.flux_sat = flux_sat;
    return p;
}

// Runs the routine with its report line captured.
double run_planet(double bsun, double lonsun, std::int32_t budget, std::int32_t& nphot,
                  std::string* line = nullptr) {
    testing::internal::CaptureStdout();
    last = saturn_illumination(bsun, lonsun, budget, settings);
    std::string out = testing::internal::GetCapturedStdout();
    if (line) *line = out;
    nphot = last.nphot_sat;
    return last.flux_sat;
}

// Total planet-shine of a Lambert planet on a unit area of the ring plane at
// (distance, 0, 0), integrated over the sphere with a midpoint rule in
// (sin latitude, longitude), where the area element is rsat^2 du dphi.
double lambert_flux_integral(double distance, double bsun_deg, double lonsun_deg, int nu, int nphi) {
    const double pi = 3.14159265358979323846;
    double b = bsun_deg * pi / 180.0, l = lonsun_deg * pi / 180.0;
    double s[3] = {std::cos(b) * std::cos(l), std::cos(b) * std::sin(l), std::sin(b)};
    double du = 2.0 / nu, dphi = 2.0 * pi / nphi, sum = 0.0;
    for (int a = 0; a < nu; ++a) {
        double u = -1.0 + (a + 0.5) * du;
        double c = std::sqrt(1.0 - u * u);
        for (int q = 0; q < nphi; ++q) {
            double phi = (q + 0.5) * dphi;
            double n[3] = {c * std::cos(phi), c * std::sin(phi), u};
            double mu0 = n[0] * s[0] + n[1] * s[1] + n[2] * s[2];
            if (mu0 <= 0.0) continue;
            double d[3] = {distance - rsat * n[0], -rsat * n[1], -rsat * n[2]};
            double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            double mue = (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / r;
            if (mue <= 0.0) continue;
            double incidence = std::abs(d[2]) / r;  // on the ring plane
            sum += mu0 * mue * incidence / (r * r) * rsat * rsat * du * dphi;
        }
    }
    return sum;
}

}  // namespace

TEST(PlanetPhotons, ThreeEqualZonesShareABudgetOf1000As333Each) {
    planet_photons s = one_row({0.7, 0.7, 0.7}, 2.1);
    share_planet_photons(s, 150.0, rsat, 1000);
    EXPECT_EQ(s.nphot_sat, 999);
    ASSERT_EQ(s.xsat.size(), 1000u);
    // Each zone's 333 entries hold its own unit direction; zone order is column order.
    for (int zone = 0; zone < 3; ++zone) {
        double fii = zone_longitude(zone + 1, 3);
        double p[3] = {rsat * std::cos(fii), rsat * std::sin(fii), 0.0};
        double d[3] = {p[0] - 150.0, p[1], p[2]};
        double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (int m = zone * 333 + 1; m <= zone * 333 + 333; ++m) {
            ASSERT_NEAR(s.xsat[m], d[0] / r, 1e-15);
            ASSERT_NEAR(s.ysat[m], d[1] / r, 1e-15);
            ASSERT_NEAR(s.zsat[m], d[2] / r, 1e-15);
        }
    }
}

TEST(PlanetPhotons, ZoneWithLessThanOnePhotonGetsNone) {
    planet_photons p = one_row({0.95, 0.05}, 1.0);  // 0.05: 0.5 photon of a budget of 10
    share_planet_photons(p, 150.0, rsat, 10);
    EXPECT_EQ(p.nphot_sat, 9);
    EXPECT_EQ(p.xsat.size(), 10u);
}

TEST(PlanetZones, MiddleRowOfThreeIsExactlyOnTheEquatorAndOfFiveJustSouth) {
    EXPECT_EQ(zone_latitude(2, 3), 0.0);
    double mid5 = zone_latitude(3, 5);
    EXPECT_LT(mid5, 0.0);
    EXPECT_GT(mid5, -1e-15);
    EXPECT_LT(zone_latitude(1, 4), 0.0);
    EXPECT_GT(zone_latitude(3, 4), 0.0);
    EXPECT_FLOAT_EQ(zone_longitude(1, 4), 3.141592654 / 4.0);
}

TEST(PlanetZones, SouthernModeUsesOnlyRowsBelowTheEquatorWithFiveRows) {
    // Sun in the ring plane behind the particle field: the near side is lit.
    set_planet(2, 140.0, 5, 24, 1);
    std::int32_t nphot = 0;
    run_planet(0.0, 0.0, 10000, nphot);
    for (int j = 1; j <= 24; ++j) {
        EXPECT_EQ(last.flux_of(4, j), 0.0);
        EXPECT_EQ(last.flux_of(5, j), 0.0);
    }
    // (Row 1, near the south pole, lies below the field's horizon.)
    EXPECT_GT(last.flux_of(2, 1), 0.0);
    EXPECT_GT(last.flux_of(3, 1), 0.0);  // latitude -2.2e-16: southern
    ASSERT_GT(nphot, 0);
    for (int m = 1; m <= nphot; ++m) ASSERT_LT(last.zsat[m], 0.0);

    set_planet(3, 140.0, 5, 24, 1);
    run_planet(0.0, 0.0, 10000, nphot);
    for (int i = 1; i <= 3; ++i)
        for (int j = 1; j <= 24; ++j) EXPECT_EQ(last.flux_of(i, j), 0.0);
    EXPECT_GT(last.flux_of(4, 1), 0.0);
    ASSERT_GT(nphot, 0);
    for (int m = 1; m <= nphot; ++m) ASSERT_GT(last.zsat[m], 0.0);
}

TEST(PlanetZones, EquatorRowOfThreeBelongsToNeitherHemisphere) {
    set_planet(2, 140.0, 3, 24, 1);
    std::int32_t nphot = 0;
    double south = run_planet(0.0, 0.0, 10000, nphot);
    for (int j = 1; j <= 24; ++j) {
        EXPECT_EQ(last.flux_of(2, j), 0.0);
        EXPECT_EQ(last.flux_of(3, j), 0.0);
    }
    set_planet(3, 140.0, 3, 24, 1);
    double north = run_planet(0.0, 0.0, 10000, nphot);
    for (int j = 1; j <= 24; ++j) {
        EXPECT_EQ(last.flux_of(1, j), 0.0);
        EXPECT_EQ(last.flux_of(2, j), 0.0);
    }
    // With the Sun in the ring plane the two hemispheres mirror each other,
    // and the whole planet is their sum.
    EXPECT_NEAR(south, north, 1e-12 * north);
    set_planet(1, 140.0, 3, 24, 1);
    double whole = run_planet(0.0, 0.0, 10000, nphot);
    EXPECT_NEAR(whole, south + north, 1e-12 * whole);
}

TEST(PlanetModels, UnknownModelSevenGivesNoFluxNoPhotonAndLeavesSatcom4) {
    set_planet(1, 140.0, 10, 20, 7);
    std::int32_t nphot = -1;
    double flux = run_planet(20.0, 30.0, 100, nphot);
    EXPECT_EQ(flux, 0.0);
    EXPECT_EQ(nphot, 0);
    EXPECT_EQ(last.xsat.size(), 1u);
}

TEST(PlanetModels, LitZonesFacingAwayFromTheFieldContributeNothing) {
    // Sun in the ring plane on the far side of the planet: every lit zone
    // faces away from the particle field.
    set_planet(1, 140.0, 20, 40, 1);
    std::int32_t nphot = -1;
    double flux = run_planet(0.0, 180.0, 1000, nphot);
    EXPECT_EQ(flux, 0.0);
    EXPECT_EQ(nphot, 0);
    EXPECT_EQ(last.xsat.size(), 1u);
}

TEST(PlanetModels, LambertPlanetFluxMatchesAnIndependentIntegrationOverTheSphere) {
    const double distance = 2.0 * rsat, bsun = 26.7, lonsun = 30.0;
    double reference = lambert_flux_integral(distance, bsun, lonsun, 2000, 4000);
    set_planet(1, distance, 200, 400, 1);
    std::int32_t nphot = 0;
    double fine = run_planet(bsun, lonsun, 0, nphot);
    set_planet(1, distance, 50, 100, 1);
    double coarse = run_planet(bsun, lonsun, 0, nphot);
    ASSERT_GT(reference, 0.0);
    EXPECT_NEAR(fine, reference, 1e-3 * reference);
    // The zone sum converges toward the integral as the zones shrink.
    EXPECT_LT(std::abs(fine - reference), std::abs(coarse - reference));
    EXPECT_EQ(nphot, 0);  // a zero budget gives no photon, the flux is still computed
}

TEST(PlanetModels, LambertZoneFluxIsMu0TimesTheProjectedSolidAngleFactor) {
    const double distance = 140.0, bsun = 10.0, lonsun = 20.0;
    set_planet(1, distance, 4, 8, 1);
    std::int32_t nphot = 0;
    run_planet(bsun, lonsun, 0, nphot);
    // Zone (3, 1): latitude pi/8 north, longitude pi/8.
    const double pi = 3.141592654;
    double th = pi / 8.0, ph = pi / 8.0, dth = pi / 4.0, dph = 2.0 * pi / 8.0;
    double n[3] = {std::cos(th) * std::cos(ph), std::cos(th) * std::sin(ph), std::sin(th)};
    double b = bsun * 0.017453293, l = lonsun * 0.017453293;
    double mu0 = n[0] * std::cos(b) * std::cos(l) + n[1] * std::cos(b) * std::sin(l) + n[2] * std::sin(b);
    double d[3] = {distance - rsat * n[0], -rsat * n[1], -rsat * n[2]};
    double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double mue = (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / r;
    double area = rsat * rsat * std::cos(th) * dth * dph;
    double expected = mu0 * area * mue * (rsat * n[2] / r) / (r * r);
    EXPECT_NEAR(last.flux_of(3, 1), expected, 1e-12 * expected);
}

TEST(PlanetLaws, SplinesPassThroughEveryTableNodeAndExtrapolateBeyond150) {
    const planet_laws laws;
    const double atab1[] = {0.6736, 0.6197, 0.5726, 0.5948, 0.7869, 2.1323};
    const double btab4[] = {1.4825, 1.4794, 1.4592, 1.4221, 1.3618, 1.3341};
    for (int k = 0; k < 6; ++k) {
        double a = 0, b = 0;
        laws.planet_law(1, 30.0 * k, a, b);
        EXPECT_EQ(a, atab1[k]);
        laws.planet_law(4, 30.0 * k, a, b);
        EXPECT_EQ(b, btab4[k]);
    }
    double a150 = 0, a170 = 0, b = 0;
    laws.planet_law(1, 150.0, a150, b);
    laws.planet_law(1, 170.0, a170, b);
    EXPECT_GT(a170, a150);  // the steep rise toward 150 degrees goes on
}

TEST(PlanetLaws, MixedModelsAreTheStatedMixturesOfTheSingleLaws) {
    const double distance = 150.0, bsun = 15.0, lonsun = 40.0;
    auto flux_of = [&](std::int32_t model) {
        set_planet(1, distance, 30, 60, model);
        std::int32_t nphot = 0;
        return run_planet(bsun, lonsun, 0, nphot);
    };
    double t1 = flux_of(12), t2 = flux_of(14), t3 = flux_of(11), t4 = flux_of(13);
    ASSERT_GT(t1, 0.0);
    const double tol = 1e-12;
    EXPECT_NEAR(flux_of(2), 0.5 * t3 + 0.5 * t4, tol * t3);
    EXPECT_NEAR(flux_of(3), 0.5 * t1 + 0.5 * t2, tol * t1);
    EXPECT_NEAR(flux_of(4), 0.25 * (t1 + t2 + t3 + t4), tol * t1);
    EXPECT_NEAR(flux_of(5), 0.25 * t4 + 0.75 * t2, tol * t1);
    EXPECT_NEAR(flux_of(6), 0.25 * t3 + 0.75 * t1, tol * t1);
}

TEST(PlanetLaws, SingleLawZoneFluxIsGeometryTimesAXToTheBOverMue) {
    const double distance = 140.0, bsun = 10.0, lonsun = 20.0;
    set_planet(1, distance, 4, 8, 12);  // law 1, blue belts
    std::int32_t nphot = 0;
    run_planet(bsun, lonsun, 0, nphot);
    const double pi = 3.141592654;
    double th = pi / 8.0, ph = pi / 8.0, dth = pi / 4.0, dph = 2.0 * pi / 8.0;
    double n[3] = {std::cos(th) * std::cos(ph), std::cos(th) * std::sin(ph), std::sin(th)};
    double b = bsun * 0.017453293, l = lonsun * 0.017453293;
    double s[3] = {std::cos(b) * std::cos(l), std::cos(b) * std::sin(l), std::sin(b)};
    double mu0 = n[0] * s[0] + n[1] * s[1] + n[2] * s[2];
    double d[3] = {distance - rsat * n[0], -rsat * n[1], -rsat * n[2]};
    double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double mue = (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / r;
    double alpha = std::acos((d[0] * s[0] + d[1] * s[1] + d[2] * s[2]) / r) * 180.0 / pi;
    double a = 0, bb = 0;
    planet_laws().planet_law(1, alpha, a, bb);
    double x = mue * mu0 / (mue + mu0);
    double g = rsat * rsat * std::cos(th) * dth * dph * mue * (rsat * n[2] / r) / (r * r);
    double expected = g * a * std::pow(x, bb) / mue;
    EXPECT_NEAR(last.flux_of(3, 1), expected, 1e-9 * expected);
}

TEST(PlanetPhotons, BudgetIsSharedInProportionToZoneFlux) {
    set_planet(1, 140.0, 12, 24, 3);
    std::int32_t nphot = 0;
    double flux = run_planet(20.0, 10.0, 50000, nphot);
    ASSERT_GT(flux, 0.0);
    int lit = 0;
    for (int i = 1; i <= 12; ++i)
        for (int j = 1; j <= 24; ++j) lit += last.flux_of(i, j) > 0.0;
    EXPECT_LE(nphot, 50000);
    EXPECT_GE(nphot, 50000 - lit);  // at most one photon lost per lit zone
    EXPECT_EQ(last.xsat.size(), std::size_t(nphot) + 1);
    for (int m = 1; m <= nphot; ++m) {
        double len = std::hypot(last.xsat[m], last.ysat[m], last.zsat[m]);
        ASSERT_NEAR(len, 1.0, 1e-14);
        ASSERT_LT(last.xsat[m], 0.0);  // the planet lies toward -x of the field
    }
}

TEST(PlanetReport, PrintsOneLineWithAzimuthFluxCountAndCpu) {
    set_planet(1, 140.0, 1, 1, 7);
    std::int32_t nphot = 0;
    std::string line;
    run_planet(0.0, 30.0, 10, nphot, &line);
    EXPECT_EQ(line.rfind("SATURN: fii,flux,nphot,cpu 30.0 0.0 0 ", 0), 0u) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}

TEST(PlanetLimits, ZoneGridBeyondThe32BitZoneNumbersIsRejected) {
    set_planet(1, 140.0, 65536, 32768, 1);
    EXPECT_THROW(saturn_illumination(0.0, 0.0, 10, settings), limit_error);
    // Beyond the old 200 x 400 tables: the zones are sized from the deck.
    set_planet(1, 140.0, 201, 401, 1);
    planet_photons p = saturn_illumination(0.0, 0.0, 1000, settings);
    EXPECT_EQ(p.zone_flux.size(), 201u * 401u);
    EXPECT_GT(p.flux_sat, 0.0);
}
