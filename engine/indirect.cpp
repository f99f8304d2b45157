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
#include "scatter/callisto.h"
#include "scatter/mcphase.h"
#include "scatter/phase_functions.h"
#include "scatter/scatter_records.h"
#include "trace/path_segment.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

// First particle on the ray from (x, y, z) along u, the scattering particle
// excluded in the first box; 0 or a wall code when the way is free.
std::int32_t first_blocker(double x, double y, double z, double ux, double uy, double uz, std::int32_t ipart) {
    com12.ipart = ipart;
    std::int32_t hit = 0;
    path_segment(x, y, z, ux, uy, uz, hit, 2);
    return hit;
}

}  // namespace

void indirect(double px, double py, double pz, std::int32_t ipart, std::int32_t iscat) {
    const std::int32_t ntest = com3.ntest;
    const std::int32_t nboxvis = com3.nboxvis;
    const std::int32_t icheck = com3.icheck;
    const bool images = imagecom2.nxpix >= 1;
    const bool fold = aug2004a.emulate_b != 1;

    const std::int32_t ihaze = com_haze1.itype[ipart] == 2 ? 1 : 0;
    std::int32_t code;
    double p1, p2, p3;
    if (ihaze == 1) {
        code = com_haze2.method_haze;
        p1 = com15_haze.ppar1_haze;
        p2 = com15_haze.ppar2_haze;
        p3 = com15_haze.ppar3_haze;
    } else {
        code = com12.method;
        p1 = com15.ppar1;
        p2 = com15.ppar2;
        p3 = com15.ppar3;
    }

    double ax, ay, az;
    if (code == 1 || code == 2) {
        double nx = px - com1.xpart[ipart], ny = py - com1.ypart[ipart], nz = pz - com1.zpart[ipart];
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
        if (worker_hits) worker_hits->image.push_back({0, entry, 1.0});
        else imagecom11.ill_image[entry] += 1;
    }

    const double weight = com4.weight;
    const int order = iscat < max_order ? iscat : max_order;
    const int n_ring = com9_haze.ispart < max_ring_count ? com9_haze.ispart : max_ring_count;
    const int n_haze = com9_haze.ishaze < max_haze_count ? com9_haze.ishaze : max_haze_count;
    // The reversed incoming path is the same for every direction: searched
    // once, reported for each direction that reaches the check.
    bool checked = false;
    std::int32_t ishadow_check = 0;

    for (std::int32_t itest = 1; itest <= ntest; ++itest) {
        const double ox = com6.obs_x[itest], oy = com6.obs_y[itest], oz = com6.obs_z[itest];
        double cose = ax * ox + ay * oy + az * oz;
        if (cose < -1.0) cose = -0.99999999;
        if (cose > 1.0) cose = 0.99999999;
        if (code <= 1 && cose < 0.0) continue;  // the back of a surface element

        double x = px, y = py;
        if (fold) retbox(x, y);

        std::int32_t ishadow = 0;
        if (nboxvis != 0) ishadow = first_blocker(x, y, pz, ox, oy, oz, ipart);
        if (iscat == 1 && nboxvis != 0) {
            if (!checked) {
                ishadow_check = first_blocker(x, y, pz, -com16.ex, -com16.ey, -com16.ez, ipart);
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
            if (worker_hits) worker_hits->image.push_back({-1, entry, 1.0});
            else imagecom11.vis_image[entry] += 1;
        }

        double phasef = 0.0;
        switch (code) {
            case 1: phasef = cose; break;
            case 2: phasef = 0.25; break;
            case 3:
            case 4: p_hg(cose, phasef, p1); break;
            case 5:
            case 6: p_euler(cose, phasef, p1); break;
            case 7:
            case 8:
            case 9:
            case 10: p_callisto(cose, phasef); break;
            case 11:
            case 12: p_lambert(cose, phasef); break;
            case 13:
            case 14: p_hg2(cose, phasef, p1, p2, p3); break;
            case 15:
            case 16:
                if (ihaze == 1) p_mcphase_haze(cose, phasef);
                else p_mcphase(cose, phasef);
                break;
            default: break;  // check_law_codes admits no other code
        }
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
            retbox(mx, my);
            int ix = pixel_index(mx, com2.xl, nov2004a.nxpix);
            int iy = pixel_index(my, com2.yl, nov2004a.nypix);
            int plane = iscat < n_image_planes ? iscat : n_image_planes;
            if (worker_hits) {
                worker_hits->image.push_back({plane, pixel(ix, iy), c});
            } else {
                float& cell = imagecom1.test_image[plane][pixel(ix, iy)];
                cell = float(double(cell) + c);
            }
        }
    }
    com12.ipart = ipart;
}

}  // namespace quillet
