// The photon loop: each photon is launched from the source toward the layer,
// followed from particle to particle (search, scatter, peel off) until it
// escapes or reaches maxscat searches, and its escape record and brightness
// sums are kept. Random draws per photon, in this order: the azimuth rotation
// (always drawn), the launch point (x, then y) for random launch, then two per
// scattering inside scatter(). The loop also stops at a SIGINT or SIGTERM
// (checked once per photon) and keeps a progress line on a terminal.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/indirect.h"
#include "engine/run_interrupt.h"
#include "field/field_records.h"
#include "field/retbox.h"
#include "format/free_writer.h"
#include "numeric/ran1.h"
#include "planet/planet_records.h"
#include "scatter/scatter.h"
#include "scatter/scatter_records.h"
#include "trace/path_segment.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double deg_to_rad = 0.017453292519943295;
constexpr double hist_scale = 28.64788975654116;  // 90/pi: 2-degree bins

// Escape histogram bin; asin and atan2 can return exactly +pi/2 and +pi,
// which belong to the last bin.
inline int hist_bin(double angle, double offset, int nbins) {
    int b = int(angle * hist_scale + offset) + 1;
    if (b > nbins) b = nbins;
    if (b < 1) b = 1;
    return b;
}

// The progress line on standard error while photons run: photons done, rate
// and time left, rewritten in place ("\r") a few times a second and wiped at
// the end. Only on a terminal: a redirected standard error stays clean, and
// standard output (the report) is never touched. The loop pays one compare
// per photon; the clock is read every check_every photons.
class progress_line {
public:
    static constexpr std::int32_t check_every = 256;
    static constexpr double interval = 0.25;  // seconds between updates

    explicit progress_line(std::int32_t nphot)
        : nphot_(nphot), on_(::isatty(2) == 1), start_(clock::now()), last_(start_) {
        next_check = on_ ? check_every : never;
    }
    ~progress_line() { clear(); }
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // Photon number at which the loop calls update() next.
    std::int32_t next_check;

    void update(std::int32_t done) {
        next_check += check_every;
        const clock::time_point now = clock::now();
        if (std::chrono::duration<double>(now - last_).count() < interval) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0.0 ? done / elapsed : 0.0;
        char left[40] = "";
        if (rate > 0.0) {
            const long s = std::lround((nphot_ - done) / rate);
            if (s < 60)
                std::snprintf(left, sizeof left, ", %ld s left", s);
            else if (s < 3600)
                std::snprintf(left, sizeof left, ", %ld min %02ld s left", s / 60, s % 60);
            else
                std::snprintf(left, sizeof left, ", %ld h %02ld min left", s / 3600, s / 60 % 60);
        }
        char text[160];
        int n = std::snprintf(text, sizeof text, "\rquillet: %d of %d photons (%d%%), %.0f photons/s%s", done, nphot_,
                              int(100.0 * done / nphot_), rate, left);
        if (n < 0) return;
        if (n >= int(sizeof text)) n = int(sizeof text) - 1;
        // Blanks over the end of a longer previous line.
        const int width = n;
        while (n < shown_ && n < int(sizeof text) - 1) text[n++] = ' ';
        std::fwrite(text, 1, std::size_t(n), stderr);
        shown_ = width;
    }

    // Wipes the line, leaving the cursor at its start.
    void clear() {
        if (shown_ == 0) return;
        char blank[160];
        int n = 0;
        blank[n++] = '\r';
        while (n <= shown_ && n < int(sizeof blank) - 1) blank[n++] = ' ';
        blank[n++] = '\r';
        std::fwrite(blank, 1, std::size_t(n), stderr);
        shown_ = 0;
    }

private:
    using clock = std::chrono::steady_clock;
    static constexpr std::int32_t never = INT32_MAX;
    std::int32_t nphot_;
    bool on_;
    int shown_ = 0;  // characters of the line on the terminal, 0 when none
    clock::time_point start_, last_;
};

}  // namespace

void run_photons(const engine_run& run) {
    const std::int32_t nphot = run.nphot;
    const std::int32_t ntest = run.ntest;
    const std::int32_t maxscat = run.maxscat;
    const std::int32_t icheck = run.icheck;
    const double xl = com2.xl, yl = com2.yl;
    const double sun_b = run.bsun * deg_to_rad;
    const double sun_l = run.lonsun * deg_to_rad;
    const double cos_b = std::cos(sun_b), sin_b = std::sin(sun_b);
    const double widen = aug2004a.emulate_a == 1 ? 1.01 : 1.000001;
    const bool fold_after_scatter = aug2004a.emulate_b != 1;

    double inidist = 0.0;  // kept from the previous photon when the source lies in the ring plane
    progress_line progress(nphot);
    for (std::int32_t iphot = 1; iphot <= nphot; ++iphot) {
        if (stop_signal != 0) {
            progress.clear();
            throw run_interrupted("interrupted by " + signal_text(stop_signal) + " after " +
                                  std::to_string(iphot - 1) + " of " + std::to_string(nphot) +
                                  " photons; no result file was written");
        }
        if (iphot == progress.next_check) progress.update(iphot - 1);
        com12.ipart = no_particle;
        com4.weight = 1.0;
        debug1.iphot = iphot;

        double rot = std::numbers::pi * double(ran1_draw());
        if (run.irot == 0) rot = 0.0;

        double sx, sy, sz;
        if (run.planet_source) {
            sx = satcom4.xsat[iphot];
            sy = satcom4.ysat[iphot];
            sz = satcom4.zsat[iphot];
        } else {
            double az = sun_l + rot;
            sx = cos_b * std::cos(az);
            sy = cos_b * std::sin(az);
            sz = sin_b;
        }
        double ex = -sx, ey = -sy, ez = -sz;

        for (std::int32_t k = 1; k <= ntest; ++k) {
            double a = run.fii_rad[k] + rot;
            com6.obs_x[k] = run.coslat[k] * std::cos(a);
            com6.obs_y[k] = run.coslat[k] * std::sin(a);
            com14.bphot[k] = 0.0;
        }

        double x0, y0;
        if (run.isquare >= 1) {
            imagecom2.ixphot += 1;
            if (imagecom2.ixphot > run.nxphot) {
                imagecom2.ixphot = 1;
                imagecom2.iyphot += 1;
            }
            // Grid fractions formed wholly in single precision, then widened.
            float fx = 2.0f * (float(imagecom2.ixphot) - 0.5f) / float(run.nxphot);
            float fy = 2.0f * (float(imagecom2.iyphot) - 0.5f) / float(run.nyphot);
            x0 = double(fx) * xl - xl;
            y0 = double(fy) * yl - yl;
        } else {
            double u1 = ran1_draw();
            x0 = u1 * xl * 2.0 - xl;
            double u2 = ran1_draw();
            y0 = u2 * yl * 2.0 - yl;
        }
        const double z0 = 0.0;

        if (sz > 0.0) inidist = (com2.zmax / sz) * widen;
        else if (sz < 0.0) inidist = (com2.zmin / sz) * widen;
        double px = x0 + sx * inidist;
        double py = y0 + sy * inidist;
        double pz = z0 + sz * inidist;

        if (icheck >= 1) {
            say("-----------------------------");
            say("iphot = ", iphot);
            say("ex,ey,ez", ex, ey, ez);
            say("x0,y0   ", x0, y0);
            say("px,py: before retbox", px, py);
        }
        retbox(px, py);
        if (icheck >= 1) say("px,py: after  retbox", px, py);

        feb2006a.ix_entry = pixel_index(px, xl, run.nxpix);
        feb2006a.iy_entry = pixel_index(py, yl, run.nypix);
        com9_haze.ispart = 0;
        com9_haze.ishaze = 0;

        if (maxscat >= 1) {
            for (std::int32_t iscat = 1;; ++iscat) {
                debug1.iscat = iscat;
                engine_sums.nsearch += 1;
                if (icheck >= 1) say("--> iscat,px,py,pz", iscat, px, py, pz);
                std::int32_t ipart = 0;
                path_segment(px, py, pz, ex, ey, ez, ipart, 1);
                if (icheck >= 1) say("after path_segment: ipart=", ipart);

                if (ipart <= 0) {
                    // Escape after iscat - 1 scatterings.
                    if (iscat == 1) engine_sums.ndirect += 1;
                    if (run.escape_on || icheck >= 1) {
                        float lat = float(std::asin(ez));
                        float fii = float(std::atan2(ey, ex) - rot);
                        float sca = float(iscat - 1);
                        if (run.escape_on) {
                            com5.esc_lat[iphot] = lat;
                            com5.esc_fii[iphot] = fii;
                            com5.esc_weight[iphot] = float(com4.weight);
                            com5.esc_sca[iphot] = sca;
                        }
                        if (icheck >= 1) say("escape: lat,fii,sca ", lat, fii, sca);
                    }
                    if (run.hist_on && iscat >= 2 && iscat <= n_hist_planes) {
                        int ia = hist_bin(std::atan2(ey, ex), 90.0, n_hist_fii);
                        int ib = hist_bin(std::asin(ez), 45.0, n_hist_lat);
                        float& cell = engine_sums.esc_hist[iscat][ib][ia];
                        cell = float(double(cell) + com4.weight);
                    }
                    break;
                }

                scatter(px, py, pz, ex, ey, ez, ipart);
                indirect(px, py, pz, ipart, iscat);
                com12.ipart = ipart;
                if (fold_after_scatter) retbox(px, py);
                if (iscat == 1) {
                    for (std::int32_t k = 1; k <= ntest; ++k) {
                        double b = com14.bphot[k];
                        engine_sums.sum_first[k] += b;
                        engine_sums.sumsq_first[k] += b * b;
                    }
                }
                if (iscat + 1 > maxscat) break;
            }
        }

        for (std::int32_t k = 1; k <= ntest; ++k) {
            double b = com14.bphot[k];
            engine_sums.sum_all[k] += b;
            engine_sums.sumsq_all[k] += b * b;
        }
    }
}

}  // namespace quillet
