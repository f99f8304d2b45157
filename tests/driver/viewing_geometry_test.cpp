// Observer directions: a phase angle or 1000 + a relative azimuth becomes the
// observer's azimuth in the Sun's frame; each direction prints one line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/viewing_geometry.h"
#include "format/run_error.h"
#include "support/stdout_capture.h"
#include "deck_reading.h"

using namespace quillet;
using test_support::capture_stdout;
using test_support::message_of;
using test_support::split_lines;

namespace {

const double rad = M_PI / 180.0;

struct converted {
    std::vector<double> fii;  // 1-based
    std::vector<std::string> lines;
};

converted convert(double bsun, double lonsun, const std::vector<std::pair<double, double>>& dirs) {
    converted c;
    std::vector<double> lat(dirs.size() + 1), fii(dirs.size() + 1);
    for (std::size_t k = 0; k < dirs.size(); ++k) lat[k + 1] = dirs[k].first, fii[k + 1] = dirs[k].second;
    c.lines = split_lines(capture_stdout(
        [&] { viewing_geometry(bsun, lonsun, int(dirs.size()), fii.data(), lat.data(), "standard input, deck record 4"); }));
    c.fii = fii;
    return c;
}

// Phase angle between the Sun (elevation b) and an observer (elevation p)
// whose azimuths differ by d, all in degrees: the spherical law of cosines.
double phase_angle(double b, double p, double d) {
    return std::acos(std::cos(b * rad) * std::cos(p * rad) * std::cos(d * rad) + std::sin(b * rad) * std::sin(p * rad)) /
           rad;
}

}  // namespace

TEST(ViewingGeometry, ZeroPhaseAngleLooksAlongTheSunsAzimuth) {
    converted c = convert(30.0, 0.0, {{30.0, 0.0}});
    EXPECT_EQ(c.fii[1], 0.0);
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0], "   lat,fii,alpha  30.000   0.000    0.000000");
}

TEST(ViewingGeometry, RelativeAzimuth180GivesPhaseAngle120) {
    converted c = convert(30.0, 0.0, {{30.0, 1180.0}});
    EXPECT_EQ(c.fii[1], 180.0);
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0], "   lat,fii,alpha  30.000 180.000  120.000000");
}

TEST(ViewingGeometry, PhaseAngle40PlacesTheObserverAt56Point52) {
    converted c = convert(30.0, 10.0, {{30.0, 40.0}});
    EXPECT_NEAR(c.fii[1], 56.52, 0.005);
    // Going back from the azimuth difference gives the phase angle asked for.
    EXPECT_NEAR(phase_angle(30.0, 30.0, c.fii[1] - 10.0), 40.0, 1e-10);
    ASSERT_EQ(c.lines.size(), 1u);
    EXPECT_EQ(c.lines[0], "   lat,fii,alpha  30.000  56.523   40.000000");
}

TEST(ViewingGeometry, PhaseAnglesRoundTripThroughTheAzimuth) {
    const double bsun = 25.0, lonsun = -40.0;
    for (double lat : {5.0, 25.0, 50.0, 80.0})
        for (double alpha : {30.0, 45.0, 60.0, 90.0, 120.0}) {
            // Reachable: from |bsun - lat| (same azimuth) to 180 - bsun - lat (opposite).
            if (alpha < std::fabs(bsun - lat) || alpha > 180.0 - bsun - lat) continue;
            converted c = convert(bsun, lonsun, {{lat, alpha}});
            double delta = c.fii[1] - lonsun;
            EXPECT_GE(delta, 0.0) << lat << " " << alpha;  // the side of increasing azimuth
            EXPECT_NEAR(phase_angle(bsun, lat, delta), alpha, 1e-9) << lat << " " << alpha;
        }
}

TEST(ViewingGeometry, ThresholdBetweenPhaseAngleAndRelativeAzimuthIs820) {
    // Sun in the ring plane, observer at the pole: every azimuth gives the
    // phase angle 90, so the threshold shows in the azimuths alone.
    converted c = convert(0.0, 5.0, {{90.0, 820.0}, {90.0, 1000.0}, {90.0, 1090.0}});
    EXPECT_EQ(c.fii[1], 5.0 - 180.0);  // 820 is the relative azimuth -180
    EXPECT_EQ(c.fii[2], 5.0);          // 1000 is the relative azimuth 0
    EXPECT_EQ(c.fii[3], 95.0);
    ASSERT_EQ(c.lines.size(), 3u);
    EXPECT_EQ(c.lines[0], "   lat,fii,alpha  90.000-175.000   90.000000");
    EXPECT_EQ(c.lines[1], "   lat,fii,alpha  90.000   5.000   90.000000");
    EXPECT_EQ(c.lines[2], "   lat,fii,alpha  90.000  95.000   90.000000");
}

TEST(ViewingGeometry, Fiiobs819Point9IsStillAPhaseAngle) {
    // Sun and observer at 10 degrees: 819.9 acts as its cosine, that of 99.9.
    converted c = convert(10.0, 0.0, {{10.0, 819.9}});
    EXPECT_NEAR(phase_angle(10.0, 10.0, c.fii[1]), 99.9, 1e-9);
    EXPECT_EQ(c.lines[0].substr(c.lines[0].size() - 12), "  819.900000");
}

TEST(ViewingGeometry, TinyPhaseAngleAtTheSunsElevationKeepsTheSunsAzimuth) {
    converted c = convert(30.0, 12.0, {{30.0, 1.0e-6}, {30.0, -1.0e-6}, {30.0 + 1.0e-7, 0.0}});
    EXPECT_EQ(c.fii[1], 12.0);
    EXPECT_EQ(c.fii[2], 12.0);
    EXPECT_EQ(c.fii[3], 12.0);
}

TEST(ViewingGeometry, NegativePhaseAngleRunsAsItsAbsoluteValue) {
    converted c = convert(20.0, 0.0, {{35.0, -50.0}, {35.0, 50.0}});
    EXPECT_EQ(c.fii[1], c.fii[2]);
    EXPECT_NEAR(phase_angle(20.0, 35.0, c.fii[1]), 50.0, 1e-9);
}

// The message of the input_error that converting one direction throws.
static std::string rejection(double bsun, double lat, double fii) {
    std::vector<double> lats = {0.0, lat}, fiis = {0.0, fii};
    return message_of<input_error>([&] {
        capture_stdout([&] { viewing_geometry(bsun, 0.0, 1, fiis.data(), lats.data(), "standard input"); });
    });
}

TEST(ViewingGeometry, ZeroPhaseAngleAwayFromTheSunsElevationIsRejectedWithTheAllowedRange) {
    // Sun at 10, observer at 20: phase 0 would run at azimuth 0, phase angle 10.
    std::string msg = rejection(10.0, 20.0, 0.0);
    EXPECT_NE(msg.find("observer direction 1 (latitude 20.0, phase angle 0.0) cannot be seen with the Sun at "
                       "elevation 10.0"),
              std::string::npos)
        << msg;
    EXPECT_NE(msg.find("run from 10.0 to 150.0 degrees"), std::string::npos) << msg;
    // Below the ring plane the observer sees the Sun's side only from afar.
    msg = rejection(30.0, -30.0, 1.0e-7);
    EXPECT_NE(msg.find("run from 60.0 to 180.0 degrees"), std::string::npos) << msg;
}

TEST(ViewingGeometry, ImpossiblePhaseAngleMessageGivesTheAllowedRange) {
    // 10 degrees at Sun 30 and observer 60: the range is 30 .. 90.
    std::string msg = rejection(30.0, 60.0, 10.0);
    EXPECT_NE(msg.find("outside -1..1"), std::string::npos) << msg;
    EXPECT_NE(msg.find("run from 30.0 to 90.0 degrees"), std::string::npos) << msg;
    // The range is that of the geometry: its ends are accepted, just beyond them not.
    const phase_range_t r = phase_range(30.0, 60.0);
    EXPECT_EQ(r.lowest, 30.0);
    EXPECT_EQ(r.highest, 90.0);
    EXPECT_EQ(rejection(30.0, 60.0, r.lowest), "");
    EXPECT_EQ(rejection(30.0, 60.0, r.highest), "");
    EXPECT_NE(rejection(30.0, 60.0, r.lowest - 1e-3), "");
    EXPECT_NE(rejection(30.0, 60.0, r.highest + 1e-3), "");
}

TEST(ViewingGeometry, ElevationZeroOrBeyondNinetyIsRejectedInBothForms) {
    for (double lat : {0.0, -0.0, 95.0, -90.5})
        for (double fii : {40.0, 1090.0}) {
            std::string msg = rejection(30.0, lat, fii);
            EXPECT_NE(msg.find("expected an observer elevation latobs from -90 to 90 degrees other than 0"),
                      std::string::npos)
                << lat << " " << fii << ": " << msg;
        }
    EXPECT_EQ(rejection(30.0, 90.0, 1090.0), "");
    EXPECT_EQ(rejection(30.0, -90.0, 1090.0), "");
}

TEST(ViewingGeometry, PhaseAngleOnTheBoundaryIsAcceptedDespiteRounding) {
    // Phase angle = difference of the elevations: the observer stands at the
    // Sun's azimuth; the arccos argument is 1 up to rounding.
    converted c = convert(30.0, 7.0, {{40.0, 10.0}, {80.0, 50.0}, {10.0, 20.0}, {60.0, 90.0}});
    for (int k = 1; k <= 3; ++k) EXPECT_NEAR(c.fii[k], 7.0, 1e-5) << k;
    // Phase angle = 180 - the sum of the elevations: the opposite azimuth.
    EXPECT_NEAR(c.fii[4], 187.0, 1e-5);
    EXPECT_EQ(c.lines[0], "   lat,fii,alpha  40.000   7.000   10.000000");
    EXPECT_EQ(c.lines[3], "   lat,fii,alpha  60.000 187.000   90.000000");
}

TEST(ViewingGeometry, ImpossiblePhaseAngleIsRejectedNamingTheDirection) {
    std::vector<double> lat = {0.0, 30.0, 60.0}, fii = {0.0, 40.0, 10.0};
    std::string printed;
    std::string msg = message_of<input_error>([&] {
        capture_stdout([&] { viewing_geometry(30.0, 0.0, 2, fii.data(), lat.data(), "standard input, deck record 4"); });
    });
    printed = test_support::captured_before_throw();
    EXPECT_NE(msg.find("standard input, deck record 4"), std::string::npos) << msg;
    EXPECT_NE(msg.find("observer direction 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find("latitude 60.0"), std::string::npos) << msg;
    EXPECT_NE(msg.find("phase angle 10.0"), std::string::npos) << msg;
    EXPECT_NE(msg.find("outside -1..1"), std::string::npos) << msg;
    EXPECT_NE(msg.find("run from 30.0 to 90.0 degrees"), std::string::npos) << msg;
    // The first direction was fine and printed; the rejected one was not.
    EXPECT_EQ(split_lines(printed).size(), 1u);
}

TEST(ViewingGeometry, NonFiniteDirectionsAreRejected) {
    for (auto dir : std::vector<std::pair<double, double>>{{NAN, 40.0}, {30.0, NAN}, {30.0, INFINITY}}) {
        std::vector<double> lat = {0.0, dir.first}, fii = {0.0, dir.second};
        std::string msg = message_of<input_error>([&] {
            capture_stdout([&] { viewing_geometry(30.0, 0.0, 1, fii.data(), lat.data(), "standard input"); });
        });
        EXPECT_NE(msg.find("observer direction 1"), std::string::npos) << msg;
    }
}
