// The photon loop: each photon is launched from the source toward the layer,
// followed from particle to particle (search, scatter, peel off) until it
// escapes or reaches maxscat searches, and its escape record and brightness
// sums are kept. Random draws per photon, in this order: the azimuth rotation
// (always drawn), the launch point (x, then y) for random launch, then two per
// scattering inside scatter(). The loop also stops at a SIGINT or SIGTERM
// (checked once per photon) and keeps a progress line on a terminal.
#include <cmath>
#include <numbers>

#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/indirect.h"
#include "engine/parallel_run.h"
#include "engine/photon_loop.h"
#include "engine/run_interrupt.h"
#include "engine/run_state.h"
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

}  // namespace

launch_constants::launch_constants(const engine_run& run)
    : xl(com2.xl),
      yl(com2.yl),
      cos_b(std::cos(run.bsun * deg_to_rad)),
      sin_b(std::sin(run.bsun * deg_to_rad)),
      sun_l(run.lonsun * deg_to_rad),
      widen(aug2004a.emulate_a == 1 ? 1.01 : 1.000001),
      fold_after_scatter(aug2004a.emulate_b != 1) {}

void trace_photon(const engine_run& run, const launch_constants& lc, std::int32_t iphot, double& inidist) {
    const std::int32_t ntest = run.ntest;
    const std::int32_t maxscat = run.maxscat;
    const std::int32_t icheck = run.icheck;
    const double xl = lc.xl, yl = lc.yl;
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
        double az = lc.sun_l + rot;
        sx = lc.cos_b * std::cos(az);
        sy = lc.cos_b * std::sin(az);
        sz = lc.sin_b;
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
        // Launch-grid point of photon iphot, column fastest.
        imagecom2.ixphot = (iphot - 1) % run.nxphot + 1;
        imagecom2.iyphot = (iphot - 1) / run.nxphot + 1;
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

    if (sz > 0.0) inidist = (com2.zmax / sz) * lc.widen;
    else if (sz < 0.0) inidist = (com2.zmin / sz) * lc.widen;
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
                    if (worker_hits) {
                        worker_hits->hist.push_back({iscat, ib, ia, com4.weight});
                    } else {
                        float& cell = escape_hist.esc_hist[iscat][ib][ia];
                        cell = float(double(cell) + com4.weight);
                    }
                }
                break;
            }

            scatter(px, py, pz, ex, ey, ez, ipart);
            indirect(px, py, pz, ipart, iscat);
            com12.ipart = ipart;
            if (lc.fold_after_scatter) retbox(px, py);
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

namespace {

// While a checkpoint is kept, the report lines of the photons are gathered
// (and printed as they come), so that a resumed run can print them again.
class photon_line_keeper {
public:
    explicit photon_line_keeper(bool on) : on_(on), printed_(photon_lines.size()) {
        if (on_) say_capture = &photon_lines;
    }
    ~photon_line_keeper() {
        if (on_) say_capture = nullptr;
    }
    photon_line_keeper(const photon_line_keeper&) = delete;
    photon_line_keeper& operator=(const photon_line_keeper&) = delete;
    void print_new() {
        if (photon_lines.size() == printed_) return;
        std::fwrite(photon_lines.data() + printed_, 1, photon_lines.size() - printed_, stdout);
        printed_ = photon_lines.size();
    }

private:
    bool on_;
    std::size_t printed_;
};

}  // namespace

// The serial run: one stream, so a checkpoint is taken between two photons
// (looked at every photons_per_block photons) with the generator's state.
void run_photons(const engine_run& run) {
    if (parallel_options.on) return run_photons_parallel(run);
    const std::int32_t nphot = run.nphot;
    const launch_constants lc(run);
    double inidist = 0.0;  // kept from the previous photon when the source lies in the ring plane
    std::int32_t first = 1;
    if (!run_state_options.resume.empty()) {
        const resume_point at = resume_run(run, run_mode::serial);
        inidist = at.inidist;
        first = std::int32_t(at.photons_done) + 1;
    }
    checkpoint_clock checkpoints;
    photon_line_keeper lines(checkpoints.on());
    progress_line progress(nphot, first - 1);
    for (std::int32_t iphot = first; iphot <= nphot; ++iphot) {
        if (stop_signal != 0) {
            progress.clear();
            throw run_interrupted(interrupted_text(run, run_mode::serial, iphot - 1, 0, inidist));
        }
        if (iphot == progress.next_check) progress.update(iphot - 1);
        if ((iphot - 1) % photons_per_block == 0 && iphot > first && checkpoints.due()) {
            submit_checkpoint(run, run_mode::serial, iphot - 1, 0, inidist);
            checkpoints.mark();
        }
        trace_photon(run, lc, iphot, inidist);
        lines.print_new();
    }
    if (checkpoints.on()) finish_checkpoints();
}

}  // namespace quillet
