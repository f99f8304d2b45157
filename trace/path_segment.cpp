// Segment search: the ray is traced through the periodic field one copy of the
// cell (box) at a time. Each box is searched in the central cell; at a wall
// the ray moves to the opposite wall (an x wall also shifts y by the shear sy)
// and the next box begins, until a particle is entered, the ray has left the
// layer, or the box limit is reached.
#include "trace/path_segment.h"

#include "format/free_writer.h"
#include "trace/path_slice.h"
#include "trace/search_scratch.h"
#include "trace/trace_records.h"

namespace quillet {

void path_segment(const particle_field& field, search_scratch& s, double& x0, double& y0, double& z0, double ux,
                  double uy, double uz, std::int32_t& ipart, search_kind kind, std::int32_t excluded) {
    search_direction d;
    prepare_direction(ux, uy, uz, d);
    path_segment(field, s, x0, y0, z0, d, ipart, kind, excluded);
}

void path_segment(const particle_field& field, search_scratch& s, double& x0, double& y0, double& z0,
                  const search_direction& d, std::int32_t& ipart, search_kind kind, std::int32_t excluded) {
    const std::int32_t mode = std::int32_t(kind);
    const double ux = d.ux, uy = d.uy, uz = d.uz;
    const std::int32_t limit = mode >= 2 ? s.settings.nboxvis : s.settings.nbox;
    if (mode == 1) s.nseg_calls += 1;
    if (limit < 1) {
        ipart = 0;
        return;
    }
    for (std::int32_t b = 1;; ++b) {
        s.ibox = b;
        double tmin = 0.0;
        // The excluded particle is skipped in the first box only.
        if (kind == search_kind::clear_way) {
            // No particle in the way: the slice search would find the wall.
            s.ntab_calls += 1;
            double twall[5];
            ipart = first_wall(field, x0, y0, d, twall, tmin);
            if (tmin < 0.0) say("slice_edge: tmin<0", tmin, s.iphot);
        } else {
            path_slice(field, s, x0, y0, z0, d, ipart, tmin, kind, excluded);
        }
        excluded = no_particle;
        x0 += tmin * ux;
        y0 += tmin * uy;
        z0 += tmin * uz;
        if (mode == 1) {
            s.nbox_sum += 1;
            if (s.settings.icheck >= 1) say("seg: px,py,pz", x0, y0, z0);
        }
        if (ipart >= 1 || (z0 > field.zmax && uz >= 0.0) || (z0 < field.zmin && uz <= 0.0)) break;
        switch (ipart) {
            case -1:
                x0 -= field.xl2;
                y0 -= field.sy;
                break;
            case -2:
                x0 += field.xl2;
                y0 += field.sy;
                break;
            case -3:
                y0 -= field.yl2;
                break;
            case -4:
                y0 += field.yl2;
                break;
            default:
                break;
        }
        if (y0 > field.yl) y0 -= field.yl2;
        if (y0 < -field.yl) y0 += field.yl2;
        if (b == limit) break;
    }
}

}  // namespace quillet
