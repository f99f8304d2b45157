// Peel-off (local estimate). For each observer direction the scattering point
// sends weight * phasef toward the observer when the straight way out is free
// of particles. phasef is the law's P/4 for the angle between the direction
// before the scattering and the observer (surface laws 1 and 2: between the
// outward normal and the observer). The visibility test is the segment search
// in its occlusion mode, bounded by nboxvis boxes; nboxvis = 0 switches it off.
#include "engine/indirect.h"

#include <cmath>

#include "engine/engine_records.h"
#include "engine/parallel_run.h"
#include "field/field_records.h"
#include "field/retbox.h"
#include "format/free_writer.h"
#include "scatter/law_table.h"
#include "scatter/scatter_records.h"
#include "engine/search_workers.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

namespace quillet {

thread_local constinit prepared_directions observers{};

namespace {

// First particle on the ray from (x, y, z) along u, the scattering particle
// excluded in the first box; 0 or a wall code when the way is free.
std::int32_t first_blocker(const particle_field& field, double x, double y, double z, double ux, double uy, double uz,
                           std::int32_t ipart) {
    std::int32_t hit = 0;
    path_segment(field, *search_scratch_of_thread, x, y, z, ux, uy, uz, hit, search_kind::first_in_list, ipart);
    return hit;
}

const search_direction* observer_directions(std::int32_t ntest) {
    prepared_directions& p = observers;
    for (std::int32_t k = 1; k <= ntest; ++k) {
        const double ox = com6.obs_x[k], oy = com6.obs_y[k], oz = com6.obs_z[k];
        if (k > p.n || ox != p.ox[k] || oy != p.oy[k] || oz != p.oz[k]) {
            p.ox[k] = ox;
            p.oy[k] = oy;
            p.oz[k] = oz;
            prepare_direction(ox, oy, oz, p.dir[k - 1]);
        }
    }
    if (ntest > p.n) p.n = ntest;
    return p.dir;
}

}  // namespace

void turn_observers(std::int32_t ntest) {
    for (std::int32_t k = 1; k <= ntest; ++k) {
        const std::int32_t f = com6.same_fii[k];
        if (f == k) {
            const double a = com6.fii[k] + com6.rot;
            com6.cos_turn[k] = std::cos(a);
            com6.sin_turn[k] = std::sin(a);
        }
        com6.obs_x[k] = com6.coslat[k] * com6.cos_turn[f];
        com6.obs_y[k] = com6.coslat[k] * com6.sin_turn[f];
    }
    com6.turned = true;
}

void indirect(const particle_field& field, double px, double py, double pz, std::int32_t ipart, std::int32_t iscat,
              const scattering_laws& laws, bool check_reverse) {
    const std::int32_t ntest = com3.ntest;
    if (!com6.turned) turn_observers(ntest);
    const std::int32_t nboxvis = com3.nboxvis;
    const std::int32_t icheck = com3.icheck;
    const bool images = imagecom2.nxpix >= 1;
    const bool fold = aug2004a.emulate_b != 1;

    const particle_law& law = laws.law_of_kind(field.itype[ipart], ipart);
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
        ax = com16.ex;
        ay = com16.ey;
        az = com16.ez;
    }

    const int entry = pixel(feb2006a.ix_entry, feb2006a.iy_entry);
    if (images && iscat == 1) {
        record_hit(image_hit{0, entry, 1.0});
    }

    const double weight = com4.weight;
    const int order = iscat < max_order ? iscat : max_order;
    const int n_ring = com9_haze.ispart < max_ring_count ? com9_haze.ispart : max_ring_count;
    const int n_haze = com9_haze.ishaze < max_haze_count ? com9_haze.ishaze : max_haze_count;
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
    double cosines[max_test];
    bool wanted[max_test];
    std::int32_t blocker[max_test];
    std::int32_t first_wanted = 0;
    for (std::int32_t itest = 1; itest <= ntest; ++itest) {
        const double ox = com6.obs_x[itest], oy = com6.obs_y[itest], oz = com6.obs_z[itest];
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
    if (packet) shadow_packet(field, *search_scratch_of_thread, x, y, pz, ipart, ntest, observer_directions(ntest), wanted,
                              blocker);

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
                const double ox = com6.obs_x[itest], oy = com6.obs_y[itest], oz = com6.obs_z[itest];
                ishadow = first_blocker(field, x, y, pz, ox, oy, oz, ipart);
            }
        }
        if (iscat == 1 && nboxvis != 0 && check_reverse) {
            if (!checked) {
                ishadow_check = first_blocker(field, x, y, pz, -com16.ex, -com16.ey, -com16.ez, ipart);
                checked = true;
            }
            if (ishadow_check >= 1) {
                say("IVIS3: ipart,ishadow_check =", ipart, ishadow_check);
                say("IVIS3:  iphot=", debug1.iphot);
                say("------------------------------------------");
            }
        }
        if (icheck >= 1) say("indirect: ishadow,iscat", ishadow, iscat);
        if (ishadow >= 1) continue;

        if (images && itest == 1 && iscat == 1) {
            record_hit(image_hit{-1, entry, 1.0});
        }

        double phasef = 0.0;
        row.evaluate(law.params, cose, phasef);
        if (icheck >= 1) {
            say("indirect: cose,phasef,ihaze", cose, phasef, ihaze);
            say("indirect: ispart, ishaze, iscat", com9_haze.ispart, com9_haze.ishaze, iscat);
        }

        const double c = weight * phasef;
        com14.bphot[itest] += c;
        com7.testw[itest] += c;
        com7.testw_sig[itest] += c * c;
        com7.testw_n[itest] += 1.0;
        com8.testw_order[order][itest] += c;
        com8_haze_of_thread->testw_haze[n_haze][n_ring][itest] += c;

        if (itest == 1 && images) {
            double mx = px, my = py;
            retbox(field, mx, my);
            int ix = pixel_index(mx, field.xl, nov2004a.nxpix);
            int iy = pixel_index(my, field.yl, nov2004a.nypix);
            int plane = iscat < n_image_planes ? iscat : n_image_planes;
            record_hit(image_hit{plane, pixel(ix, iy), c});
        }
    }
    com12.ipart = ipart;
}

}  // namespace quillet
