// quillet-field, run as a program: the fields it writes are read back and
// checked against what was asked for (optical depth, filling factor, no
// overlaps through the sheared periodic cell, the size distribution, uniform
// and Gaussian heights), for reproducibility, and for clear failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "field_tool_run.h"

using namespace quillet_test;

namespace {

constexpr double pi = std::numbers::pi;

// Chi-square critical value for 19 degrees of freedom at significance 0.001:
// a correct generator exceeds it in one run of a thousand (fixed seeds here).
constexpr double chi2_19dof_p001 = 43.82;

struct generated {
    pos_file f;
    std::string report;
};

// Runs quillet-field with `args` plus "-o <scratch>/<name>" and reads the file back.
generated generate(const scratch_dir& dir, const std::string& name, std::vector<std::string> args) {
    args.push_back("-o");
    args.push_back(dir.path(name).string());
    tool_run r = run_field_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    generated g;
    g.report = r.err;
    if (r.status == 0) g.f = read_pos_file(dir.path(name));
    return g;
}

// Chi-square of values against a distribution, in `bins` bins of equal probability.
double chi_square(const std::vector<double>& v, int bins, const std::function<double(double)>& cdf) {
    std::vector<double> count(std::size_t(bins), 0.0);
    for (double x : v) {
        int b = int(std::floor(cdf(x) * bins));
        count[std::size_t(std::clamp(b, 0, bins - 1))] += 1.0;
    }
    double expect = double(v.size()) / bins, chi2 = 0.0;
    for (double c : count) chi2 += (c - expect) * (c - expect) / expect;
    return chi2;
}

std::function<double(double)> power_law_cdf(double rmin, double rmax, double q) {
    if (q == 1.0) return [=](double r) { return std::log(r / rmin) / std::log(rmax / rmin); };
    double e = 1.0 - q;
    return [=](double r) {
        return (std::pow(r, e) - std::pow(rmin, e)) / (std::pow(rmax, e) - std::pow(rmin, e));
    };
}

std::vector<double> radii_of(const pos_file& f) {
    std::vector<double> r;
    for (const pos_particle& p : f.part) r.push_back(p.r);
    return r;
}

}  // namespace

TEST(QuilletField, OneRadiusFieldHasTheNearestWholeCountAndReachesItsOpticalDepth) {
    scratch_dir dir;
    generated g = generate(dir, "one.pos", {"--xl", "30", "--yl", "25", "--sy", "7", "--radius", "0.8", "--tau",
                                            "0.6", "--filling", "0.08", "--seed", "3"});
    const pos_file& f = g.f;
    EXPECT_EQ(f.xl, 30.0);
    EXPECT_EQ(f.yl, 25.0);
    EXPECT_EQ(f.sy, 7.0);
    const double area = 4.0 * 30 * 25, cross = pi * 0.8 * 0.8;
    EXPECT_EQ(f.part.size(), std::size_t(std::lround(0.6 * area / cross)));
    for (const pos_particle& p : f.part) ASSERT_EQ(p.r, 0.8);
    double tau = optical_depth(f);
    EXPECT_LE(std::fabs(tau - 0.6), 0.5 * cross / area);
    EXPECT_NEAR(reported_value(g.report, "tau"), tau, 1e-12 * tau);
    EXPECT_FALSE(f.title.empty());
    EXPECT_NE(f.options.find("--tau 0.6"), std::string::npos) << f.options;
}

TEST(QuilletField, PowerLawFieldStopsWithinOneCrossSectionAboveTheTarget) {
    scratch_dir dir;
    for (std::string seed : {"1", "2", "3"}) {
        generated g = generate(dir, "pl.pos", {"--xl", "40", "--yl", "35", "--sy", "11", "--rmin", "0.1", "--rmax",
                                               "2", "--q", "3", "--tau", "0.7", "--filling", "0.05", "--seed", seed});
        const pos_file& f = g.f;
        double tau = optical_depth(f), rbig = 0.0;
        for (const pos_particle& p : f.part) rbig = std::max(rbig, p.r);
        EXPECT_GE(tau, 0.7);
        EXPECT_LT(tau - 0.7, pi * rbig * rbig / cell_area(f));
        EXPECT_NEAR(reported_value(g.report, "tau"), tau, 1e-12 * tau);
    }
}

TEST(QuilletField, NoTwoSpheresOverlapThroughTheShearedPeriodicCell) {
    scratch_dir dir;
    // A small dense cell and a shear given beyond yl (the simulator folds it):
    // many pairs meet across the cell edges.
    generated poly = generate(dir, "poly.pos", {"--xl", "12", "--yl", "10", "--sy", "27", "--rmin", "0.5", "--rmax",
                                                "2", "--q", "2.5", "--tau", "1.5", "--filling", "0.25", "--seed",
                                                "5"});
    pair_census c = census(poly.f);
    EXPECT_EQ(c.overlapping, 0);
    EXPECT_GT(c.near_across_boundary, 10);

    generated mono = generate(dir, "mono.pos", {"--xl", "10", "--yl", "12", "--sy", "-4.5", "--radius", "1", "--tau",
                                                "1.2", "--thickness", "8", "--seed", "9"});
    c = census(mono.f);
    EXPECT_EQ(c.overlapping, 0);
    EXPECT_GT(c.near_across_boundary, 10);
}

TEST(QuilletField, OverlapOptionPlacesIndependentlyWithTheExpectedNumberOfOverlaps) {
    scratch_dir dir;
    const double xl = 15, yl = 15, r = 1, H = 6;
    generated g = generate(dir, "ov.pos", {"--xl", "15", "--yl", "15", "--radius", "1", "--number", "600",
                                           "--thickness", "6", "--overlap", "--seed", "4"});
    const std::size_t n = g.f.part.size();
    ASSERT_EQ(n, 600u);
    // Two independent centres, uniform over the cell area A and over heights
    // [-h, h] (h = H/2 - r): they overlap with probability
    // P = int_{|u|<2r} pi (4r^2 - u^2)/A * (2h - |u|)/(4h^2) du = pi (32 h r^3/3 - 4 r^4) / (2 h^2 A).
    const double h = H / 2 - r, area = 4 * xl * yl;
    const double p = pi * (32.0 * h * r * r * r / 3.0 - 4.0 * r * r * r * r) / (2.0 * h * h * area);
    const double expect = p * double(n) * double(n - 1) / 2.0;  // about 91
    const int found = census(g.f).overlapping;
    // Overlapping pairs are nearly independent events: Poisson spread, 5 sigma.
    EXPECT_NEAR(found, expect, 5.0 * std::sqrt(expect)) << "P per pair " << p;
}

TEST(QuilletField, FillingFactorIsAsReportedAndEverySphereLiesInTheSlab) {
    scratch_dir dir;
    {
        const double H = 7.5;
        generated g = generate(dir, "h.pos", {"--xl", "30", "--yl", "30", "--rmin", "0.3", "--rmax", "1.5", "--q",
                                              "3", "--tau", "0.8", "--thickness", "7.5", "--seed", "12"});
        const pos_file& f = g.f;
        double d = sphere_volume(f) / (cell_area(f) * H);
        EXPECT_NEAR(reported_value(g.report, "filling factor"), d, 1e-12 * d);
        double zlo = 0, zhi = 0;
        for (const pos_particle& p : f.part) {
            ASSERT_LE(p.z + p.r, H / 2 + 1e-12);
            ASSERT_GE(p.z - p.r, -H / 2 - 1e-12);
            zlo = std::min(zlo, p.z - p.r);
            zhi = std::max(zhi, p.z + p.r);
        }
        // Hundreds of particles fill the slab to within a percent of its faces.
        EXPECT_GT(zhi, H / 2 - 0.01 * H);
        EXPECT_LT(zlo, -H / 2 + 0.01 * H);
    }
    {
        generated g = generate(dir, "d.pos", {"--xl", "25", "--yl", "20", "--radius", "0.7", "--tau", "0.5",
                                              "--filling", "0.12", "--seed", "2"});
        const pos_file& f = g.f;
        EXPECT_NEAR(reported_value(g.report, "filling factor"), 0.12, 1e-12);
        // The slab thickness that gives D = 0.12: every sphere inside it.
        const double H = sphere_volume(f) / (cell_area(f) * 0.12);
        for (const pos_particle& p : f.part) ASSERT_LE(std::fabs(p.z) + p.r, H / 2 * (1 + 1e-12));
        double zhi = 0;
        for (const pos_particle& p : f.part) zhi = std::max(zhi, p.z + p.r);
        EXPECT_GT(zhi, H / 2 - 0.02 * H);
    }
}

TEST(QuilletField, GaussianHeightsHaveTheRequestedScaleHeightAndMidPlaneFilling) {
    scratch_dir dir;
    const double hz = 4.0;
    generated g = generate(dir, "g.pos", {"--xl", "60", "--yl", "60", "--radius", "0.5", "--number", "4000",
                                          "--scale-height", "4", "--overlap", "--seed", "21"});
    const pos_file& f = g.f;
    const double n = double(f.part.size());
    double s1 = 0, s2 = 0;
    for (const pos_particle& p : f.part) {
        s1 += p.z;
        s2 += p.z * p.z;
    }
    double mean = s1 / n, sd = std::sqrt(s2 / n - mean * mean);
    EXPECT_NEAR(mean, 0.0, 5.0 * hz / std::sqrt(n));
    EXPECT_NEAR(sd, hz, 5.0 * hz / std::sqrt(2.0 * n));  // standard error of a sample deviation
    double mid = sphere_volume(f) / (cell_area(f) * std::sqrt(2 * pi) * hz);
    EXPECT_NEAR(reported_value(g.report, "filling factor"), mid, 1e-12 * mid);

    // --filling with --gaussian: the scale height follows from the mid-plane D.
    generated h = generate(dir, "gf.pos", {"--xl", "60", "--yl", "60", "--radius", "0.5", "--number", "4000",
                                           "--filling", "0.02", "--gaussian", "--seed", "21"});
    const double hz_expected = sphere_volume(h.f) / (cell_area(h.f) * std::sqrt(2 * pi) * 0.02);
    s1 = s2 = 0;
    for (const pos_particle& p : h.f.part) {
        s1 += p.z;
        s2 += p.z * p.z;
    }
    sd = std::sqrt(s2 / n - (s1 / n) * (s1 / n));
    // Non-overlapping placement at D = 0.02 changes the profile very little.
    EXPECT_NEAR(sd, hz_expected, 5.0 * hz_expected / std::sqrt(2.0 * n));
}

TEST(QuilletField, CentresAreUniformInTheCellAndInHeight) {
    scratch_dir dir;
    const double xl = 50, yl = 30, H = 10, r = 1;
    generated g = generate(dir, "u.pos", {"--xl", "50", "--yl", "30", "--sy", "13", "--radius", "1", "--number",
                                          "20000", "--thickness", "10", "--overlap", "--seed", "8"});
    std::vector<double> x, y, z;
    for (const pos_particle& p : g.f.part) {
        x.push_back(p.x);
        y.push_back(p.y);
        z.push_back(p.z);
    }
    const double h = H / 2 - r;
    EXPECT_LT(chi_square(x, 20, [&](double v) { return (v + xl) / (2 * xl); }), chi2_19dof_p001);
    EXPECT_LT(chi_square(y, 20, [&](double v) { return (v + yl) / (2 * yl); }), chi2_19dof_p001);
    EXPECT_LT(chi_square(z, 20, [&](double v) { return (v + h) / (2 * h); }), chi2_19dof_p001);
}

TEST(QuilletField, PowerLawRadiiMatchTheirDistributionByChiSquare) {
    scratch_dir dir;
    for (auto [q, qs] : {std::pair{3.0, "3"}, std::pair{1.0, "1"}, std::pair{4.5, "4.5"}}) {
        generated g = generate(dir, "r.pos", {"--xl", "200", "--yl", "200", "--rmin", "0.2", "--rmax", "4", "--q",
                                              qs, "--number", "20000", "--thickness", "20", "--overlap", "--seed",
                                              "17"});
        std::vector<double> r = radii_of(g.f);
        ASSERT_EQ(r.size(), 20000u);
        for (double v : r) {
            ASSERT_GE(v, 0.2);
            ASSERT_LE(v, 4.0);
        }
        EXPECT_LT(chi_square(r, 20, power_law_cdf(0.2, 4.0, q)), chi2_19dof_p001) << "q = " << q;
        // The test has the power to see a wrong index: q off by 0.25 fails it.
        EXPECT_GT(chi_square(r, 20, power_law_cdf(0.2, 4.0, q + 0.25)), chi2_19dof_p001) << "q = " << q;
    }
}

TEST(QuilletField, SameSeedGivesByteIdenticalFilesAndAnotherSeedDoesNot) {
    scratch_dir dir;
    std::vector<std::string> base = {"--xl", "20", "--yl", "20", "--sy", "3", "--rmin", "0.3", "--rmax", "1.2",
                                     "--tau", "0.9", "--filling", "0.15"};
    auto with = [&](std::string seed, std::string name) {
        std::vector<std::string> a = base;
        a.insert(a.end(), {"--seed", seed, "-o", dir.path(name).string()});
        EXPECT_EQ(run_field_tool(a).status, 0);
        return file_bytes(dir.path(name));
    };
    std::string a = with("77", "a.pos"), b = with("77", "b.pos"), c = with("78", "c.pos");
    EXPECT_GT(a.size(), 1000u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // The simulator's own generator on request: just as reproducible, another field.
    base.insert(base.end(), {"--generator", "ran1"});
    std::string d = with("77", "d.pos"), e = with("77", "e.pos");
    EXPECT_EQ(d, e);
    EXPECT_NE(a, d);
    EXPECT_EQ(census(read_pos_file(dir.path("d.pos"))).overlapping, 0);
}

TEST(QuilletField, PlacementAttemptsPerParticleDoNotGrowWithFieldSize) {
    // Random sequential addition at a given filling factor needs the same
    // number of tries per particle in a small and in a large cell, as long as
    // the positions are uniform and independent. (The simulator's ran1, whose
    // consecutive triples cluster, needs 6.3 per particle at 10^5 particles
    // against 4.2 at 5000.)
    auto attempts = [](const std::string& number, const std::string& xl) {
        tool_run r = run_field_tool({"--xl", xl, "--yl", xl, "--number", number, "--filling", "0.2", "--seed", "3"});
        EXPECT_EQ(r.status, 0) << r.err;
        return reported_value(r.err, "positions drawn") / std::stod(number);
    };
    double small = attempts("5000", "22.360679774997898"), large = attempts("100000", "100");
    EXPECT_GT(small, 3.0);  // the density makes a real difference to the tries
    EXPECT_NEAR(large / small, 1.0, 0.05);
}

TEST(QuilletField, StandardOutputCarriesTheSameFileAsTheOutputOption) {
    scratch_dir dir;
    std::vector<std::string> a = {"--xl", "15", "--yl", "15", "--tau", "0.4", "--filling", "0.05", "--seed", "6"};
    tool_run to_stdout = run_field_tool(a);
    ASSERT_EQ(to_stdout.status, 0) << to_stdout.err;
    a.insert(a.end(), {"--output", dir.path("f.pos").string()});
    ASSERT_EQ(run_field_tool(a).status, 0);
    EXPECT_EQ(to_stdout.out, file_bytes(dir.path("f.pos")));
    EXPECT_FALSE(std::isnan(reported_value(to_stdout.err, "tau")));
}

TEST(QuilletField, ImpossibleRequestsFailWithStatusOneAMessageAndNoFile) {
    scratch_dir dir;
    struct bad_case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<bad_case> cases = {
        {{"--filling", "0.7"}, "random close packing"},
        // Denser than random sequential addition can pack: placement gives up.
        {{"--xl", "10", "--yl", "10", "--tau", "3", "--filling", "0.45", "--max-attempts", "2000"}, "cannot place"},
        {{"--radius", "-1"}, "--radius"},
        {{"--radius", "0"}, "--radius"},
        {{"--rmin", "-0.5", "--rmax", "1"}, "--rmin"},
        {{"--rmin", "2", "--rmax", "1"}, "--rmax"},
        {{"--rmin", "0.5"}, "--rmin and --rmax"},
        {{"--radius", "1", "--rmin", "0.5", "--rmax", "2"}, "cannot be combined"},
        {{"--tau", "-1"}, "--tau"},
        {{"--tau", "0.5", "--number", "10"}, "either --tau or --number"},
        {{"--xl", "abc"}, "expects a number"},
        {{"--xl", "-5"}, "--xl"},
        {{"--yl", "nan"}, "--yl"},
        {{"--radius", "30"}, "largest radius"},
        {{"--thickness", "1.5"}, "--thickness"},
        {{"--filling", "0.1", "--thickness", "5"}, "only one of"},
        {{"--thickness", "5", "--gaussian"}, "--gaussian"},
        {{"--seed", "0"}, "--seed"},
        {{"--seed", "12x"}, "whole number"},
        {{"--number", "-3"}, "--number"},
        {{"--bogus"}, "unknown option"},
        {{"--generator", "lcg"}, "--generator"},
        {{"--tau"}, "needs a value"},
        {{"--overlap=1"}, "takes no value"},
        {{"--xl", "10000", "--yl", "10000", "--radius", "0.1", "--tau", "1"}, "the simulator counts at most 2147483630"},
    };
    for (const bad_case& c : cases) {
        std::vector<std::string> a = {"-o", dir.path("bad.pos").string()};
        a.insert(a.end(), c.args.begin(), c.args.end());
        tool_run r = run_field_tool(a);
        std::string what = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("quillet-field: ", 0), 0u) << what;
        EXPECT_FALSE(std::filesystem::exists(dir.path("bad.pos"))) << what;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path(""))) << what << ": a temporary file was left";
    }
}

TEST(QuilletField, HelpExplainsEveryOptionThatTheProgramAccepts) {
    tool_run h = run_field_tool({"--help"});
    ASSERT_EQ(h.status, 0);
    const std::vector<std::string> options = {"--output", "--title", "--xl", "--yl", "--sy", "--orb", "--radius",
                                              "--rmin", "--rmax", "--q", "--tau", "--number", "--filling",
                                              "--thickness", "--scale-height", "--gaussian", "--overlap", "--seed",
                                              "--max-attempts", "--generator", "--help"};
    for (const std::string& o : options) {
        EXPECT_NE(h.out.find(o + " "), std::string::npos) << o;
        // ... and the program takes it (an unknown option would say so).
        tool_run r = run_field_tool({o});
        EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << o;
    }
}
