// Grid candidate search: the particles a ray may meet in the central cell are
// those of the grid cells whose bounding disc the ray's horizontal half-line
// meets, minus cells the ray passes entirely above or below. tab_choose lists
// them for the slice search's sphere test (the straightforward scan and the
// traces); tab_choose_test (sphere_lanes.cpp) walks the cells near the ray and
// tests their spheres in the same pass. Runs once per slice search, without
// allocation.
#include "trace/tab_choose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "format/free_writer.h"
#include "hwy/highway.h"
#include "trace/cell_walk-inl.h"
#include "trace/sphere_entry.h"
#include "trace/search_scratch.h"

namespace quillet {

namespace {

// |uz| below this (0.02 in single precision) marks a nearly horizontal ray.
constexpr double flat_uz = 0.0199999995529651641845703125;
// Cells are rejected only when the ray is more than this factor outside the layer.
constexpr double height_margin = 1.01;

const char* const rule45 = "=============================================";
const char* const rule24 = "------------------------";

// Fixed-width fields of the grid trace: text right-justified in w columns,
// integers and fixed-point reals right-justified, w asterisks when too wide.
void put_text(std::string& out, int w, std::string_view s) {
    if (int(s.size()) >= w) {
        out.append(s.substr(0, std::size_t(w)));
    } else {
        out.append(std::size_t(w) - s.size(), ' ');
        out.append(s);
    }
}

void put_int(std::string& out, int w, std::int32_t v) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%*d", w, int(v));
    if (n > w) out.append(std::size_t(w), '*');
    else out.append(buf, std::size_t(n));
}

void put_fixed(std::string& out, int w, int d, double v) {
    if (std::isnan(v)) return put_text(out, w, "NaN");
    if (std::isinf(v)) return put_text(out, w, v > 0 ? (w >= 8 ? "Infinity" : "Inf") : (w >= 9 ? "-Infinity" : "-Inf"));
    char buf[400];
    int n = std::snprintf(buf, sizeof buf, "%*.*f", w, d, v);
    if (n > w) out.append(std::size_t(w), '*');
    else out.append(buf, std::size_t(n));
}

void trace_cell(const particle_field& field, std::int32_t c, double epd, double d2, double smin2) {
    say(rule24);
    std::string line;
    put_text(line, 30, "tab_choose: i,cx,cy,epd,d2");
    put_int(line, 5, c);
    put_fixed(line, 8, 2, field.cx[c]);
    put_fixed(line, 8, 2, field.cy[c]);
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, d2);
    say(line);
    line.clear();
    put_text(line, 30, "tab_choose: tmin,smin2,dtab2");
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, smin2);
    put_fixed(line, 12, 4, field.dtab2[c]);
    say(line);
}

// Whether a cell of centre (cx, cy) and disc radius dtab (squared: dtab2)
// may hold a particle the ray meets: its disc meets the horizontal half-line,
// and the ray does not pass it wholly above or below the layer.
inline bool disc_passes(const particle_field& field, std::int32_t c, double cx, double cy, double dtab, double dtab2,
                        const cell_ray& r, search_scratch& s) {
    const double dx = cx - r.x0, dy = cy - r.y0;
    // Distance along the horizontal ray to the point nearest the cell centre,
    // and the squared distance from the centre to the half-line.
    const double epd = dx * r.ex + dy * r.ey;
    const double d2 = dx * dx + dy * dy;
    s.smin2 = epd > 0.0 ? d2 - epd * epd : d2;
    if (r.trace) trace_cell(field, c, epd, d2, s.smin2);
    if (s.smin2 > dtab2) {
        if (r.trace) say("tab_choose; smin2>dtab2 -> goto10");
        return false;
    }
    if (epd > dtab) {
        // Height where the ray can first reach the disc: |uz| <= |uz|/h, so
        // this lies between z0 and the true height there.
        const double zpot = r.z0 + (epd - dtab) * r.uz;
        if (r.trace) say("tab_choose:", zpot, field.zmax, field.zmin);
        if (zpot > r.zhigh || zpot < r.zlow) {
            if (r.trace) say("tab_choose: zpot -> goto10");
            return false;
        }
    }
    return true;
}

inline bool cell_passes(const particle_field& field, std::int32_t c, const cell_ray& r, search_scratch& s) {
    return field.nlist[c] >= 1 && disc_passes(field, c, field.cx[c], field.cy[c], field.dtab[c], field.dtab2[c], r, s);
}

// A nearly horizontal ray keeps only the particles that reach into the height
// range it sweeps.
inline bool in_swept_heights(const particle_field& field, std::int32_t k, const search_scratch& s) {
    return field.zpart[k] - field.rpart[k] <= s.ztmax && field.zpart[k] + field.rpart[k] >= s.ztmin;
}

// Appends the candidates of cell c after entry n of pottab: the entries of
// its particles (those of tab_init's grid are its places l in ilist, the
// tables being in the grid's order; a grid laid by hand over tables in the
// files' order, without `place`, lists the entries themselves).
inline void visit_cell(const particle_field& field, std::int32_t c, const cell_ray& r, search_scratch& s,
                       std::int32_t* pottab, std::int32_t& n) {
    if (!cell_passes(field, c, r, s)) return;
    const std::int32_t first = field.istart[c], end = first + field.nlist[c];
    const bool in_order = !field.place.empty();
    if (r.flat) {
        for (std::int32_t l = first; l < end; ++l) {
            const std::int32_t k = in_order ? l : field.ilist[l];
            if (in_swept_heights(field, k, s)) pottab[++n] = k;
        }
    } else {
        for (std::int32_t l = first; l < end; ++l) pottab[++n] = in_order ? l : field.ilist[l];
    }
}

}  // namespace

bool prepare_ray(const particle_field& field, double x0, double y0, double z0, const search_direction& d, bool trace,
                 search_scratch& s, cell_ray& r) {
    // A nearly horizontal ray sweeps only a thin height range while it crosses
    // the cell (a horizontal run of at most 2*(xl + yl)); particles outside it
    // are dropped, and a ray that sweeps no part of the layer has no candidates.
    const double uz = d.uz;
    if (d.flat) {
        const double run = 2.0 * (field.xl + field.yl);
        if (uz > 0.0) {
            s.ztmin = z0;
            s.ztmax = z0 + run * uz;
        } else {
            s.ztmax = z0;
            s.ztmin = z0 + run * uz;
        }
        if (s.ztmin > field.zmax || s.ztmax < field.zmin) return false;
    }
    const double zhigh = height_margin * field.zmax, zlow = height_margin * field.zmin;
    r = cell_ray{x0, y0, z0, d.ex, d.ey, d.h, uz, {d.iu[0], d.iu[1], d.iu[2]}, zhigh, zlow, d.flat, trace,
                 s.settings.full_scan};
    return true;
}

void prepare_direction(double ux, double uy, double uz, search_direction& d) {
    d.ux = ux;
    d.uy = uy;
    d.uz = uz;
    d.flat = std::fabs(uz) < flat_uz;
    // Horizontal unit direction. A vertical ray has none: with (ex, ey) = 0 the
    // cell pass accepts exactly the cells whose disc holds the start point.
    d.h = std::sqrt(ux * ux + uy * uy);
    d.ex = 0.0;
    d.ey = 0.0;
    if (d.h > 0.0) {
        d.ex = ux / d.h;
        d.ey = uy / d.h;
    }
    d.iu[0] = 1.0 / ux;
    d.iu[1] = 1.0 / uy;
    d.iu[2] = 1.0 / uz;
}

void tab_choose(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux, double uy,
                double uz, std::int32_t& npot) {
    // Every particle may be a candidate: a scratch made for a smaller field
    // has no room for them.
    if (s.pottab.size() < std::size_t(field.npart) + 1)
        throw std::length_error("search scratch for " + std::to_string(s.pottab.size() - 1) +
                                " particles used with a field of " + std::to_string(field.npart));
    std::int32_t* pottab = s.pottab.data();
    const bool trace = s.idebug >= 1 && s.idebug == s.iphot;
    if (trace) {
        say(rule45);
        say("tab_choose: start iphot=idebug");
        say(rule45);
    }
    cell_ray r;
    search_direction d;
    prepare_direction(ux, uy, uz, d);
    if (!prepare_ray(field, x0, y0, z0, d, trace, s, r)) {
        npot = 0;
        return;
    }
    std::int32_t n = 0;
    HWY_NAMESPACE::walk_cells(field, r, walk_order::all_in_cell_order, [&](std::int32_t c) {
        visit_cell(field, c, r, s, pottab, n);
        return false;
    });
    npot = n;
    s.npot_sum += npot;
    s.ntab_calls += 1;

    if (trace) {
        say(rule45);
        say("tab_choose: end iphot=idebug");
        say(rule45);
    }
}

std::int32_t tab_choose_test(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux,
                             double uy, double uz, search_kind kind, std::int32_t excluded, double texit,
                             std::int32_t& ipart, double& tmin) {
    search_direction d;
    prepare_direction(ux, uy, uz, d);
    return tab_choose_test(field, s, x0, y0, z0, d, kind, excluded, texit, ipart, tmin);
}

}  // namespace quillet
