#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "field/field_records.h"
#include "field/retbox.h"
#include "support/field_fixture.h"

using namespace quillet;

namespace {

// A 2*xl x 2*yl cell with xl = yl = 4 and shear sy = 0.25*yl = 1: every
// example below is exact in binary.
class Retbox : public testing::Test {
protected:
    void SetUp() override {
        fixture::reset_field();
        fixture::set_field({}, 4.0, 4.0, 1.0);
    }
    // Folds (x, y) and returns the lines printed.
    std::string fold(double& x, double& y) {
        testing::internal::CaptureStdout();
        retbox(field, x, y);
        return testing::internal::GetCapturedStdout();
    }
};

}  // namespace

TEST_F(Retbox, PointInsideTheCellIsUnchanged) {
    double x = -3.5, y = 3.9;
    EXPECT_EQ(fold(x, y), "");
    EXPECT_EQ(x, -3.5);
    EXPECT_EQ(y, 3.9);
}

TEST_F(Retbox, OnePeriodRightTakesTheShearOffY) {
    double x = 2.5 * 4.0, y = 0.0;
    fold(x, y);
    EXPECT_EQ(x, 0.5 * 4.0);
    EXPECT_EQ(y, -0.25 * 4.0);
}

TEST_F(Retbox, OnePeriodLeftAddsTheShearAndFoldsYBack) {
    double x = -2.5 * 4.0, y = 0.9 * 4.0;
    fold(x, y);
    EXPECT_EQ(x, -0.5 * 4.0);
    // y1 = 3.6 + 1 = 4.6 lies above yl, so one y period comes off: -0.85*yl.
    EXPECT_NEAR(y, -0.85 * 4.0, 1e-14);
}

TEST_F(Retbox, TwoPeriodsRightTakeTwiceTheShearOffBeforeTheYFold) {
    double x = 4.5 * 4.0, y = 3.0;
    fold(x, y);
    EXPECT_EQ(x, 0.5 * 4.0);
    EXPECT_EQ(y, 1.0);  // 3 - 2*1
    double x2 = 4.5 * 4.0, y2 = -3.5;
    fold(x2, y2);
    EXPECT_EQ(y2, 2.5);  // -3.5 - 2 = -5.5, one y period up
}

TEST_F(Retbox, ManyPeriodsInBothDirectionsLandInTheCell) {
    double x = -1000.3, y = 777.7;
    fold(x, y);
    EXPECT_LE(std::fabs(x), 4.0);
    EXPECT_LE(std::fabs(y), 4.0);
    // The same point of the periodic field: x moved by whole periods, y by
    // whole periods plus the shear of the x periods.
    const double m = (-1000.3 - x) / 8.0;
    EXPECT_NEAR(m, std::round(m), 1e-9);
    const double k = (777.7 - y - std::round(m) * 1.0) / 8.0;
    EXPECT_NEAR(k, std::round(k), 1e-9);
}

TEST_F(Retbox, CellEdgesFoldToTheEdgesWithoutMessages) {
    // x = +xl counts as one period right (to -xl, shear taken off y);
    // x = -xl as one period left.
    double x = 4.0, y = 4.0;
    EXPECT_EQ(fold(x, y), "");
    EXPECT_EQ(x, -4.0);
    EXPECT_EQ(y, 3.0);
    double x2 = -4.0, y2 = -4.0;
    EXPECT_EQ(fold(x2, y2), "");
    EXPECT_EQ(x2, 4.0);
    EXPECT_EQ(y2, -3.0);
    // y = +yl alone (no x period) folds to -yl.
    double x3 = 0.0, y3 = 4.0;
    EXPECT_EQ(fold(x3, y3), "");
    EXPECT_EQ(y3, -4.0);
}
