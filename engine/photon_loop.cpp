// The photon loop: each photon is launched from the source toward the layer,
// followed from particle to particle (search, scatter, peel off) until it
// escapes or reaches maxscat searches, and its escape record and brightness
// sums are kept. Random draws per photon, in this order: the azimuth rotation
// (always drawn), the launch point (x, then y) for random launch, then two per
// scattering inside scatter(field). The loop also stops at a SIGINT or SIGTERM
// (checked once per photon) and keeps a progress line on a terminal.
#include <algorithm>
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
#include "field/part_read_2pos.h"
#include "field/retbox.h"
#include "format/free_writer.h"
#include "numeric/ran1.h"
#include "planet/planet_source.h"
#include "scatter/scatter.h"
#include "scatter/scatter_records.h"
#include "engine/search_workers.h"
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

void fold_after_scattering(const particle_field& field, double& px, double& py, double pz) {
    const double px_in = px, py_in = py;
    retbox(field, px, py);
    if (px != px_in || py != py_in) com12.ipart = image_holding(field, com12.ipart, px, py, pz);
}

launch_constants::launch_constants(const particle_field& field, const engine_run& run)
    : field(field),
      xl(field.xl),
      yl(field.yl),
      cos_b(std::cos(run.bsun * deg_to_rad)),
      sin_b(std::sin(run.bsun * deg_to_rad)),
      sun_l(run.lonsun * deg_to_rad),
      widen(aug2004a.emulate_a == 1 ? 1.01 : 1.000001),
      fold_after_scatter(aug2004a.emulate_b != 1) {}

namespace {

// The photon in flight: position, direction and the field's rotation.
struct photon {
    double px, py, pz;
    double ex, ey, ez;
    double rot;
};

// Launch: the field's rotation, the source direction, the observer vectors
// turned with the field, the launch point in the ring plane (launch grid or
// two draws) and the start point above (or below) the layer along the way
// back to the source, folded into the central cell; the entry pixel.
photon launch_photon(const engine_run& run, const launch_constants& lc, std::int32_t iphot, double& inidist,
                     random_draws& rng) {
    const particle_field& field = lc.field;
    const double xl = lc.xl, yl = lc.yl;
    com12.ipart = no_particle;
    com4.weight = 1.0;
    debug1.iphot = iphot;
    search_scratch_of_thread->iphot = iphot;

    double rot = std::numbers::pi * double(rng.next());
    if (run.irot == 0) rot = 0.0;

    double sx, sy, sz;
    if (run.planet_source) {
        sx = run.planet->xsat[iphot];
        sy = run.planet->ysat[iphot];
        sz = run.planet->zsat[iphot];
    } else {
        double az = lc.sun_l + rot;
        sx = lc.cos_b * std::cos(az);
        sy = lc.cos_b * std::sin(az);
        sz = lc.sin_b;
    }

    com6.rot = rot;
    com6.turned = false;  // turned when first needed
    for (std::int32_t k = 1; k <= run.ntest; ++k) com14.bphot[k] = 0.0;

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
        double u1 = rng.next();
        x0 = u1 * xl * 2.0 - xl;
        double u2 = rng.next();
        y0 = u2 * yl * 2.0 - yl;
    }
    const double z0 = 0.0;

    if (sz > 0.0) inidist = (field.zmax / sz) * lc.widen;
    else if (sz < 0.0) inidist = (field.zmin / sz) * lc.widen;
    photon ph{x0 + sx * inidist, y0 + sy * inidist, z0 + sz * inidist, -sx, -sy, -sz, rot};

    if (run.icheck >= 1) {
        say("-----------------------------");
        say("iphot = ", iphot);
        say("ex,ey,ez", ph.ex, ph.ey, ph.ez);
        say("x0,y0   ", x0, y0);
        say("px,py: before retbox", ph.px, ph.py);
    }
    retbox(field, ph.px, ph.py);
    if (run.icheck >= 1) say("px,py: after  retbox", ph.px, ph.py);

    feb2006a.ix_entry = pixel_index(ph.px, xl, run.nxpix);
    feb2006a.iy_entry = pixel_index(ph.py, yl, run.nypix);
    com9_haze.ispart = 0;
    com9_haze.ishaze = 0;
    return ph;
}

// Escape after iscat - 1 scatterings: the unscattered count, the escape
// record, the histogram bin.
void escape_photon(const engine_run& run, std::int32_t iphot, std::int32_t iscat, const photon& ph) {
    if (iscat == 1) engine_sums.ndirect += 1;
    if (run.escape_on || run.icheck >= 1) {
        float lat = float(std::asin(ph.ez));
        float fii = float(std::atan2(ph.ey, ph.ex) - ph.rot);
        float sca = float(iscat - 1);
        if (run.escape_on) {
            com5.esc_lat[iphot] = lat;
            com5.esc_fii[iphot] = fii;
            com5.esc_weight[iphot] = float(com4.weight);
            com5.esc_sca[iphot] = sca;
        }
        if (run.icheck >= 1) say("escape: lat,fii,sca ", lat, fii, sca);
    }
    if (run.hist_on && iscat >= 2 && iscat <= n_hist_planes) {
        int ia = hist_bin(std::atan2(ph.ey, ph.ex), 90.0, n_hist_fii);
        int ib = hist_bin(std::asin(ph.ez), 45.0, n_hist_lat);
        record_hit(hist_hit{iscat, ib, ia, com4.weight});
    }
}

// The photon's brightness toward each direction into the sums of its first
// scattering (first) or of all its scatterings (all).
void add_brightness(std::int32_t ntest, double* sum, double* sumsq) {
    for (std::int32_t k = 1; k <= ntest; ++k) {
        double b = com14.bphot[k];
        sum[k] += b;
        sumsq[k] += b * b;
    }
}

// While a checkpoint is kept, the report lines of the photons are gathered
// (and printed as they come), so that a resumed run can print them again.
class photon_line_keeper {
public:
    explicit photon_line_keeper(bool on) : on_(on), printed_(photon_lines.size()) {
        if (on_) say_capture = &photon_lines;
    }
    ~photon_line_keeper() {
        if (!on_) return;
        print_new();  // what came before a failure stays in the report
        say_capture = nullptr;
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

void trace_photon(const engine_run& run, const launch_constants& lc, std::int32_t iphot, double& inidist,
                  random_draws& rng) {
    const particle_field& field = lc.field;
    photon ph = launch_photon(run, lc, iphot, inidist, rng);
    const bool launched_outside = ph.pz > field.zmax || ph.pz < field.zmin;
    for (std::int32_t iscat = 1; iscat <= run.maxscat; ++iscat) {
        debug1.iscat = iscat;
        search_scratch_of_thread->iscat = iscat;
        engine_sums.nsearch += 1;
        if (run.icheck >= 1) say("--> iscat,px,py,pz", iscat, ph.px, ph.py, ph.pz);
        std::int32_t ipart = 0;
        path_segment(field, *search_scratch_of_thread, ph.px, ph.py, ph.pz, ph.ex, ph.ey, ph.ez, ipart,
                     search_kind::free_path, com12.ipart);
        com12.ipart = no_particle;
        if (run.icheck >= 1) say("after path_segment: ipart=", ipart);
        if (ipart <= 0) {
            escape_photon(run, iphot, iscat, ph);
            break;
        }
        const double hx = ph.px, hy = ph.py, hz = ph.pz;
        scatter(field, ph.px, ph.py, ph.pz, ph.ex, ph.ey, ph.ez, ipart, *run.laws, rng);
        // A photon launched outside the layer that scatters first where it
        // entered the particle cannot find a particle on its reversed path:
        // that particle would have been the nearest entry of its free path
        // (rounding of grazing entries aside). The check is run only when a
        // trace asks for it, or after a "-center" law moved the photon.
        const bool check_reverse = iscat != 1 || !launched_outside || ph.px != hx || ph.py != hy ||
                                   ph.pz != hz || run.icheck >= 1 || debug1.idebug >= 1;
        indirect(field, ph.px, ph.py, ph.pz, ipart, iscat, *run.laws, check_reverse);
        com12.ipart = ipart;
        if (lc.fold_after_scatter) fold_after_scattering(field, ph.px, ph.py, ph.pz);
        if (iscat == 1) add_brightness(run.ntest, engine_sums.sum_first, engine_sums.sumsq_first);
    }
    add_brightness(run.ntest, engine_sums.sum_all, engine_sums.sumsq_all);
}

std::int64_t run_photon_range(const engine_run& run, const launch_constants& lc, std::int64_t first,
                              std::int64_t last, photon_stream* stream, const std::atomic<bool>* team_stop,
                              progress_line* progress, double& inidist) {
    for (std::int64_t iphot = first; iphot <= last; ++iphot) {
        if (stop_signal != 0 || (team_stop && team_stop->load(std::memory_order_relaxed))) return iphot - first;
        if (progress && iphot == progress->next_check) progress->update(iphot - 1);
        if (stream) {
            stream->start(run.idum_deck, iphot);
            random_draws own(*stream);
            trace_photon(run, lc, std::int32_t(iphot), inidist, own);
        } else {
            random_draws shared(*run.serial_draws);
            trace_photon(run, lc, std::int32_t(iphot), inidist, shared);
        }
    }
    return last - first + 1;
}

void run_photons(const particle_field& field, const engine_run& run) {
    if (parallel_options.on) return run_photons_parallel(field, run);
    // The serial run: all photons on this thread, drawing from the one shared
    // generator, photons_per_block at a time so that a checkpoint (with the
    // generator's state) can be taken between two photons.
    const launch_constants lc(field, run);
    double inidist = 0.0;  // kept from the previous photon when the source lies in the ring plane
    std::int64_t first = 1;
    if (!run_state_options.resume.empty()) {
        const resume_point at = resume_run(run, run_mode::serial);
        inidist = at.inidist;
        first = at.photons_done + 1;
    }
    checkpoint_clock checkpoints;
    photon_line_keeper lines(checkpoints.on());
    progress_line progress(run.nphot, first - 1);
    while (first <= run.nphot) {
        const std::int64_t last =
            std::min<std::int64_t>(run.nphot, ((first - 1) / photons_per_block + 1) * photons_per_block);
        const std::int64_t done =
            first - 1 + run_photon_range(run, lc, first, last, nullptr, nullptr, &progress, inidist);
        lines.print_new();
        if (done < last) {
            progress.clear();
            throw run_interrupted(interrupted_text(run, run_mode::serial, done, 0, inidist));
        }
        if (last < run.nphot && checkpoints.due()) {
            submit_checkpoint(run, run_mode::serial, last, 0, inidist);
            checkpoints.mark();
        }
        first = last + 1;
    }
    if (checkpoints.on()) finish_checkpoints();
}

}  // namespace quillet
