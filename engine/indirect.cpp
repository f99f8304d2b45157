// Peel-off (local estimate). For each observer direction the scattering point
// sends weight * phasef toward the observer when the straight way out is free
// of particles. phasef is the law's P/4 for the angle between the direction
// before the scattering and the observer (surface laws 1 and 2: between the
// outward normal and the observer). The visibility test is the segment search
// in its occlusion mode, bounded by nboxvis boxes; nboxvis = 0 switches it off.
#include "engine/indirect.h"

#include <algorithm>
#include <cmath>

#include "engine/engine_records.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "field/retbox.h"
#include "format/free_writer.h"
#include "scatter/law_table.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

// First particle on the ray from (x, y, z) along u, the scattering particle
// excluded in the first box; 0 or a wall code when the way is free.
std::int32_t first_blocker(const particle_field& field, search_scratch& searches, double x, double y, double z,
                           double ux, double uy, double uz, std::int32_t ipart) {
    std::int32_t hit = 0;
    path_segment(field, searches, x, y, z, ux, uy, uz, hit, search_kind::first_in_list, ipart);
    return hit;
}

}  // namespace

void indirect(const particle_field& field, photon& ph, const scattering_laws& laws, const peel_off_settings& set,
              photon_worker& worker, bool check_reverse) {
    peel_off_state& view = worker.peel;
    tallies& t = worker.t;
    const observer_directions& dirs = set.dirs;
    const std::int32_t ntest = dirs.ntest;
    if (!view.turned) view.turn(dirs, ph.rot);
    const std::int32_t nboxvis = set.nboxvis;
    const std::int32_t icheck = set.icheck;
    const bool images = set.images;
    const bool fold = set.fold;
    const double px = ph.px, py = ph.py, pz = ph.pz;
    const std::int32_t ipart = ph.ipart, iscat = ph.iscat;
    const double* obs_x = view.obs_x.data();
    const double* obs_y = view.obs_y.data();
    const double* obs_z = dirs.obs_z.data();

    const particle_law& law = laws.law_of_kind(field, ipart);
    const law_row& row = *law.row;
    const std::int32_t ihaze = law.params.haze ? 1 : 0;

    double ax, ay, az;
    if (row.surface) {
        double nx = px - field.xpart[ipart], ny = py - field.ypart[ipart], nz = pz - field.zpart[ipart];
        double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        ax = nx / len;
        ay = ny / len;
        az = nz / len;
    } else {
        ax = ph.before.ex;
        ay = ph.before.ey;
        az = ph.before.ez;
    }

    const std::int32_t entry = t.cell(ph.ix_entry, ph.iy_entry);
    if (images && iscat == 1) {
        t.record(image_hit{0, entry, 1.0});
    }

    const double weight = ph.weight;
    const int order = iscat < max_order ? iscat : max_order;
    const int n_ring = ph.ispart < max_ring_count ? ph.ispart : max_ring_count;
    const int n_haze = ph.ishaze < max_haze_count ? ph.ishaze : max_haze_count;
    t.begin_scattering(order, n_haze, n_ring);
    // The reversed incoming path is the same for every direction: searched
    // once, reported for each direction that reaches the check.
    bool checked = false;
    std::int32_t ishadow_check = 0;

    // The shadow tests toward every direction that the surface element faces
    // start from one point: they run first, as a packet, and the directions
    // are then scored in order. The start point is folded once; where the
    // start lies outside the cell (the fold or the searches have a message to
    // print) and with per-photon traces, each direction is folded and
    // searched in its turn instead, so that the lines come in their order.
    double* cosines = view.cosines.data();
    bool* wanted = view.wanted.get();
    std::int32_t* blocker = view.blocker.data();
    std::int32_t first_wanted = 0;
    for (std::int32_t itest = 1; itest <= ntest; ++itest) {
        const double ox = obs_x[itest], oy = obs_y[itest], oz = obs_z[itest];
        double cose = ax * ox + ay * oy + az * oz;
        if (cose < -1.0) cose = -0.99999999;
        if (cose > 1.0) cose = 0.99999999;
        cosines[itest - 1] = cose;
        wanted[itest - 1] = !(row.one_sided && cose < 0.0);  // not the back of a surface element
        if (wanted[itest - 1] && first_wanted == 0) first_wanted = itest;
    }
    double x = px, y = py;
    bool packet = nboxvis != 0 && first_wanted != 0 && icheck < 1;
    if (packet && fold) retbox(field, x, y);
    // A start outside the cell (unfolded, or left outside by rounding) has
    // messages of its own to print.
    if (std::fabs(x) > field.xl || std::fabs(y) > field.yl) packet = false;
    if (packet)
        shadow_packet(field, worker.scratch, x, y, pz, ipart, ntest, view.prepared(dirs), wanted, blocker);

    for (std::int32_t itest = 1; itest <= ntest; ++itest) {
        const double cose = cosines[itest - 1];
        if (!wanted[itest - 1]) continue;

        std::int32_t ishadow = 0;
        if (packet) {
            ishadow = blocker[itest - 1];
        } else {
            // Folded for each direction (the first fold may have been made above).
            const bool folded_above = nboxvis != 0 && icheck < 1 && fold && itest == first_wanted;
            if (fold && !folded_above) {
                x = px;
                y = py;
                retbox(field, x, y);
            }
            if (nboxvis != 0) {
                const double ox = obs_x[itest], oy = obs_y[itest], oz = obs_z[itest];
                ishadow = first_blocker(field, worker.scratch, x, y, pz, ox, oy, oz, ipart);
            }
        }
        if (iscat == 1 && nboxvis != 0 && check_reverse) {
            if (!checked) {
                ishadow_check =
                    first_blocker(field, worker.scratch, x, y, pz, -ph.before.ex, -ph.before.ey, -ph.before.ez, ipart);
                checked = true;
            }
            if (ishadow_check >= 1) {
                say("IVIS3: ipart,ishadow_check =", field.file_number(ipart), field.file_number(ishadow_check));
                say("IVIS3:  iphot=", ph.iphot);
                say("------------------------------------------");
            }
        }
        if (icheck >= 1) say("indirect: ishadow,iscat", field.file_number(ishadow), iscat);
        if (ishadow >= 1) continue;

        if (images && itest == 1 && iscat == 1) {
            t.record(image_hit{-1, entry, 1.0});
        }

        double phasef = 0.0;
        row.evaluate(law.params, cose, phasef);
        if (icheck >= 1) {
            say("indirect: cose,phasef,ihaze", cose, phasef, ihaze);
            say("indirect: ispart, ishaze, iscat", ph.ispart, ph.ishaze, iscat);
        }

        const double c = weight * phasef;
        ph.bphot[itest] += c;
        t.score(itest, c);

        if (itest == 1 && images) {
            double mx = px, my = py;
            retbox(field, mx, my);
            int ix = pixel_index(mx, field.xl, set.nxpix);
            int iy = pixel_index(my, field.yl, set.nypix);
            int plane = iscat < n_image_planes ? iscat : n_image_planes;
            t.record(image_hit{plane, t.cell(ix, iy), c});
        }
    }
}

}  // namespace quillet
