// The run report: the header and settings echo with its conditional lines,
// the photon-count rules of isquare, the derived summary values and the
// closing lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "deck_reading.h"
#include "driver/run_report.h"
#include "field/field_records.h"
#include "format/free_writer.h"

using namespace quillet;
using test_support::capture_stdout;
using test_support::fresh_parameters;
using test_support::split_lines;

namespace {

std::string pad(const std::string& s, std::size_t n) { return s + std::string(n - s.size(), ' '); }

const std::string banner(42, '=');

// A run as the header sees it after the deck: set directly, not read.
std::unique_ptr<run_parameters> sample_run() {
    auto p = fresh_parameters();
    p->posfile = text80("ring.pos");
    p->bsun = 30.0, p->lonsun = 10.0;
    p->ntest = 3;
    p->nxphot = 2, p->nyphot = 2, p->mx = 10, p->my = 12;
    p->nphot = 4;
    p->parfile = text80("par"), p->outfile = text80("junk"), p->epsfile = text80("junk"), p->wfile = text80("w.out");
    p->method = 5, p->method_name = text30("EULER-sphere-center");
    p->ppar1 = 0.5, p->ppar2 = 0.0, p->ppar3 = -1.25;
    p->posfile_haze = text80("junk"), p->method_haze = 0, p->method_name_haze = text30("unknown");
    p->ssca_part = 0.9, p->ssca_haze = 1.0;
    p->idum = -7;
    p->sredu = 1.0, p->zredu = 0.5;
    p->irot = 0, p->isquare = 5;
    p->testimage = text80("img"), p->nxpix = 100, p->nypix = 200, p->idebug = 0, p->iemulate = 2;
    p->sizemin = 0.01, p->s20 = 0.0, p->f20 = 1.0;
    p->planet = {0, 120.8, 60.4, 4, 8, 1};
    p->model_sat_name = text30("Lambert-planet");
    return p;
}

std::vector<std::string> header_of(run_parameters& p) {
    return split_lines(capture_stdout([&] { print_header(p); }));
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines)
        if (l == line) return true;
    return false;
}

bool has_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace

TEST(RunReport, HeaderEchoesEverySettingWithItsLabel) {
    auto p = sample_run();
    std::vector<std::string> got = header_of(*p);
    std::vector<std::string> expected = {
        banner,
        "REVAZO2004/VER2/vellomar (27.07.2004)",
        "(date)",
        banner,
        "POSFILE=      " + pad("ring.pos", 80),
        "BSUN, LONSUN= 30.0 10.0",
        "NTEST         3",
        "NPHOT,MX,MY=  4 10 12",
        "PARTICLES:",
        " POSFILE=     " + pad("ring.pos", 80),
        " METHOD    =  5    " + pad("EULER-sphere-center", 30),
        " PPAR 1,2,3=  0.5 0.0 -1.25",
        " SSCA      =  0.9",
        "HAZE:     ",
        " POSFILE=     " + pad("junk", 80),
        " METHOD    =  0    " + pad("unknown", 30),
        " PPAR 1,2,3=  0.0 0.0 0.0",
        " SSCA      =  1.0",
        "SEED       =  -7",
        "parfile,outfile,epsfile,wfile=",
        "->  " + pad("par", 80),
        "->  " + pad("junk", 80),
        "->  " + pad("junk", 80),
        "->  " + pad("w.out", 80),
        "sredu,zredu 1.0 0.5",
        "sizemin  0.01",
        "s20,f20  0.0 1.0",
        "ILLUMINATION BY SUN",
        "FIIOBS intepreted as alpha (unless fiiobs > 180)",
        "50 orders of scattering stored",
        banner,
        "irot=     0 (1-rot, 0-no)",
        "isquare=  5 (1-grid, 0-rnd)",
        "idebug=   0",
        "iemulate= 2",
        "testimage=  " + pad("img", 80),
        "nxpix,nypix   =  100 200",
        "nxphot,nyphot =  2 2",
    };
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        if (i != 2) {
            EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
        }
    EXPECT_TRUE(test_support::is_date_time_line(got[2])) << got[2];
    EXPECT_EQ(p->nphot, 4);  // isquare 5 leaves it
}

TEST(RunReport, DateLineIsTheLocalTimeNow) {
    std::time_t before = std::time(nullptr);
    std::string line = capture_stdout([] { print_date_time(); });
    std::time_t after = std::time(nullptr);
    std::tm a{}, b{};
    localtime_r(&before, &a);
    localtime_r(&after, &b);
    EXPECT_TRUE(line == date_time_line(a) + "\n" || line == date_time_line(b) + "\n") << line;
}

TEST(RunReport, IlluminationLinesFollowIsat) {
    struct cse {
        int isat;
        const char* line;  // nullptr: no illumination line
        bool planet_lines;
    } cases[] = {{0, "ILLUMINATION BY SUN", false},
                 {1, "ILLUMINATION BY SATURN", true},
                 {2, "ILLUMINATION BY SATURN-SOUTH", true},
                 {3, "ILLUMINATION BY SATURN-NORTH", true},
                 {5, nullptr, true},
                 {-1, nullptr, false}};
    for (const auto& c : cases) {
        auto p = sample_run();
        p->planet.isat = c.isat;
        std::vector<std::string> lines = header_of(*p);
        EXPECT_EQ(has_prefix(lines, "ILLUMINATION BY"), c.line != nullptr) << c.isat;
        if (c.line) {
            EXPECT_TRUE(has_line(lines, c.line)) << c.isat;
        }
        EXPECT_EQ(has_line(lines, "MODEL_SAT= 1 " + pad("Lambert-planet", 30)), c.planet_lines) << c.isat;
        EXPECT_EQ(has_line(lines, "DISTANCE = 120.8 2.0"), c.planet_lines) << c.isat;
        EXPECT_EQ(has_line(lines, "NLAT,NFII= 4 8"), c.planet_lines) << c.isat;
    }
}

TEST(RunReport, UnknownPlanetModelShowsItsCodeAndABlankName) {
    auto p = sample_run();
    p->planet.isat = 1;
    p->planet.model_sat = 12;
    p->model_sat_name = text30();
    EXPECT_TRUE(has_line(header_of(*p), "MODEL_SAT= 12 " + std::string(30, ' ')));
}

TEST(RunReport, IsquareRulesSetThePhotonCount) {
    struct cse {
        int isquare, nphot_before, nphot_after;
        const char* line;
    } cases[] = {{1, 10, 9, "isquare=1 -> new nphot= 9"},     {1, 16, 16, "isquare=1 -> new nphot= 16"},
                 {1, 0, 0, "isquare=1 -> new nphot= 0"},      {12, 4, 144, "isquare=>10 -> new nphot= 144"},
                 {10, 0, 100, "isquare=>10 -> new nphot= 100"}, {5, 4, 4, nullptr},
                 {9, 4, 4, nullptr},                          {0, 7, 7, nullptr},
                 {-3, 7, 7, nullptr}};
    for (const auto& c : cases) {
        auto p = sample_run();
        p->isquare = c.isquare;
        p->nphot = c.nphot_before;
        std::vector<std::string> lines = header_of(*p);
        EXPECT_EQ(p->nphot, c.nphot_after) << c.isquare;
        EXPECT_TRUE(has_line(lines, "isquare=  " + std::to_string(c.isquare) + " (1-grid, 0-rnd)"));
        EXPECT_EQ(has_prefix(lines, "isquare=1 ->") || has_prefix(lines, "isquare=>10 ->"), c.line != nullptr)
            << c.isquare;
        if (c.line) {
            EXPECT_TRUE(has_line(lines, c.line)) << c.isquare;
        }
        // The count line before the adjustment shows the count as it was.
        EXPECT_TRUE(has_line(lines, "NPHOT,MX,MY=  " + std::to_string(c.nphot_before) + " 10 12"));
    }
    EXPECT_EQ(nphot_after_isquare(1, 1000000), 1000000);
    EXPECT_EQ(nphot_after_isquare(1, 999999), 998001);
    EXPECT_EQ(nphot_after_isquare(46340, 0), 2147395600);
}

TEST(RunReport, RotationLineOnlyWhenIrotIsOne) {
    for (int irot : {0, 1, 2, -1}) {
        auto p = sample_run();
        p->irot = irot;
        std::vector<std::string> lines = header_of(*p);
        EXPECT_TRUE(has_line(lines, "irot=     " + std::to_string(irot) + " (1-rot, 0-no)"));
        EXPECT_EQ(has_line(lines, "particle field rotated randomly"), irot == 1) << irot;
    }
}

TEST(RunSummary, Mu0UsesItsSevenDigitConstants) {
    run_summary s = summarize(30.0, 0, 100, 0.0, 0.0);
    EXPECT_EQ(s.mu0, std::cos(1.57079637 - 0.017453293 * 30.0));
    EXPECT_NEAR(s.mu0, 0.5, 1e-7);
    EXPECT_NE(s.mu0, 0.5);
    EXPECT_NEAR(summarize(90.0, 0, 100, 0.0, 0.0).mu0, 1.0, 1e-12);
}

TEST(RunSummary, OpticalDepthsFromTheUnscatteredFraction) {
    run_summary s = summarize(30.0, 250, 1000, 1.0, 3.5);
    EXPECT_EQ(s.fdir, 0.25);
    EXPECT_DOUBLE_EQ(s.tau_p, std::log(4.0));
    EXPECT_DOUBLE_EQ(s.tau_n, std::log(4.0) * s.mu0);
    EXPECT_EQ(s.cpu, 2.5);
    // Every photon unscattered: zero optical depth.
    run_summary all = summarize(30.0, 1000, 1000, 0.0, 0.0);
    EXPECT_EQ(all.fdir, 1.0);
    EXPECT_NEAR(all.tau_p, 0.0, 1e-15);
}

TEST(RunSummary, NoUnscatteredPhotonGives9999) {
    run_summary s = summarize(30.0, 0, 1000, 0.0, 0.0);
    EXPECT_EQ(s.fdir, 0.0);
    EXPECT_EQ(s.tau_p, 9999.0);
    EXPECT_EQ(s.tau_n, 9999.0);
}

TEST(RunSummary, ZeroPhotonsCountAsOneInTheRatios) {
    run_summary s = summarize(30.0, 0, 0, 1.0, 2.0);
    EXPECT_EQ(s.fdir, 0.0);
    EXPECT_EQ(s.tau_p, 9999.0);
    EXPECT_EQ(s.cpu_comp, 1.0 / double(0.001f));
}

TEST(RunSummary, CpuPerThousandPhotonsDividesBySinglePrecisionThousands) {
    // 1e6 * 0.001f rounds in single precision to 1000.00006103515625, not 1000.
    run_summary s = summarize(30.0, 0, 1000000, 0.0, 1000.00006103515625);
    EXPECT_EQ(s.cpu_comp, 1.0);
    run_summary t = summarize(30.0, 0, 3, 0.0, 1.0);
    EXPECT_EQ(t.cpu_comp, 1.0 / double(3.0f * 0.001f));
}

TEST(RunReport, ClosingSummaryLines) {
    auto p = sample_run();
    p->sizemin = 0.01, p->s20 = 0.2, p->f20 = 3.0;
    engine_result e;
    e.npart = 1200, e.npartori = 1000, e.npot_mean = 3.5, e.nbox_mean = 1.25, e.iscat_mean = 2.0, e.tau = 0.25;
    e.ndirect = 500;
    run_summary s = summarize(p->bsun, e.ndirect, 1000, 0.5, 3.0);
    std::vector<std::string> lines = split_lines(capture_stdout([&] { print_closing(*p, e, s); }));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "NORI,TAU  =  1000 0.25");
    EXPECT_EQ(lines[1], "SREDU, ZREDU =  1.0 0.5");
    EXPECT_EQ(lines[2], "cpu, cpu_comp 2.5 " + free_format(2.5 / double(1000.0f * 0.001f)));
    EXPECT_EQ(lines[3], "npart,npot,nbox,iscat 1200 3.5 1.25 2.0");
    EXPECT_EQ(lines[4], "fdir,mu0,tau_p,tau_n 0.5 " + free_format(s.mu0, std::log(2.0), std::log(2.0) * s.mu0));
    EXPECT_EQ(lines[5], "sizemin  0.01");
    EXPECT_EQ(lines[6], "s20,f20  0.2 3.0");
    EXPECT_EQ(lines[7], banner);
    EXPECT_TRUE(test_support::is_date_time_line(lines[8]));
    EXPECT_EQ(lines[9], banner);
}
