// The law table, one parameterised test per row 1..16: the row's name and
// kind as the law codes define them, its evaluator integrates to pi over the
// sphere (P of mean 1), its sampler draws one deviate and matches its own
// evaluator (chi-square, 2*10^5 draws, 40 bins, significance 1e-4), and
// its parameter check admits the parameters used here.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "scatter/law_table.h"
#include "scatter/scatter.h"
#include "support/sampler_stats.h"
#include "support/scratch_dir.h"

using namespace quillet;
using namespace quillet::test_support;

namespace {

constexpr double pi = 3.141592653589793;
constexpr int n_draws = 200000;

// Parameters each law is tested with (ppar1..3 as in a deck).
law_params params_of(std::int32_t code) {
    switch (code) {
        case 3: case 4: return {0.45, 0.0, 0.0, false};
        case 5: case 6: return {-0.6, 0.0, 0.0, false};
        case 9: case 10: return {1.7, 0.0, 0.0, false};
        case 13: case 14: return {0.6, -0.35, 0.7, false};
        default: return {0.0, 0.0, 0.0, false};
    }
}

class LawRow : public testing::TestWithParam<std::int32_t> {
protected:
    void SetUp() override {
        // A tabulated law that is none of the closed forms, of mean 1 over
        // the sphere: P = 1 + 0.8 P2(cos theta), 1-degree rows of phase angle.
        std::string table = "'law table test'\n181\n";
        for (int a = 0; a <= 180; ++a) {
            const double c = -std::cos(a * pi / 180.0);
            table += std::to_string(a) + " " + std::to_string(1.0 + 0.4 * (3.0 * c * c - 1.0)) + "\n";
        }
        dir.write("mcphase.dat", table);
        const law_row& row = law_of(GetParam());
        p = params_of(GetParam());
        p.tables = &tables;
        testing::internal::CaptureStdout();
        if (row.set_up) row.set_up(tables, p, GetParam(), 0);
        testing::internal::GetCapturedStdout();
    }
    phase_law evaluator() const {
        const law_row* row = &law_of(GetParam());
        const law_params q = p;
        return [row, q](double c) {
            double f = 0.0;
            row->evaluate(q, c, f);
            // A surface element sends nothing out of its back.
            if (row->one_sided && c < 0.0) f = 0.0;
            return f;
        };
    }
    scratch_dir dir;
    law_tables tables;
    law_params p{};
};

}  // namespace

TEST_P(LawRow, NameAndKindFollowTheCode) {
    const std::int32_t code = GetParam();
    const law_row& row = law_of(code);
    EXPECT_EQ(row.code, code);
    const std::string name = row.name;
    EXPECT_EQ(row.surface, code <= 2) << name;
    EXPECT_EQ(row.one_sided, code == 1) << name;
    EXPECT_EQ(row.power_law, code >= 7 && code <= 10) << name;
    EXPECT_EQ(row.float_azimuth, code == 11 || code == 12) << name;
    // Codes 3..16 come in pairs: odd "-center", even "-point".
    if (code >= 3) {
        EXPECT_EQ(row.from_centre, code % 2 == 1) << name;
        EXPECT_TRUE(name.ends_with(code % 2 == 1 ? "-sphere-center" : "-sphere-point")) << name;
        EXPECT_EQ(std::string(law_of(code + (code % 2 == 1 ? 1 : -1)).name).substr(0, name.find('-')),
                  name.substr(0, name.find('-')));
    } else {
        EXPECT_FALSE(row.from_centre);
    }
    EXPECT_EQ(std::string(method_name(code)), name);
    EXPECT_EQ(law_parameter_problem(code, p.par1, p.par2, p.par3, ""), "");
}

TEST_P(LawRow, EvaluatorIntegratesToPiOverTheSphere) {
    // Simpson over 20000 intervals in theta; the power and tabulated laws are
    // normalised on their own tables (401 rows, a spline), so to 1e-4.
    const std::int32_t code = GetParam();
    const double tol = (law_of(code).power_law || code >= 15) ? 1e-4 * pi : 1e-8 * pi;
    EXPECT_NEAR(sphere_integral(evaluator()), pi, tol) << law_of(code).name;
}

TEST_P(LawRow, SamplerTakesOneDeviateAndMatchesItsEvaluator) {
    const law_row& row = law_of(GetParam());
    double s = 0.0, c = 0.0;
    EXPECT_EQ(draws_taken([&](random_draws& rng) { row.sample(p, rng, s, c); }), 1) << row.name;
    reseed(-100 - GetParam());
    const law_params q = p;
    auto draw = [&row, q]() {
        double sine = 0.0, cose = 0.0;
        row.sample(q, test_draws(), sine, cose);
        EXPECT_NEAR(sine * sine + cose * cose, 1.0, 1e-6);
        return cose;
    };
    chi_square_result r = cose_chi_square(draw, evaluator(), n_draws);
    print_figure(std::string(row.name), r);
    EXPECT_LT(r.value, r.threshold) << row.name << ": " << r.summary();
}

TEST(LawTable, CodesOutsideOneToSixteenHaveNoRow) {
    EXPECT_FALSE(is_law_code(0));
    EXPECT_FALSE(is_law_code(17));
    EXPECT_FALSE(is_law_code(-3));
    EXPECT_EQ(std::string(method_name(17)), "unknown");
    EXPECT_EQ(std::string(method_name(-1)), "unknown");
}

INSTANTIATE_TEST_SUITE_P(EveryCode, LawRow, testing::Range(1, n_law_codes + 1),
                         [](const testing::TestParamInfo<std::int32_t>& info) {
                             return "code" + std::to_string(info.param);
                         });
