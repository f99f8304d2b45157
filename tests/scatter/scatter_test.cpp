// The scattering step: where the probe goes on from, the new direction and
// its frame, the two deviates per scattering (polar angle first), albedo and
// counters per particle kind, the range check of cos(theta), the debug lines
// and the set-up check of the law codes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "field/field_records.h"
#include "support/field_fixture.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "scatter/callisto.h"
#include "scatter/mcphase.h"
#include "scatter/phase_functions.h"
#include "scatter/scatter.h"
#include "support/sampler_stats.h"
#include "support/scratch_dir.h"
#include "trace/trace_records.h"

using namespace quillet;
using namespace quillet::test_support;

namespace {

constexpr double pi = 3.141592653589793;
using vec = std::array<double, 3>;

constexpr std::int32_t ring_particle = 1;
constexpr std::int32_t haze_particle = 2;
const vec ring_centre{0.0, 0.0, 0.0};
const vec haze_centre{10.0, 5.0, -2.0};

double dot(const vec& a, const vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const vec& a) { return std::sqrt(dot(a, a)); }
vec unit(const vec& a) {
    double n = norm(a);
    return {a[0] / n, a[1] / n, a[2] / n};
}

// The direction at polar angle (sine, cose) and azimuth fii about the unit
// axis a, built from an explicit frame: u in the plane of a and the z axis
// (pointing toward +z), v = a x u... taken as (-ay, ax, 0)/s.
vec about_axis(const vec& a, double sine, double cose, double fii) {
    double s = std::sqrt(1.0 - a[2] * a[2]);
    vec u{-a[0] * a[2] / s, -a[1] * a[2] / s, s};
    vec v{-a[1] / s, a[0] / s, 0.0};
    vec e;
    for (int k = 0; k < 3; ++k) e[k] = cose * a[k] + sine * (std::cos(fii) * u[k] + std::sin(fii) * v[k]);
    return e;
}

struct probe {
    vec p;
    vec e;
};

// A ring particle of radius 1 at the origin and a haze particle of radius 0.5,
// both law tables built, albedo 1, print level 0.
struct Scatter : testing::Test {
    scratch_dir dir;
    std::mt19937_64 geometry{20240611};

    void SetUp() override {
        field.size_particles(std::max(ring_particle, haze_particle));
        field.xpart[ring_particle] = ring_centre[0];
        field.ypart[ring_particle] = ring_centre[1];
        field.zpart[ring_particle] = ring_centre[2];
        field.rpart[ring_particle] = 1.0;
        field.xpart[haze_particle] = haze_centre[0];
        field.ypart[haze_particle] = haze_centre[1];
        field.zpart[haze_particle] = haze_centre[2];
        field.rpart[haze_particle] = 0.5;
        field.itype[ring_particle] = 1;
        field.itype[haze_particle] = 2;
        law.ssca_part = 1.0;
        law.ssca_haze = 1.0;
        law.haze_in_use = true;
        set_ring_law(3, 0.5, 0.0, 0.0);
        set_haze_law(4, -0.3, 0.0, 0.0);

        dir.write("mcphase.dat", "ring\n4\n0 1\n60 0.5\n120 1\n180 2\n");
        dir.write("mcphase_haze.dat", "haze\n4\n0 2\n60 1\n120 0.5\n180 1\n");
    }

    // The laws the tests set, and the run's laws built from them when they
    // change (the tables are read again then, and echoed on the test log).
    scattering_laws::settings law;
    std::unique_ptr<scattering_laws> laws;
    scattering_laws::settings built;
    const scattering_laws& current_laws() {
        if (!laws || !(built == law)) {
            laws.reset();
            laws = std::make_unique<scattering_laws>(law);
            built = law;
        }
        return *laws;
    }
    void set_ring_law(std::int32_t code, double p1, double p2, double p3) {
        law.method = code;
        law.ppar1 = p1, law.ppar2 = p2, law.ppar3 = p3;
    }
    void set_haze_law(std::int32_t code, double p1, double p2, double p3) {
        law.method_haze = code;
        law.ppar1_haze = p1, law.ppar2_haze = p2, law.ppar3_haze = p3;
    }

    vec random_unit() {
        std::normal_distribution<double> n;
        return unit({n(geometry), n(geometry), n(geometry)});
    }
    // A probe on the surface of the ring particle, travelling inward.
    probe hit_on_ring() {
        vec normal = random_unit();
        vec e = random_unit();
        if (dot(e, normal) > 0) e = {-e[0], -e[1], -e[2]};
        return {normal, e};
    }

    // The photon that scatters: its weight, counters and direction before
    // go on from one scattering to the next; position and direction are the
    // probe's.
    photon state{1, test_draws(), nullptr};
    void scatter_on(probe& pr, std::int32_t ipart) {
        state.px = pr.p[0], state.py = pr.p[1], state.pz = pr.p[2];
        state.ex = pr.e[0], state.ey = pr.e[1], state.ez = pr.e[2];
        state.ipart = ipart;
        scatter(field, state, current_laws());
        pr.p = {state.px, state.py, state.pz};
        pr.e = {state.ex, state.ey, state.ez};
    }
};

}  // namespace

TEST_F(Scatter, CentreCodesMoveThePhotonToTheCentreAndPointCodesDoNot) {
    reseed(-35);
    for (std::int32_t code = 1; code <= 16; ++code) {
        set_ring_law(code, 0.4, -0.3, 0.6);
        probe ph = hit_on_ring();
        const vec hit = ph.p;
        scatter_on(ph, ring_particle);
        bool centre = code >= 3 && code % 2 == 1;
        EXPECT_EQ(std::string(method_name(code)).ends_with("-center"), centre) << method_name(code);
        if (centre)
            EXPECT_EQ(ph.p, ring_centre) << method_name(code);
        else
            EXPECT_EQ(ph.p, hit) << method_name(code);
    }
}

TEST_F(Scatter, NewDirectionIsAUnitVectorForEveryLaw) {
    reseed(-36);
    for (std::int32_t code = 1; code <= 16; ++code) {
        set_ring_law(code, 0.7, -0.5, 0.8);
        for (int i = 0; i < 2000; ++i) {
            probe ph = hit_on_ring();
            // The frame axis: the normal for the surface laws, else the old direction.
            double az = code <= 2 ? ph.p[2] : ph.e[2];
            scatter_on(ph, ring_particle);
            // The rotation divides by 1 - az^2, which scales the rounding up.
            ASSERT_NEAR(norm(ph.e), 1.0, 1e-13 + 1e-15 / (1.0 - az * az)) << method_name(code) << ", az = " << az;
        }
    }
}

TEST_F(Scatter, EveryScatteringTakesExactlyTwoDeviates) {
    for (std::int32_t code = 1; code <= 16; ++code) {
        set_ring_law(code, 0.3, 0.6, 0.5);
        set_haze_law(code, -0.2, 0.4, 0.5);
        probe ph = hit_on_ring();
        EXPECT_EQ(draws_taken([&](random_draws&) { scatter_on(ph, ring_particle); }), 2) << method_name(code);
        probe haze{{haze_centre[0] + 0.5, haze_centre[1], haze_centre[2]}, {-1.0, 0.0, 0.0}};
        EXPECT_EQ(draws_taken([&](random_draws&) { scatter_on(haze, haze_particle); }), 2) << method_name(code);
    }
}

TEST_F(Scatter, PolarAngleIsDrawnBeforeTheAzimuth) {
    const double g = 0.6;
    set_ring_law(4, g, 0.0, 0.0);
    for (int i = 0; i < 200; ++i) {
        probe ph = hit_on_ring();
        const vec before = ph.e;
        reseed(-300 - i);
        scatter_on(ph, ring_particle);
        reseed(-300 - i);
        double polar = test_draws().next();
        double azimuth = test_draws().next();
        // Henyey-Greenstein by the textbook inversion at the first deviate.
        double s = 1.0 - 2.0 * polar;
        double q = (1.0 - g * g) / (1.0 + g * s);
        double cose = (1.0 + g * g - q * q) / (2.0 * g);
        vec expected = about_axis(before, std::sqrt(1.0 - cose * cose), cose, 2.0 * pi * azimuth);
        for (int k = 0; k < 3; ++k) ASSERT_NEAR(ph.e[k], expected[k], 1e-9) << "scattering " << i;
        EXPECT_EQ(state.before.ex, before[0]);
        EXPECT_EQ(state.before.ey, before[1]);
        EXPECT_EQ(state.before.ez, before[2]);
    }
}

TEST_F(Scatter, LambertSphereAzimuthIsTwoPiTimesTheSecondDeviate) {
    set_ring_law(12, 0.0, 0.0, 0.0);
    probe ph = hit_on_ring();
    const vec before = ph.e;
    reseed(-77);
    scatter_on(ph, ring_particle);
    reseed(-77);
    double sine, cose;
    e_lambert(sine, cose, test_draws());
    double azimuth = test_draws().next();
    vec expected = about_axis(before, sine, cose, 2.0 * pi * azimuth);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(ph.e[k], expected[k], 1e-12);
}

TEST_F(Scatter, LambertElementNeverSendsThePhotonIntoTheParticle) {
    set_ring_law(1, 0.0, 0.0, 0.0);
    reseed(-41);
    int inward = 0;
    // The cosine to the outward normal has the density 2c on [0, 1]: c^2 is uniform.
    auto r = uniform_chi_square(
        [&] {
            probe ph = hit_on_ring();
            const vec normal = ph.p;
            scatter_on(ph, ring_particle);
            double c = dot(ph.e, normal);
            if (c < -1e-12) ++inward;
            return c * c;
        },
        0.0, 1.0, 200000, 40);
    print_figure("LAMBERT-element: cos^2 to the normal uniform", r);
    EXPECT_EQ(inward, 0);
    EXPECT_LT(r.value, r.threshold) << r.summary();
}

TEST_F(Scatter, IsotropicSurfaceLawSendsHalfThePhotonsInward) {
    set_ring_law(2, 0.0, 0.0, 0.0);
    reseed(-43);
    const int n = 200000;
    int inward = 0;
    auto r = uniform_chi_square(
        [&] {
            probe ph = hit_on_ring();
            const vec normal = ph.p;
            scatter_on(ph, ring_particle);
            double c = dot(ph.e, normal);
            if (c < 0) ++inward;
            return c;
        },
        -1.0, 1.0, n, 40);
    print_figure("ISOTROPIC-sphere: cos to the normal uniform", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
    EXPECT_NEAR(inward, n / 2, 4.0 * std::sqrt(n / 4.0));
}

TEST_F(Scatter, ScatteringAngleFollowsTheLawAndTheAzimuthIsUniform) {
    set_ring_law(14, 0.75, -0.35, 0.65);
    reseed(-45);
    const int n = 200000;
    std::vector<double> azimuths;
    azimuths.reserve(n);
    auto r = cose_chi_square(
        [&] {
            probe ph = hit_on_ring();
            const vec a = ph.e;
            scatter_on(ph, ring_particle);
            double s = std::sqrt(1.0 - a[2] * a[2]);
            vec u{-a[0] * a[2] / s, -a[1] * a[2] / s, s};
            vec v{-a[1] / s, a[0] / s, 0.0};
            azimuths.push_back(std::atan2(dot(ph.e, v), dot(ph.e, u)));
            return dot(ph.e, a);
        },
        [](double c) { double p; p_hg2(c, p, 0.75, -0.35, 0.65); return p; }, n);
    print_figure("scatter HG2-sphere-point: cos of the scattering angle", r);
    EXPECT_LT(r.value, r.threshold) << r.summary();
    std::size_t k = 0;
    auto ra = uniform_chi_square([&] { return azimuths[k++]; }, -pi, pi, n, 36);
    print_figure("scatter HG2-sphere-point: azimuth", ra);
    EXPECT_LT(ra.value, ra.threshold) << ra.summary();
}

TEST_F(Scatter, VerticalIncomingDirectionUsesTheSpecialBranch) {
    set_ring_law(3, 0.4, 0.0, 0.0);
    for (double az : {1.0, -1.0}) {
        probe ph{{0.0, 0.0, -az}, {0.0, 0.0, az}};
        reseed(-55);
        scatter_on(ph, ring_particle);
        reseed(-55);
        double sine, cose;
        e_hg(sine, cose, 0.4, test_draws());
        double fii = 2.0 * pi * test_draws().next();
        EXPECT_EQ(ph.e[0], sine * std::cos(fii));
        EXPECT_EQ(ph.e[1], sine * std::sin(fii));
        EXPECT_EQ(ph.e[2], az * cose);
    }
}

TEST_F(Scatter, NearlyVerticalIncomingDirectionUsesTheGeneralRotation) {
    set_ring_law(4, 0.0, 0.0, 0.0);
    const double z = 1.0 - 1e-9;
    const vec before{std::sqrt(1.0 - z * z), 0.0, z};
    int seed = -60;
    double sine, cose, fii;
    // A draw whose horizontal part is large, so that the two branches differ.
    for (;; --seed) {
        reseed(seed);
        e_hg(sine, cose, 0.0, test_draws());
        fii = 2.0 * pi * test_draws().next();
        if (std::fabs(sine * std::cos(fii)) > 0.3) break;
    }
    probe ph{{0.0, 0.0, -1.0}, before};
    reseed(seed);
    scatter_on(ph, ring_particle);
    vec expected = about_axis(before, sine, cose, fii);
    // The general formula divides by 1 - az^2 ~ 2e-9: about 1e-7 of rounding.
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(ph.e[k], expected[k], 1e-5);
    // The special branch would have given +sine*cos(fii); about this axis the
    // frame's first vector points along -x (the axis itself leans 4.5e-5 off z).
    EXPECT_NEAR(ph.e[0], -sine * std::cos(fii), 1e-4);
}

TEST_F(Scatter, AlbedoMultipliesTheWeightOncePerScatteringAndCountersCountKindsApart) {
    law.ssca_part = 0.7;
    law.ssca_haze = 0.4;
    probe ring = hit_on_ring();
    probe haze{{haze_centre[0], haze_centre[1] + 0.5, haze_centre[2]}, {0.0, -1.0, 0.0}};
    scatter_on(ring, ring_particle);
    scatter_on(ring, ring_particle);
    scatter_on(haze, haze_particle);
    scatter_on(ring, ring_particle);
    EXPECT_EQ(state.ipart, ring_particle);
    const vec before_last = haze.e;
    scatter_on(haze, haze_particle);
    EXPECT_EQ(state.ipart, haze_particle);
    EXPECT_EQ(state.before.ex, before_last[0]);
    EXPECT_EQ(state.before.ey, before_last[1]);
    EXPECT_EQ(state.before.ez, before_last[2]);
    EXPECT_EQ(state.weight, 1.0 * 0.7 * 0.7 * 0.4 * 0.7 * 0.4);
    EXPECT_EQ(state.ispart, 3);
    EXPECT_EQ(state.ishaze, 2);
    law.ssca_part = 1.0;
    scatter_on(ring, ring_particle);
    EXPECT_EQ(state.weight, 1.0 * 0.7 * 0.7 * 0.4 * 0.7 * 0.4);
}

TEST_F(Scatter, HazeParticlesUseTheHazeLawParametersAndTable) {
    set_ring_law(3, 0.9, 0.0, 0.0);
    set_haze_law(5, -0.5, 0.0, 0.0);
    probe haze{{haze_centre[0], haze_centre[1], haze_centre[2] + 0.5}, unit({0.3, 0.1, -1.0})};
    vec before = haze.e;
    reseed(-81);
    scatter_on(haze, haze_particle);
    reseed(-81);
    double sine, cose;
    e_euler(sine, cose, -0.5, test_draws());
    EXPECT_NEAR(dot(haze.e, before), cose, 1e-12);
    EXPECT_EQ(haze.p, haze_centre);

    // Code 15 samples the haze table for haze particles and the ring table for ring particles.
    set_ring_law(15, 0.0, 0.0, 0.0);
    set_haze_law(15, 0.0, 0.0, 0.0);
    before = haze.e;
    reseed(-82);
    scatter_on(haze, haze_particle);
    reseed(-82);
    e_mcphase_haze(current_laws().tables().mcphase_haze, sine, cose, test_draws());
    EXPECT_NEAR(dot(haze.e, before), cose, 1e-12);
    double ring_cose;
    reseed(-82);
    e_mcphase(current_laws().tables().mcphase, sine, ring_cose, test_draws());
    EXPECT_GT(std::fabs(ring_cose - cose), 1e-3) << "the two tables must give different angles here";
    probe ring = hit_on_ring();
    before = ring.e;
    reseed(-82);
    scatter_on(ring, ring_particle);
    EXPECT_NEAR(dot(ring.e, before), ring_cose, 1e-12);
}

TEST_F(Scatter, CosineOutsideMinusOneToOneIsReportedAndClampedJustInside) {
    // |g| > 1 lies outside the admissible range; there the HG inversion can
    // leave [-1, 1]: below -1 for g = 1.5, above 1 for g = -1.5.
    for (double side : {-1.0, 1.0}) {
        const double g = -1.5 * side;
        set_ring_law(3, g, 0.0, 0.0);
        int seed = -1;
        for (;; --seed) {
            reseed(seed);
            double sine, cose;
            e_hg(sine, cose, g, test_draws());
            if (side * cose > 1.0) break;
            ASSERT_GT(seed, -100000);
        }
        probe ph = hit_on_ring();
        const vec before = ph.e;
        reseed(seed);
        testing::internal::CaptureStdout();
        scatter_on(ph, ring_particle);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("error: scatter: cose= ", 0), 0u) << out;
        // sine = 0: the direction is the old one times the clamped cosine.
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(ph.e[k], side * 0.99999999 * before[k], 1e-15);
    }
}

TEST_F(Scatter, PrintLevelOneWritesFourDebugLines) {
    law.icheck = 1;
    law.ssca_part = 0.75;
    probe ph{{1.0, 0.0, 0.0}, {-1.0, 0.0, 0.0}};
    testing::internal::CaptureStdout();
    scatter_on(ph, ring_particle);
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected_old = "scatter: OLD " + free_format(-1.0, 0.0, 0.0) + "\n";
    std::string expected_new = "scatter: NEW " + free_format(ph.e[0], ph.e[1], ph.e[2]) + "\n";
    ASSERT_EQ(out.rfind("scatter: ihaze,ssca 0 0.75\nscatter: cose,sine,fii ", 0), 0u) << out;
    EXPECT_NE(out.find("\n" + expected_old + expected_new), std::string::npos) << out;
    int lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 4);
}

TEST_F(Scatter, QuietPrintLevelWritesNothing) {
    probe ph = hit_on_ring();
    testing::internal::CaptureStdout();
    scatter_on(ph, ring_particle);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Scatter, UnknownLawCodeStopsInsteadOfReusingOldAngles) {
    set_ring_law(17, 0.0, 0.0, 0.0);
    probe ph = hit_on_ring();
    EXPECT_THROW(scatter_on(ph, ring_particle), limit_error);
}

TEST(LawCodes, NamesOfTheSixteenCodes) {
    EXPECT_STREQ(method_name(1), "LAMBERT-element");
    EXPECT_STREQ(method_name(2), "ISOTROPIC-sphere");
    EXPECT_STREQ(method_name(7), "CALLISTO-sphere-center");
    EXPECT_STREQ(method_name(10), "POWER-sphere-point");
    EXPECT_STREQ(method_name(11), "LAMBERT-sphere-center");
    EXPECT_STREQ(method_name(14), "HG2-sphere-point");
    EXPECT_STREQ(method_name(16), "TABLE-sphere-point");
    EXPECT_STREQ(method_name(0), "unknown");
    EXPECT_STREQ(method_name(17), "unknown");
    EXPECT_STREQ(method_name(-5), "unknown");
}

TEST(LawCodes, SetUpRejectsCodesThatNoLawAnswersTo) {
    auto message = [](std::int32_t m, std::int32_t mh, bool haze) {
        try {
            check_law_codes(m, mh, haze);
        } catch (const limit_error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(message(0, 3, false).find("method = 0 "), std::string::npos);
    EXPECT_NE(message(17, 3, true).find("method = 17 "), std::string::npos);
    EXPECT_NE(message(3, 0, true).find("method_haze = 0 "), std::string::npos);
    EXPECT_NE(message(3, 21, true).find("method_haze = 21 "), std::string::npos);
    // Without a haze file the haze code is never used.
    EXPECT_EQ(message(3, 0, false), "");
    EXPECT_EQ(message(16, 99, false), "");
    // A haze power law needs the ring particles' power-law table.
    std::string m = message(3, 8, true);
    EXPECT_NE(m.find("method_haze = 8 (CALLISTO-sphere-point)"), std::string::npos) << m;
    EXPECT_NE(m.find("no table"), std::string::npos) << m;
    EXPECT_EQ(message(9, 8, true), "");
    EXPECT_EQ(message(7, 10, true), "");
    EXPECT_EQ(message(3, 8, false), "");
    for (std::int32_t m1 = 1; m1 <= 16; ++m1)
        for (std::int32_t m2 : {1, 2, 3, 6, 11, 14, 15, 16}) EXPECT_EQ(message(m1, m2, true), "");
}

TEST(LawCodes, ParametersOutsideTheRangeOfTheirLawAreNamed) {
    // Henyey-Greenstein: |g| < 1 (g = +-1 is a delta function the formulas divide by).
    EXPECT_EQ(law_parameter_problem(3, 0.99, 5.0, 5.0, ""), "");
    EXPECT_NE(law_parameter_problem(4, -1.0, 0.0, 0.0, "").find("asymmetry ppar1 "), std::string::npos);
    // Two terms: both asymmetries and a weight from 0 to 1.
    EXPECT_EQ(law_parameter_problem(13, 0.7, -0.4, 1.0, ""), "");
    EXPECT_EQ(law_parameter_problem(14, 0.0, 0.0, 0.0, ""), "");
    EXPECT_NE(law_parameter_problem(13, 0.7, 1.2, 0.5, "_haze").find("asymmetry ppar2_haze "), std::string::npos);
    EXPECT_NE(law_parameter_problem(14, 0.7, 0.2, -0.01, "").find("weight ppar3 "), std::string::npos);
    // Linear law: 1 + b cos must stay non-negative, so |b| <= 1.
    EXPECT_EQ(law_parameter_problem(5, -1.0, 0.0, 0.0, ""), "");
    EXPECT_NE(law_parameter_problem(6, 1.0001, 0.0, 0.0, "").find("coefficient ppar1 "), std::string::npos);
    // Power law: theta^n sin(theta) is integrable from 0 only for n > -2.
    EXPECT_EQ(law_parameter_problem(9, -1.5, 0.0, 0.0, ""), "");
    EXPECT_NE(law_parameter_problem(10, -2.0, 0.0, 0.0, "").find("exponent ppar1 "), std::string::npos);
    // Laws without parameters, and the fixed-exponent power law, accept anything finite.
    for (std::int32_t code : {1, 2, 7, 8, 11, 12, 15, 16}) EXPECT_EQ(law_parameter_problem(code, 7.0, -7.0, 9.0, ""), "");
}
