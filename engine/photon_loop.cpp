// The photon loop: each photon is launched from the source toward the layer,
// followed from particle to particle (search, scatter, peel off) until it
// escapes or reaches maxscat searches, and its escape record and brightness
// sums are kept. Random draws per photon, in this order: the azimuth rotation
// (always drawn), the launch point (x, then y) for random launch, then two per
// scattering inside scatter(field). The loop also stops at a SIGINT or SIGTERM
// (checked once per photon) and keeps the progress line it is given.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/indirect.h"
#include "engine/photon_loop.h"
#include "engine/run_interrupt.h"
#include "engine/run_options.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/retbox.h"
#include "format/free_writer.h"
#include "numeric/ran1.h"
#include "planet/planet_source.h"
#include "scatter/scatter.h"
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

void fold_after_scattering(const particle_field& field, photon& ph) {
    const double px_in = ph.px, py_in = ph.py;
    retbox(field, ph.px, ph.py);
    if (ph.px != px_in || ph.py != py_in) ph.ipart = image_holding(field, ph.ipart, ph.px, ph.py, ph.pz);
}

launch_constants::launch_constants(const particle_field& field, const engine_run& run)
    : field(field),
      xl(field.xl),
      yl(field.yl),
      cos_b(std::cos(run.bsun * deg_to_rad)),
      sin_b(std::sin(run.bsun * deg_to_rad)),
      sun_l(run.lonsun * deg_to_rad),
      widen(run.emulate_a == 1 ? 1.01 : 1.000001),
      fold_after_scatter(run.emulate_b != 1) {}

namespace {

// Launch: the field's rotation, the source direction, the observer vectors
// turned with the field, the launch point in the ring plane (launch grid or
// two draws) and the start point above (or below) the layer along the way
// back to the source, folded into the central cell; the entry pixel.
void launch_photon(const engine_run& run, const launch_constants& lc, photon& ph, double& inidist) {
    const particle_field& field = lc.field;
    const double xl = lc.xl, yl = lc.yl;
    const std::int32_t iphot = ph.iphot;

    double rot = std::numbers::pi * double(ph.rng.next());
    if (run.irot == 0) rot = 0.0;
    ph.rot = rot;

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

    double x0, y0;
    if (run.isquare >= 1) {
        // Launch-grid point of photon iphot, column fastest.
        ph.ixphot = (iphot - 1) % run.nxphot + 1;
        ph.iyphot = (iphot - 1) / run.nxphot + 1;
        // Grid fractions formed wholly in single precision, then widened.
        float fx = 2.0f * (float(ph.ixphot) - 0.5f) / float(run.nxphot);
        float fy = 2.0f * (float(ph.iyphot) - 0.5f) / float(run.nyphot);
        x0 = double(fx) * xl - xl;
        y0 = double(fy) * yl - yl;
    } else {
        double u1 = ph.rng.next();
        x0 = u1 * xl * 2.0 - xl;
        double u2 = ph.rng.next();
        y0 = u2 * yl * 2.0 - yl;
    }
    const double z0 = 0.0;

    if (sz > 0.0) inidist = (field.zmax / sz) * lc.widen;
    else if (sz < 0.0) inidist = (field.zmin / sz) * lc.widen;
    ph.px = x0 + sx * inidist;
    ph.py = y0 + sy * inidist;
    ph.pz = z0 + sz * inidist;
    ph.ex = -sx;
    ph.ey = -sy;
    ph.ez = -sz;

    if (run.icheck >= 1) {
        say("-----------------------------");
        say("iphot = ", iphot);
        say("ex,ey,ez", ph.ex, ph.ey, ph.ez);
        say("x0,y0   ", x0, y0);
        say("px,py: before retbox", ph.px, ph.py);
    }
    retbox(field, ph.px, ph.py);
    if (run.icheck >= 1) say("px,py: after  retbox", ph.px, ph.py);

    ph.ix_entry = pixel_index(ph.px, xl, run.nxpix);
    ph.iy_entry = pixel_index(ph.py, yl, run.nypix);
}

// Escape after iscat - 1 scatterings: the unscattered count, the escape
// record, the histogram bin.
void escape_photon(const engine_run& run, const photon& ph, tallies& t) {
    const std::int32_t iphot = ph.iphot, iscat = ph.iscat;
    if (iscat == 1) t.ndirect += 1;
    if (run.escape_on || run.icheck >= 1) {
        float lat = float(std::asin(ph.ez));
        float fii = float(std::atan2(ph.ey, ph.ex) - ph.rot);
        float sca = float(iscat - 1);
        if (run.escape_on) t.score_escape(iphot, lat, fii, float(ph.weight), sca);
        if (run.icheck >= 1) say("escape: lat,fii,sca ", lat, fii, sca);
    }
    if (run.hist_on && iscat >= 2 && iscat <= n_hist_planes) {
        int ia = hist_bin(std::atan2(ph.ey, ph.ex), 90.0, n_hist_fii);
        int ib = hist_bin(std::asin(ph.ez), 45.0, n_hist_lat);
        t.record(hist_hit{iscat, ib, ia, ph.weight});
    }
}

// The photon's brightness toward each direction into the sums of its first
// scattering (first) or of all its scatterings (all).
void add_brightness(const photon& ph, std::int32_t ntest, double* sum, double* sumsq) {
    for (std::int32_t k = 1; k <= ntest; ++k) {
        double b = ph.bphot[k];
        sum[k] += b;
        sumsq[k] += b * b;
    }
}

}  // namespace

void trace_photon(const engine_run& run, const launch_constants& lc, photon_worker& worker, photon& ph,
                  double& inidist) {
    const particle_field& field = lc.field;
    tallies& t = worker.t;
    worker.peel.start(ph);
    worker.scratch.iphot = ph.iphot;
    launch_photon(run, lc, ph, inidist);
    const bool launched_outside = ph.pz > field.zmax || ph.pz < field.zmin;
    for (std::int32_t iscat = 1; iscat <= run.maxscat; ++iscat) {
        ph.iscat = iscat;
        worker.scratch.iscat = iscat;
        t.nsearch += 1;
        if (run.icheck >= 1) say("--> iscat,px,py,pz", iscat, ph.px, ph.py, ph.pz);
        std::int32_t hit = 0;
        path_segment(field, worker.scratch, ph.px, ph.py, ph.pz, ph.ex, ph.ey, ph.ez, hit,
                     search_kind::free_path, ph.ipart);
        if (run.icheck >= 1) say("after path_segment: ipart=", field.file_number(hit));
        if (hit <= 0) {
            escape_photon(run, ph, t);
            break;
        }
        ph.ipart = hit;
        const double hx = ph.px, hy = ph.py, hz = ph.pz;
        scatter(field, ph, *run.laws);
        // A photon launched outside the layer that scatters first where it
        // entered the particle cannot find a particle on its reversed path:
        // that particle would have been the nearest entry of its free path
        // (rounding of grazing entries aside). The check is run only when a
        // trace asks for it, or after a "-center" law moved the photon.
        const bool check_reverse = iscat != 1 || !launched_outside || ph.px != hx || ph.py != hy ||
                                   ph.pz != hz || run.icheck >= 1 || run.idebug >= 1;
        indirect(field, ph, *run.laws, run.peel, worker, check_reverse);
        if (lc.fold_after_scatter) fold_after_scattering(field, ph);
        if (iscat == 1) add_brightness(ph, run.ntest, t.sum_first.data(), t.sumsq_first.data());
    }
    add_brightness(ph, run.ntest, t.sum_all.data(), t.sumsq_all.data());
    t.end_photon();
}

std::int64_t run_photon_range(const engine_run& run, const launch_constants& lc, photon_worker& worker,
                              std::int64_t first, std::int64_t last, photon_stream* stream,
                              const std::atomic<bool>* team_stop, progress_line* progress, double& inidist) {
    for (std::int64_t iphot = first; iphot <= last; ++iphot) {
        if (*run.options->stop != 0 || (team_stop && team_stop->load(std::memory_order_relaxed))) return iphot - first;
        if (progress && iphot == progress->next_check) progress->update(iphot - 1);
        if (stream) stream->start(run.idum_deck, iphot);
        photon ph(std::int32_t(iphot), stream ? random_draws(*stream) : random_draws(*run.serial_draws),
                  worker.peel.bphot.data());
        trace_photon(run, lc, worker, ph, inidist);
    }
    return last - first + 1;
}

}  // namespace quillet
