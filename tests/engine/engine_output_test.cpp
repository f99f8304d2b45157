// The result files read back value by value: the escape, histogram and
// direction files and the test-image file hold exactly their records for no,
// one and several observer directions, with and without haze; a repeated run
// gives the same bytes; files are complete or absent.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine_records.h"
#include "field/field_records.h"
#include "format/run_error.h"
#include "support/engine_fixture.h"
#include "support/result_files.h"

using namespace quillet;
using namespace quillet::testing_support;

namespace {

struct output_case {
    int ntest;
    bool haze;
};

// A run with every file on: 6 x 5 grid-launched photons, an 8 x 4 image.
// The cell of the field prepare writes: half-widths, no shear.
constexpr double cell_xl = 4.0, cell_yl = 3.0;

void prepare(engine_call& c, const temp_dir& dir, const output_case& oc) {
    write_field_file(dir.file("field.pos"), random_field(120, cell_xl, cell_yl, 0.6, 1.0, 21));
    c.outfile = text80(dir.file("esc.out"));
    c.epsfile = text80(dir.file("hist.out"));
    c.nxphot = 6;
    c.nyphot = 5;
    c.isquare = 1;
    c.method = 4;
    c.ppar1 = 0.2;
    c.ssca_part = 0.8;
    c.nxpix = 8;
    c.nypix = 4;
    c.ntest = oc.ntest;
    for (int k = 1; k <= oc.ntest; ++k) c.set_direction(k, 10.0 + 15.0 * k, 20.0 * k);
    if (oc.haze) {
        write_field_file(dir.file("haze.pos"), random_field(100, 4.0, 3.0, 0.1, 2.0, 22));
        c.posfile_haze = text80(dir.file("haze.pos"));
        c.method_haze = 2;
        c.ssca_haze = 0.7;
    }
}

void expect_values(value_reader& r, const double* v, int n, const char* what) {
    for (int k = 1; k <= n; ++k) EXPECT_EQ(r.real(), v[k]) << what << " " << k;
}

// Records 2 to 14 of the escape file, shared by the three result files
// (the direction file puts "50" and ntest between records 6 and 8).
void expect_head(value_reader& r, const engine_call& c, int nphot) {
    EXPECT_EQ(r.text(), std::string(c.posfile.trimmed()));
    EXPECT_EQ(r.real(), c.lonsun);
    EXPECT_EQ(r.real(), c.bsun);
    EXPECT_EQ(r.integer(), nphot);
    EXPECT_EQ(r.real(), 1.0);       // ssca
    EXPECT_EQ(r.integer(), 100);    // maxscat
    EXPECT_EQ(r.integer(), 10000);  // nbox
    EXPECT_EQ(r.integer(), 10000);  // nboxvis
    EXPECT_EQ(r.integer(), 1);      // the seed as ran1 left it
    EXPECT_EQ(r.integer(), c.method);
    EXPECT_EQ(r.real(), c.ppar1);
    EXPECT_EQ(r.real(), c.ppar2);
    EXPECT_EQ(r.real(), c.ppar3);
}

void expect_directions(value_reader& r, const engine_call& c) {
    expect_values(r, c.fiiobs, c.ntest, "fiiobs");
    expect_values(r, c.latobs, c.ntest, "latobs");
    expect_values(r, c.testw, c.ntest, "testw");
    expect_values(r, c.testw_n, c.ntest, "testw_n");
    for (int k = 1; k <= c.ntest; ++k) {
        double sig = r.real();
        if (c.testw_n[k] >= 2.0) {
            EXPECT_EQ(sig, c.testd_corr[k]);
        }
    }
    expect_values(r, c.testd_corr, c.ntest, "testd_corr");
    for (int o = 1; o <= max_order; ++o)
        for (int k = 1; k <= c.ntest; ++k) EXPECT_EQ(r.real(), c.w_order[o][k]) << "order " << o;
}

void expect_tail(value_reader& r, const engine_call& c, int nphot) {
    EXPECT_EQ(r.single(), float(c.iscat_mean));
    EXPECT_EQ(r.single(), float(c.npot_mean));
    EXPECT_EQ(r.single(), float(c.nbox_mean));
    EXPECT_EQ(r.integer(), c.npartori);
    EXPECT_EQ(r.integer(), c.npart);
    EXPECT_EQ(r.integer(), c.mx);
    EXPECT_EQ(r.integer(), c.my);
    EXPECT_EQ(r.real(), c.sredu);
    EXPECT_EQ(r.real(), c.zredu);
    EXPECT_EQ(r.real(), c.tau);
    double fdir = r.real();
    EXPECT_EQ(fdir, double(c.ndirect) / nphot);
    double tau_p = r.real(), tau_n = r.real();
    if (c.ndirect > 0) {
        EXPECT_DOUBLE_EQ(tau_p, -std::log(fdir));
        EXPECT_NEAR(tau_n, tau_p * std::sin(c.bsun * 0.017453292519943295), 1e-12);
    } else {
        EXPECT_EQ(tau_p, 9999.0);
        EXPECT_EQ(tau_n, 9999.0);
    }
    EXPECT_GE(r.real(), 0.0);  // cpu
    EXPECT_GE(r.real(), 0.0);  // cpu per 1000 photons
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.real(), 0.0);  // sizemin, s20, f20
}

void expect_escape_file(const std::string& path, const engine_call& c, int nphot) {
    value_reader r(path);
    EXPECT_EQ(r.real(), 7.0);
    expect_head(r, c, nphot);
    EXPECT_EQ(r.integer(), c.ntest);
    expect_directions(r, c);
    for (const auto* v : {&c.totals->esc_fii, &c.totals->esc_lat, &c.totals->esc_sca, &c.totals->esc_weight})
        for (int i = 1; i <= nphot; ++i) EXPECT_EQ(r.single(), (*v)[std::size_t(i - 1)]) << "photon " << i;
    expect_tail(r, c, nphot);
    EXPECT_TRUE(r.at_end()) << r.left() << " values too many";
    EXPECT_EQ(read_lines(path).size(), 24u);
}

void expect_histogram_file(const std::string& path, const engine_call& c, int nphot) {
    value_reader r(path);
    EXPECT_EQ(r.real(), 5.0);
    expect_head(r, c, nphot);
    EXPECT_EQ(r.integer(), c.ntest);
    expect_directions(r, c);
    EXPECT_EQ(r.integer(), 180);
    EXPECT_EQ(r.integer(), 90);
    EXPECT_EQ(r.integer(), 50);
    std::vector<float> hist = r.singles(162000);
    // Plane p holds the escapes after p - 1 scatterings (p = 2..10), by weight.
    for (int plane = 1; plane <= 10; ++plane) {
        double sum = 0.0, expected = 0.0;
        for (int i = 0; i < 180 * 90; ++i) sum += hist[std::size_t((plane - 1) * 180 * 90 + i)];
        for (int i = 1; i <= nphot; ++i)
            if (plane >= 2 && c.totals->esc_weight[std::size_t(i - 1)] > 0.0f && c.totals->esc_sca[std::size_t(i - 1)] == float(plane - 1))
                expected += c.totals->esc_weight[std::size_t(i - 1)];
        EXPECT_NEAR(sum, expected, 1e-5 * (1.0 + expected)) << "plane " << plane;
    }
    expect_tail(r, c, nphot);
    EXPECT_TRUE(r.at_end()) << r.left() << " values too many";
    EXPECT_EQ(read_lines(path).size(), 22u);
}

void expect_direction_file(const std::string& path, const engine_call& c, int nphot) {
    value_reader r(path);
    EXPECT_EQ(r.real(), 7.0);
    expect_head(r, c, nphot);
    EXPECT_EQ(r.integer(), 50);
    EXPECT_EQ(r.integer(), c.ntest);
    expect_directions(r, c);
    EXPECT_EQ(r.text(), std::string(c.posfile_haze.trimmed()));
    EXPECT_EQ(r.integer(), c.method_haze);
    EXPECT_EQ(r.real(), c.ppar1_haze);
    EXPECT_EQ(r.real(), c.ppar2_haze);
    EXPECT_EQ(r.real(), c.ppar3_haze);
    EXPECT_EQ(r.real(), c.ssca_part);
    EXPECT_EQ(r.real(), c.ssca_haze);
    EXPECT_EQ(r.integer(), 20);
    EXPECT_EQ(r.integer(), 50);
    for (int ih = 0; ih <= 50; ++ih)
        for (int ir = 0; ir <= 20; ++ir)
            for (int k = 1; k <= c.ntest; ++k) EXPECT_EQ(r.real(), c.w_haze[ih][ir][k]);
    expect_tail(r, c, nphot);
    EXPECT_TRUE(r.at_end()) << r.left() << " values too many";
    EXPECT_EQ(read_lines(path).size(), 27u);
}

// The errors by order beside the direction file: its sums by order are the
// direction file's, the sums over the orders are testw, and each spread is
// the rule of testd_corr applied to the order's sum and the sum of every
// photon's squared contribution to it.
void expect_order_error_file(const std::string& path, const engine_call& c, int nphot) {
    value_reader r(path);
    EXPECT_EQ(r.real(), 1.0);
    EXPECT_EQ(r.integer(), nphot);
    EXPECT_EQ(r.integer(), 50);
    EXPECT_EQ(r.integer(), c.ntest);
    expect_values(r, c.fiiobs, c.ntest, "fiiobs");
    expect_values(r, c.latobs, c.ntest, "latobs");
    std::vector<double> all(std::size_t(c.ntest) + 1, 0.0);
    for (int order = 1; order <= 50; ++order)
        for (int k = 1; k <= c.ntest; ++k) {
            const double w = r.real();
            EXPECT_EQ(w, c.w_order[order][k]) << "order " << order << " k " << k;
            all[std::size_t(k)] += w;
        }
    for (int k = 1; k <= c.ntest; ++k) EXPECT_NEAR(all[std::size_t(k)], c.testw[k], 1e-12 * c.testw[k]) << k;
    const tallies& t = *c.totals;
    for (int order = 1; order <= 50; ++order)
        for (int k = 1; k <= c.ntest; ++k) {
            const std::size_t i = t.order_at(order, k);
            const double s = t.testw_order[i], q = t.testw_order_sq[i];
            // No photon's square is below the mean square (Cauchy-Schwarz).
            EXPECT_GE(q * nphot, s * s * (1.0 - 1e-12)) << "order " << order << " k " << k;
            const double v = (q / nphot - (s / nphot) * (s / nphot)) * nphot;
            EXPECT_EQ(r.real(), v >= 0.0 ? std::sqrt(v) : 0.0) << "order " << order << " k " << k;
        }
    EXPECT_TRUE(r.at_end()) << r.left() << " values too many";
    EXPECT_EQ(read_lines(path).size(), 6u);
}

void expect_test_image_file(const std::string& path, const engine_call& c, int nphot) {
    value_reader r(path);
    const int nx = c.nxpix, ny = c.nypix, n = nx * ny;
    const int images = c.ntest > 1 ? 1 : c.ntest;
    EXPECT_EQ(r.real(), 4.0);
    EXPECT_EQ(r.integer(), c.npart);
    EXPECT_EQ(r.real(), cell_xl);
    EXPECT_EQ(r.real(), cell_yl);
    EXPECT_EQ(r.real(), 0.0);
    EXPECT_EQ(r.integer(), nphot);
    EXPECT_EQ(r.integer(), nx);
    EXPECT_EQ(r.integer(), c.ntest);
    EXPECT_EQ(r.integer(), nx);
    EXPECT_EQ(r.integer(), ny);
    EXPECT_EQ(r.integer(), c.nxphot);
    EXPECT_EQ(r.integer(), c.nyphot);
    EXPECT_EQ(r.real(), c.bsun);
    EXPECT_EQ(r.real(), c.lonsun);
    expect_values(r, c.latobs, c.ntest, "latobs");
    expect_values(r, c.fiiobs, c.ntest, "fiiobs");
    for (int iy = 1; iy <= ny; ++iy)
        for (int ix = 1; ix <= nx; ++ix)
            EXPECT_FLOAT_EQ(r.single(), float((2.0 * (ix - 0.5) * cell_xl) / nx - cell_xl));
    for (int iy = 1; iy <= ny; ++iy)
        for (int ix = 1; ix <= nx; ++ix) EXPECT_FLOAT_EQ(r.single(), float((iy - 0.5) * 2.0 * cell_yl / ny - cell_yl));
    EXPECT_EQ(r.integer(), images);
    EXPECT_EQ(r.integer(), 10);
    std::vector<int> ill(static_cast<std::size_t>(n)), vis(static_cast<std::size_t>(n));
    int ill_sum = 0, vis_sum = 0;
    for (int& v : ill) ill_sum += (v = r.integer());
    for (int& v : vis) vis_sum += (v = r.integer());
    for (int i = 0; i < n; ++i) EXPECT_LE(vis[std::size_t(i)], ill[std::size_t(i)]);
    EXPECT_EQ(ill_sum, nphot - c.ndirect);  // every first scattering, at its photon's entry pixel
    if (c.ntest == 0) {
        EXPECT_EQ(vis_sum, 0);
    }
    for (int it = 1; it <= images; ++it) {
        double sum = 0.0;
        for (float v : r.singles(std::size_t(n))) sum += v;
        // The map of first scatterings seen from direction 1.
        EXPECT_NEAR(sum, c.w_order[1][1], 1e-5 * (1.0 + c.w_order[1][1]));
    }
    EXPECT_TRUE(r.at_end()) << r.left() << " values too many";
    EXPECT_EQ(read_lines(path).size(), std::size_t(13 + images));
}

}  // namespace

class ResultFiles : public ::testing::TestWithParam<output_case> {};

TEST_P(ResultFiles, EveryFileHoldsExactlyItsRecords) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir, GetParam());
    c.run();
    const int nphot = 30;
    expect_escape_file(dir.file("esc.out"), c, nphot);
    expect_histogram_file(dir.file("hist.out"), c, nphot);
    expect_direction_file(dir.file("w.out"), c, nphot);
    expect_order_error_file(dir.file("w.out.ORDER_ERR"), c, nphot);
    expect_test_image_file(dir.file("img.TESTIMAGE"), c, nphot);
    // Nothing else: no temporary file is left behind.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, GetParam().haze ? 7 : 6);
}

INSTANTIATE_TEST_SUITE_P(Directions, ResultFiles,
                         ::testing::Values(output_case{0, false}, output_case{1, false}, output_case{3, false},
                                           output_case{0, true}, output_case{1, true}, output_case{3, true}),
                         [](const auto& info) {
                             return "ntest" + std::to_string(info.param.ntest) +
                                    (info.param.haze ? "_haze" : "_nohaze");
                         });

TEST(ResultFilesRepeat, SameRunTwiceGivesTheSameBytesApartFromTheCpuTimes) {
    temp_dir dir;
    engine_call c(dir);
    prepare(c, dir, {3, true});
    c.isquare = 0;
    c.irot = 1;
    auto results = [&] {
        return quillet::test_support::find_result_files(dir.path(),
                                                        [](const std::string& n) { return !n.ends_with(".pos"); });
    };
    c.run();
    const auto first = results();
    ASSERT_EQ(first.size(), 5u);  // escape, histogram, direction, errors by order, test image
    EXPECT_GT(first.at("img.TESTIMAGE").bytes.size(), 100u);
    c.run();
    const auto second = results();
    ASSERT_EQ(second.size(), first.size());
    for (const auto& [name, f] : first)
        EXPECT_EQ(quillet::test_support::without_cpu_line(second.at(name)), quillet::test_support::without_cpu_line(f))
            << name;
}

TEST(ResultFilesRepeat, JunkNamesWriteOnlyTheDirectionFilesAndTheyReplaceOldOnes) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(30, 4.0, 3.0, 0.6, 1.0, 23));
    write_text_file(dir.file("w.out"), "an older file\n");
    write_text_file(dir.file("w.out.ORDER_ERR"), "an older file\n");
    engine_call c(dir);
    c.run();
    EXPECT_EQ(read_lines(dir.file("w.out")).front(), "7.0");
    EXPECT_EQ(read_lines(dir.file("w.out.ORDER_ERR")).front(), "1.0");
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 3);  // the field, the direction file and its errors by order
}

TEST(ResultFilesRepeat, UnwritableDirectionFileStopsTheRunNamingTheFile) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(30, 4.0, 3.0, 0.6, 1.0, 24));
    engine_call c(dir);
    c.wfile = text80(dir.file("no-such-folder/w.out"));
    try {
        c.run();
        FAIL() << "no error";
    } catch (const output_error& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-folder/w.out"), std::string::npos) << e.what();
    }
}

TEST(ResultFilesRepeat, SummaryLinesArePrintedUnlessIcheckIsNegative) {
    temp_dir dir;
    write_field_file(dir.file("field.pos"), random_field(60, 4.0, 3.0, 0.6, 1.0, 25));
    engine_call c(dir);
    c.ntest = 2;
    c.set_direction(2, 50.0, 120.0);
    c.run();
    std::string label = "mean: testw,iscat ";
    auto at = c.out.find(label);
    ASSERT_NE(at, std::string::npos);
    double mean = std::stod(c.out.substr(at + label.size()));
    EXPECT_DOUBLE_EQ(mean, (c.testw[1] + c.testw[2]) / 2.0);
    EXPECT_NE(c.out.find("\nmx,my,npart,npot 1 1 "), std::string::npos);
    EXPECT_NE(c.out.find("\nnbox,nboxvis,nbox_mean 10000 10000 "), std::string::npos);
    c.icheck = -1;
    c.run();
    EXPECT_EQ(c.out.find("mean: testw,iscat"), std::string::npos);
    EXPECT_EQ(c.out.find("nbox,nboxvis,nbox_mean"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.file("w.out")));
}
