// End of the run: the statistics and per-direction spread, and the result
// files. Every file is plain free-format text, one record per line, written
// to a temporary name and renamed when complete (format/result_file.h).
// The escape, histogram and direction files share their run description
// records; the test-image file gets its header at the set-up and its maps here.
#include <cmath>
#include <limits>
#include <numbers>

#include "engine/engine_output.h"
#include "engine/engine_records.h"
#include "engine/run_options.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "engine/engine_run.h"
#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "numeric/tim.h"
#include "planet/planet_source.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double deg_to_rad = 0.017453292519943295;

// One record of the values of k = 1..ntest.
void put_per_direction(std::FILE* f, const double* v, std::int32_t ntest) {
    record_writer w(f);
    for (std::int32_t k = 1; k <= ntest; ++k) w << v[k];
    w.end();
}

// The escape records of photons 1..nphot (held from photon 1 on).
void put_escape_values(std::FILE* f, const std::vector<float>& v, std::int32_t nphot) {
    record_writer w(f);
    for (std::int32_t i = 0; i < nphot; ++i) w << v[std::size_t(i)];
    w.end();
}

// Records 2 to 7 of the escape file: the run description.
void put_run_head(std::FILE* f, const engine_run& run) {
    put_record(f, run.posfile);
    put_record(f, run.lonsun, run.bsun, run.nphot);
    put_record(f, run.ssca, run.maxscat, run.nbox, run.nboxvis, run.idum);
    put_record(f, run.method);
    put_record(f, run.ppar1, run.ppar2, run.ppar3);
}

// One record of a table by order: order = 1..max_order and, within each
// order, k = 1..ntest.
void put_by_order(std::FILE* f, const std::vector<double>& table, const tallies& t) {
    record_writer w(f);
    for (int order = 1; order <= max_order; ++order)
        for (std::int32_t k = 1; k <= t.sizes.ntest; ++k) w << table[t.order_at(order, k)];
    w.end();
}

// Records 8 to 14 of the escape file: the per-direction results.
void put_direction_results(std::FILE* f, const engine_run& run, const engine_stats& st) {
    const std::int32_t ntest = run.ntest;
    const tallies& t = *run.totals;
    put_per_direction(f, run.fiiobs, ntest);
    put_per_direction(f, run.latobs, ntest);
    put_per_direction(f, t.testw.data(), ntest);
    put_per_direction(f, t.testw_n.data(), ntest);
    put_per_direction(f, st.testw_sig.data(), ntest);
    put_per_direction(f, st.testd_corr.data(), ntest);
    put_by_order(f, t.testw_order, t);
}

// Records 19 to 24 of the escape file: the run's statistics.
void put_run_tail(const particle_field& field, std::FILE* f, const engine_run& run, const engine_stats& st) {
    put_record(f, st.iscat_mean, st.npot_mean, st.nbox_mean);
    put_record(f, field.npartori, field.npart, run.mx, run.my);
    put_record(f, field.sredu, field.zredu, field.tau);
    put_record(f, st.fdir, st.tau_p, st.tau_n);
    put_record(f, st.cpu, st.cpu_comp);
    put_record(f, run.sizemin, run.s20, run.f20);
}

// One image of nxpix x nypix cells (x fastest), from its first cell.
template <class T>
void put_image(std::FILE* f, const T* image, std::int32_t nxpix, std::int32_t nypix) {
    record_writer w(f);
    const std::size_t n = std::size_t(nxpix) * std::size_t(nypix);
    for (std::size_t i = 0; i < n; ++i) w << image[i];
    w.end();
}

}  // namespace

engine_stats run_statistics(const engine_run& run, double cpu1) {
    engine_stats st;
    for (auto* v : {&st.testw_sig, &st.testd_corr, &st.err_1}) v->assign(std::size_t(run.ntest) + 1, 0.0);
    double cpu2 = 0.0;
    tim(cpu2);
    const std::int32_t n = run.nphot < 1 ? 1 : run.nphot;
    const double dn = n;
    st.cpu = cpu2 - cpu1 + run.session->remote_cpu.loop;
    st.cpu_comp = st.cpu / (dn * 0.001);
    const tallies& t = *run.totals;
    st.fdir = double(t.ndirect) / dn;
    st.mu0 = std::cos(std::numbers::pi / 2.0 - run.bsun * deg_to_rad);
    if (st.fdir > 1e-43) {
        st.tau_p = -std::log(st.fdir);
        st.tau_n = st.tau_p * st.mu0;
    } else {
        st.tau_p = st.tau_n = 9999.0;
    }
    st.iscat_mean = float(t.nsearch) / float(n) - 1.0f;
    std::int64_t ntab = t.ntab_calls == 0 ? 1 : t.ntab_calls;
    std::int64_t nseg = t.nseg_calls == 0 ? 1 : t.nseg_calls;
    st.npot_mean = float(t.npot_sum) / float(ntab);
    st.nbox_mean = float(t.nbox_sum) / float(nseg);
    if (run.ntest >= 1) {
        double sum = 0.0;
        for (std::int32_t k = 1; k <= run.ntest; ++k) sum += t.testw[k];
        st.testw_mean = sum / run.ntest;
    }

    // Spread of testw[k] (a sum over N photons): sqrt(N * (q - m^2)) with m
    // and q the mean of each photon's brightness and of its square; the same
    // rule after each photon's first scattering gives the error of the first
    // order.
    for (std::int32_t k = 1; k <= run.ntest; ++k) {
        st.testw_sig[k] = t.testw_sig[k];
        if (t.testw_n[k] < 2.0) continue;
        double m = t.sum_all[k] / dn, q = t.sumsq_all[k] / dn;
        double m1 = t.sum_first[k] / dn, q1 = t.sumsq_first[k] / dn;
        st.testw_sig[k] = 0.0;
        double v = (q - m * m) * dn;
        // A variance that rounding makes negative is zero.
        if (v >= 0.0) {
            st.testd_corr[k] = std::sqrt(v);
            st.testw_sig[k] = st.testd_corr[k];
        }
        double v1 = q1 - m1 * m1;
        if (v1 > 0.0) st.err_1[k] = std::sqrt(v1 / dn);
    }
    // The same spread for each order's sum: every photon's contribution to
    // an order and its square are in the order tables.
    st.order_spread.assign(t.testw_order.size(), 0.0);
    for (int order = 1; order <= max_order; ++order)
        for (std::int32_t k = 1; k <= run.ntest; ++k) {
            const std::size_t i = t.order_at(order, k);
            st.order_spread[i] = sum_spread(t.testw_order[i], t.testw_order_sq[i], n);
        }
    return st;
}

// Reflectance I/F toward each observer direction, after the summary lines.
//
// Sunlight of flux pi F (per unit area normal to the beam) falls at elevation
// bsun on the cell's area A, so each of the N launched photons carries the
// power pi F mu0 A / N, mu0 = |sin bsun|. A scattering sends the fraction
// w P / (4 pi) of the photon's power into each steradian toward the observer;
// the peel-off adds c = w P / 4 to testw, so testw / pi is the power per
// steradian in units of one photon. Seen at elevation lat the cell shows the
// projected area A mu, mu = |sin lat|, hence
//     I = (pi F mu0 A / N) (testw / pi) / (A mu),   I/F = (mu0 / mu) testw / N.
// testd_corr / N is the standard error of testw / N (testd_corr^2 / N is the
// variance of one photon's brightness), so the error of I/F is
// (mu0 / mu) testd_corr / N. The first order uses the same rule with the sums
// taken after each photon's first scattering.
//
// Planet source: saturn_illumination gives flux_sat, the planet-shine flux on
// unit ring-plane area in units of F (a zone of brightness I/F = f and solid
// angle dW at incidence cosine mu_i on the ring plane gives F f dW mu_i). The
// N planet photons then carry F flux_sat A / N each, and the same steps give
//     I/F = (flux_sat / pi) / mu * testw / N:
// flux_sat / pi takes the place of mu0 (direct sunlight has flux_sat = pi mu0).
// The I/F is the planet-shine part of the ring's brightness relative to the
// Sun's F.
void print_reflectance_table(const engine_run& run, const engine_stats& st) {
    const std::int32_t n = run.nphot < 1 ? 1 : run.nphot;
    const double dn = n;
    double mu0;
    if (run.planet_source) {
        if (!(run.planet->flux_sat > 0.0)) {
            say("I/F: no planet-shine flux (flux_sat not above 0), no I/F");
            return;
        }
        mu0 = run.planet->flux_sat / std::numbers::pi;
        say("I/F: flux_sat/pi,nphot", mu0, n);
    } else {
        mu0 = std::abs(std::sin(run.bsun * deg_to_rad));
        say("I/F: mu0,nphot", mu0, n);
    }
    for (std::int32_t k = 1; k <= run.ntest; ++k) {
        const double mu = std::abs(std::sin(run.latobs[k] * deg_to_rad));
        // A direction in the ring plane has no I/F.
        const double scale = mu > 0.0 ? mu0 / mu : std::numeric_limits<double>::quiet_NaN();
        say("I/F: k,lat,fii,i_f,err,i_f_1,err_1", k, run.latobs[k], run.fiiobs[k], scale * run.totals->testw[k] / dn,
            scale * st.testd_corr[k] / dn, scale * run.totals->testw_order[run.totals->order_at(1, k)] / dn,
            scale * st.err_1[k]);
    }
}

void write_escape_file(const particle_field& field, const engine_run& run, const engine_stats& st) {
    result_file out(std::string(run.outfile.trimmed()), run.options->files);
    std::FILE* f = out.stream();
    put_record(f, 7.0);
    put_run_head(f, run);
    put_record(f, run.ntest);
    put_direction_results(f, run, st);
    const tallies& t = *run.totals;
    put_escape_values(f, t.esc_fii, run.nphot);
    put_escape_values(f, t.esc_lat, run.nphot);
    put_escape_values(f, t.esc_sca, run.nphot);
    put_escape_values(f, t.esc_weight, run.nphot);
    put_run_tail(field, f, run, st);
    out.commit();
}

void write_histogram_file(const particle_field& field, const engine_run& run, const engine_stats& st) {
    result_file out(std::string(run.epsfile.trimmed()), run.options->files);
    std::FILE* f = out.stream();
    put_record(f, 5.0);
    put_run_head(f, run);
    put_record(f, run.ntest);
    put_direction_results(f, run, st);
    // The dimension record has always said 50 planes; 10 follow.
    put_record(f, n_hist_fii, n_hist_lat, 50);
    record_writer w(f);
    for (int plane = 1; plane <= n_hist_planes; ++plane)
        for (int lat = 1; lat <= n_hist_lat; ++lat)
            for (int fii = 1; fii <= n_hist_fii; ++fii) w << run.totals->esc_hist[tallies::hist_at(plane, lat, fii)];
    w.end();
    put_run_tail(field, f, run, st);
    out.commit();
}

void write_direction_file(const particle_field& field, const engine_run& run, const engine_stats& st) {
    result_file out(std::string(run.wfile.trimmed()), run.options->files);
    std::FILE* f = out.stream();
    put_record(f, 7.0);
    put_run_head(f, run);
    put_record(f, max_order);
    put_record(f, run.ntest);
    put_direction_results(f, run, st);
    put_record(f, run.posfile_haze);
    put_record(f, run.method_haze);
    put_record(f, run.ppar1_haze, run.ppar2_haze, run.ppar3_haze);
    put_record(f, run.ssca_part, run.ssca_haze);
    put_record(f, max_ring_count, max_haze_count);
    record_writer w(f);
    // Rows beyond those the run kept (a field without haze) hold no photon.
    const tallies& t = *run.totals;
    for (int ih = 0; ih <= max_haze_count; ++ih)
        for (int ir = 0; ir <= max_ring_count; ++ir)
            for (std::int32_t k = 1; k <= run.ntest; ++k)
                w << (ih < t.sizes.haze_rows ? t.testw_haze[t.haze_at(ih, ir, k)] : 0.0);
    w.end();
    put_run_tail(field, f, run, st);
    out.commit();
}

void write_test_image_header(const particle_field& field, std::FILE* f, const engine_run& run) {
    put_record(f, 4.0);
    put_record(f, field.npart, field.xl, field.yl, field.sy);
    put_record(f, run.nphot, run.nxpix, run.ntest);
    put_record(f, run.nxpix, run.nypix);
    put_record(f, run.nxphot, run.nyphot);
    put_record(f, run.bsun, run.lonsun);
    put_per_direction(f, run.latobs, run.ntest);
    put_per_direction(f, run.fiiobs, run.ntest);
    put_image(f, run.totals->ximage.data(), run.nxpix, run.nypix);
    put_image(f, run.totals->yimage.data(), run.nxpix, run.nypix);
    put_record(f, run.ntest_image, n_image_planes);
}

void write_test_image_maps(std::FILE* f, const engine_run& run) {
    say("writing to TESTIMAGE", run.nxpix);
    say("ILL_IMAGE", run.nxpix, run.nypix);
    const tallies& t = *run.totals;
    put_image(f, t.ill_image.data(), run.nxpix, run.nypix);
    say("VIS_IMAGE");
    put_image(f, t.vis_image.data(), run.nxpix, run.nypix);
    for (std::int32_t it = 1; it <= run.ntest_image; ++it) {
        say("TEST_IMAGE", it);
        put_image(f, t.test_image.data() + t.plane_at(it, 0), run.nxpix, run.nypix);
    }
}

}  // namespace quillet

namespace quillet {

std::string order_error_file_name(const engine_run& run) { return std::string(run.wfile.trimmed()) + ".ORDER_ERR"; }

void write_order_error_file(const engine_run& run, const engine_stats& st) {
    result_file out(order_error_file_name(run), run.options->files);
    std::FILE* f = out.stream();
    const tallies& t = *run.totals;
    put_record(f, 1.0);
    put_record(f, run.nphot, max_order, run.ntest);
    put_per_direction(f, run.fiiobs, run.ntest);
    put_per_direction(f, run.latobs, run.ntest);
    put_by_order(f, t.testw_order, t);
    put_by_order(f, st.order_spread, t);
    out.commit();
}

}  // namespace quillet
