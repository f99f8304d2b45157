// Shared set-up of the engine tests: tiny particle fields written into a
// temporary folder, one engine call with every argument at a usable default,
// a reader of the free-format result files, and a brute-force ray caster
// through the periodic field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mcnew_sub_2pos_image.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "planet/planet_source.h"
#include "format/text_field.h"

namespace quillet::testing_support {

struct sphere {
    double r, x, y, z;
};

struct field_spec {
    double xl = 10.0, yl = 10.0, sy = 0.0;
    std::vector<sphere> particles;
};

// n spheres of radius r at uniform random centres in the cell, |z| <= zhalf
// (overlaps allowed), from a fixed generator seed.
field_spec random_field(int n, double xl, double yl, double r, double zhalf, unsigned seed);

// side x side spheres of radius 0.4 on a unit lattice over the cell
// [-side/2, side/2]^2, jittered in x and y by a fixed rule (at most 0.05, so
// that no two overlap) and spread over heights -0.4 .. 0.4: optical depth
// pi 0.4^2 = 0.50. The first row and column lie 0.2 from the cell's edges,
// so each of their spheres has an edge copy.
field_spec lattice_field(int side);

// A fresh folder under the system's temporary folder, removed with its files
// when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes a Particle position file: title, a discarded line, "orb xl yl sy",
// n, then n lines "radius x y z".
void write_field_file(const std::string& path, const field_spec& f);
void write_text_file(const std::string& path, const std::string& text);
std::string read_text_file(const std::string& path);

// Room of the fixture's per-direction arrays (tests of more directions build
// the run configuration themselves).
constexpr int max_dir_args = 520;
// Per-direction, per-order table: w_order[order][k], direction k fastest.
using order_table = double[max_order + 1][max_dir_args + 1];
// Table by ring and haze scatterings: w_haze[n_haze][n_ring][k].
using haze_table = double[max_haze_count + 1][max_ring_count + 1][max_dir_args + 1];

// Every value of one engine call. Defaults: 100 random-launch photons,
// Sun at 30 degrees, one observer direction, isotropic-sphere law, all result
// files off except the direction file, no image, seed -1.
struct engine_call {
    std::int32_t nxphot = 10, nyphot = 10;
    text80 posfile, parfile{"junk"}, outfile{"junk"};
    double lonsun = 0.0, bsun = 30.0;
    std::int32_t ntest = 1;
    double fiiobs[max_dir_args + 1] = {};
    double latobs[max_dir_args + 1] = {};
    double testw[max_dir_args + 1] = {};
    double testd_corr[max_dir_args + 1] = {};
    double testw_n[max_dir_args + 1] = {};
    struct order_box { order_table t; };
    std::unique_ptr<order_box> w_order_box = std::make_unique<order_box>();
    order_table& w_order = w_order_box->t;
    std::int32_t idum = -1, icheck = 0, mx = 1, my = 1;
    std::int32_t npart = 0, npartori = 0;
    double npot_mean = 0, nbox_mean = 0, iscat_mean = 0;
    std::int32_t method = 2;
    text80 epsfile{"junk"}, wfile;
    double sredu = 1.0, tau = 0.0;
    std::int32_t ndirect = 0;
    double zredu = 1.0, ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
    text80 posfile_haze{"junk"};
    std::int32_t method_haze = 2;
    double ssca_part = 1.0, ssca_haze = 1.0;
    double ppar1_haze = 0.0, ppar2_haze = 0.0, ppar3_haze = 0.0;
    struct haze_box { haze_table t; };
    std::unique_ptr<haze_box> w_haze_box = std::make_unique<haze_box>();
    haze_table& w_haze = w_haze_box->t;
    std::int32_t irot = 0, isquare = 0, idebug = 0, iemulate = 0;
    text80 testimage;
    std::int32_t nxpix = 0, nypix = 0;
    // Photon source: 0 the Sun; >= 1 the planet, whose photons the test puts
    // into `planet`.
    std::int32_t isat = 0;
    planet_photons planet;
    // The run's result tables (escape records from photon 1 at entry 0).
    std::shared_ptr<const tallies> totals;

    // Standard output of the last run.
    std::string out;
    // How the engine runs it (serial, no progress line, by default).
    run_options options = quiet_options();
    static run_options quiet_options() {
        run_options o;
        o.quiet = true;
        return o;
    }

    // A call for the field in `dir`: field file "field.pos", direction file
    // "w.out", test-image prefix "img" (written only when nxpix >= 1).
    explicit engine_call(const temp_dir& dir);
    // Runs the engine (Sun source, no size controls) with standard output
    // captured. Inline: the test programs link the kernel before this library.
    void run();
    void set_direction(int k, double lat, double fii) {
        latobs[k] = lat;
        fiiobs[k] = fii;
    }
};

// The values of a free-format file in order, line breaks ignored.
class value_reader {
public:
    explicit value_reader(const std::string& path);
    std::string text();
    std::int32_t integer();
    double real();
    float single();
    std::vector<double> reals(std::size_t n);
    std::vector<float> singles(std::size_t n);
    bool at_end() const { return pos_ == tokens_.size(); }
    std::size_t left() const { return tokens_.size() - pos_; }

private:
    std::vector<std::string> tokens_;
    std::size_t pos_ = 0;
};

// The lines of a text file, without their line ends.
std::vector<std::string> read_lines(const std::string& path);

// True when the straight line through (x0, y0, 0) along (ux, uy, uz) meets no
// sphere of the periodic field within the layer's height [zmin, zmax]: every
// periodic image that the line can reach is tested.
bool line_is_free(const field_spec& f, double zmin, double zmax, double x0, double y0, double ux, double uy,
                  double uz);

inline void engine_call::run() {
    run_config cfg;
    cfg.nxphot = nxphot;
    cfg.nyphot = nyphot;
    cfg.posfile = posfile;
    cfg.parfile = parfile;
    cfg.outfile = outfile;
    cfg.lonsun = lonsun;
    cfg.bsun = bsun;
    cfg.set_directions(std::vector<double>(latobs, latobs + ntest + 1),
                       std::vector<double>(fiiobs, fiiobs + ntest + 1));
    cfg.idum = idum;
    cfg.icheck = icheck;
    cfg.mx = mx;
    cfg.my = my;
    cfg.method = method;
    cfg.epsfile = epsfile;
    cfg.wfile = wfile;
    cfg.sredu = sredu;
    cfg.zredu = zredu;
    cfg.ppar1 = ppar1;
    cfg.ppar2 = ppar2;
    cfg.ppar3 = ppar3;
    cfg.posfile_haze = posfile_haze;
    cfg.method_haze = method_haze;
    cfg.ssca_part = ssca_part;
    cfg.ssca_haze = ssca_haze;
    cfg.ppar1_haze = ppar1_haze;
    cfg.ppar2_haze = ppar2_haze;
    cfg.ppar3_haze = ppar3_haze;
    cfg.irot = irot;
    cfg.isquare = isquare;
    cfg.idebug = idebug;
    cfg.iemulate = iemulate;
    cfg.testimage = testimage;
    cfg.nxpix = nxpix;
    cfg.nypix = nypix;
    cfg.planet.isat = isat;
    ::testing::internal::CaptureStdout();
    engine_result r;
    try {
        r = mcnew_sub_2pos_image(cfg, isat >= 1 ? &planet : nullptr, options);
    } catch (...) {
        out = ::testing::internal::GetCapturedStdout();
        throw;
    }
    out = ::testing::internal::GetCapturedStdout();
    if (r.ntest != ntest) return;  // a partial run hands back nothing
    for (int k = 1; k <= ntest; ++k) {
        testw[k] = r.testw[k];
        testd_corr[k] = r.testd_corr[k];
        testw_n[k] = r.testw_n[k];
        for (int order = 1; order <= max_order; ++order) w_order[order][k] = r.w_order(order, k);
        for (int ih = 0; ih <= max_haze_count; ++ih)
            for (int ir = 0; ir <= max_ring_count; ++ir) w_haze[ih][ir][k] = r.w_haze(ih, ir, k);
    }
    npart = r.npart;
    npartori = r.npartori;
    npot_mean = r.npot_mean;
    nbox_mean = r.nbox_mean;
    iscat_mean = r.iscat_mean;
    tau = r.tau;
    ndirect = r.ndirect;
    totals = r.totals;
}

}  // namespace quillet::testing_support
