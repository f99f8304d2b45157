// Grid candidate search: the particles a ray may meet in the central cell are
// those of the grid cells whose bounding disc the ray's horizontal half-line
// meets, minus cells the ray passes entirely above or below. tab_choose lists
// them for the slice search's sphere test (the straightforward scan and the
// traces); tab_choose_test walks the cells near the ray and tests their
// spheres in the same pass. Runs once per slice search, without allocation.
#include "trace/tab_choose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "trace/sphere_entry.h"
#include "trace/trace_records.h"

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

void trace_cell(std::int32_t c, double epd, double d2, double smin2) {
    say(rule24);
    std::string line;
    put_text(line, 30, "tab_choose: i,cx,cy,epd,d2");
    put_int(line, 5, c);
    put_fixed(line, 8, 2, com10.cx[c]);
    put_fixed(line, 8, 2, com10.cy[c]);
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, d2);
    say(line);
    line.clear();
    put_text(line, 30, "tab_choose: tmin,smin2,dtab2");
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, smin2);
    put_fixed(line, 12, 4, com10.dtab2[c]);
    say(line);
}

// The columns (or rows) i = ceil(a) .. floor(b) within 1..m, where
// a = (lo - e0)/w + 0.5 and b = (hi - e0)/w + 0.5 for the cells of lower edge
// e0 and width w whose centre e0 + (i - 0.5) w lies in [lo, hi]; a NaN bound
// widens the range to all of them. Both are clamped first, so that the
// truncations stay in range (and no library call is needed for ceil or floor).
inline void index_range(double a, double b, std::int32_t m, std::int32_t& first, std::int32_t& last) {
    a = max_or_nan(min_or_nan(m + 1.0, a), 1.0);  // NaN: 1
    b = min_or_nan(max_or_nan(0.0, b), double(m));  // NaN: m
    first = std::int32_t(a);
    first += first < a;
    last = std::int32_t(b);
}

// A ray as the cell test sees it.
struct cell_ray {
    double x0, y0, z0;
    double ex, ey;  // horizontal unit direction (0, 0 for a vertical ray)
    double h;       // horizontal length of the ray direction
    double uz;
    double iu[3];   // 1/ux, 1/uy, 1/uz (infinite for a zero component)
    double zhigh, zlow;  // heights beyond which a cell counts as passed above or below
    bool flat;           // nearly horizontal: filter the particles by height
    bool trace;
};

// Whether a cell of centre (cx, cy) and disc radius dtab (squared: dtab2)
// may hold a particle the ray meets: its disc meets the horizontal half-line,
// and the ray does not pass it wholly above or below the layer.
inline bool disc_passes(std::int32_t c, double cx, double cy, double dtab, double dtab2, const cell_ray& r,
                        search_scratch_t& s) {
    const double dx = cx - r.x0, dy = cy - r.y0;
    // Distance along the horizontal ray to the point nearest the cell centre,
    // and the squared distance from the centre to the half-line.
    const double epd = dx * r.ex + dy * r.ey;
    const double d2 = dx * dx + dy * dy;
    s.smin2 = epd > 0.0 ? d2 - epd * epd : d2;
    if (r.trace) trace_cell(c, epd, d2, s.smin2);
    if (s.smin2 > dtab2) {
        if (r.trace) say("tab_choose; smin2>dtab2 -> goto10");
        return false;
    }
    if (epd > dtab) {
        // Height where the ray can first reach the disc: |uz| <= |uz|/h, so
        // this lies between z0 and the true height there.
        const double zpot = r.z0 + (epd - dtab) * r.uz;
        if (r.trace) say("tab_choose:", zpot, com2.zmax, com2.zmin);
        if (zpot > r.zhigh || zpot < r.zlow) {
            if (r.trace) say("tab_choose: zpot -> goto10");
            return false;
        }
    }
    return true;
}

inline bool cell_passes(std::int32_t c, const cell_ray& r, search_scratch_t& s) {
    return com9.nlist[c] >= 1 && disc_passes(c, com10.cx[c], com10.cy[c], com10.dtab[c], com10.dtab2[c], r, s);
}

// The disc and height tests of disc_passes (the same decisions, bit for bit,
// NaN included) and a test of the box holding the cell's spheres, for cell w
// at once, with one branch instead of one per test: their outcomes follow no
// pattern, so separate branches would mostly be mispredicted.
__attribute__((always_inline)) inline bool walk_cell_passes(const walk_cell_t& w, const cell_ray& r,
                                                           search_scratch_t& s) {
    const double dx = w.cx - r.x0, dy = w.cy - r.y0;
    const double epd = dx * r.ex + dy * r.ey;
    const double d2 = dx * dx + dy * dy;
    const double ahead = max_or_nan(epd, 0.0);  // epd > 0 ? epd : 0 (NaN: 0)
    s.smin2 = d2 - ahead * ahead;
    const double zpot = r.z0 + (epd - w.dtab) * r.uz;
    const bool disc = !(s.smin2 > w.dtab2);
    const bool height = (!(epd > w.dtab)) | (!(zpot > r.zhigh) & !(zpot < r.zlow));
    // The box test only passes over cells that hold no hit, so it need only
    // never reject a ray through the box. A NaN (a zero direction component
    // times an infinite reciprocal) arises only on a face of the box, which is
    // widened beyond the spheres: whichever way it decides, no hit is lost.
    double tnear = 0.0, tfar = std::numeric_limits<double>::infinity();
    auto slab = [&](double lo, double hi, double o, double inv) {
        const double t1 = (lo - o) * inv, t2 = (hi - o) * inv;
        tnear = max_or_nan(tnear, min_or_nan(t1, t2));
        tfar = min_or_nan(tfar, max_or_nan(t1, t2));
    };
    slab(w.bx0, w.bx1, r.x0, r.iu[0]);
    slab(w.by0, w.by1, r.y0, r.iu[1]);
    slab(w.bz0, w.bz1, r.z0, r.iu[2]);
    return (w.count >= 1) & disc & height & !(tnear > tfar);
}

// A nearly horizontal ray keeps only the particles that reach into the height
// range it sweeps.
inline bool in_swept_heights(std::int32_t k, const search_scratch_t& s) {
    return com1.zpart[k] - com1.rpart[k] <= s.ztmax && com1.zpart[k] + com1.rpart[k] >= s.ztmin;
}

// Appends the candidates of cell c after entry n of pottab.
inline void visit_cell(std::int32_t c, const cell_ray& r, search_scratch_t& s, std::int32_t* pottab, std::int32_t& n) {
    if (!cell_passes(c, r, s)) return;
    const std::int32_t first = com9.istart[c], end = first + com9.nlist[c];
    if (r.flat) {
        for (std::int32_t l = first; l < end; ++l) {
            const std::int32_t k = com9.ilist[l];
            if (in_swept_heights(k, s)) pottab[++n] = k;
        }
    } else {
        for (std::int32_t l = first; l < end; ++l) pottab[++n] = com9.ilist[l];
    }
}

// The ray as the cell test sees it; false when a nearly horizontal ray sweeps
// no part of the layer (no particle can be met).
bool prepare_ray(double x0, double y0, double z0, double ux, double uy, double uz, bool trace, search_scratch_t& s,
                 cell_ray& r) {
    // A nearly horizontal ray sweeps only a thin height range while it crosses
    // the cell (a horizontal run of at most 2*(xl + yl)); particles outside it
    // are dropped, and a ray that sweeps no part of the layer has no candidates.
    const bool flat = std::fabs(uz) < flat_uz;
    if (flat) {
        const double run = 2.0 * (com2.xl + com2.yl);
        if (uz > 0.0) {
            s.ztmin = z0;
            s.ztmax = z0 + run * uz;
        } else {
            s.ztmax = z0;
            s.ztmin = z0 + run * uz;
        }
        if (s.ztmin > com2.zmax || s.ztmax < com2.zmin) return false;
    }

    // Horizontal unit direction. A vertical ray has none: with (ex, ey) = 0 the
    // pass below accepts exactly the cells whose disc holds the start point.
    const double h = std::sqrt(ux * ux + uy * uy);
    double ex = 0.0, ey = 0.0;
    if (h > 0.0) {
        ex = ux / h;
        ey = uy / h;
    }
    const double zhigh = height_margin * com2.zmax, zlow = height_margin * com2.zmin;

    r = cell_ray{x0, y0, z0, ex, ey, h, uz, {1.0 / ux, 1.0 / uy, 1.0 / uz}, zhigh, zlow, flat, trace};
    return true;
}

// Hands the cells the ray may reach to on_cell(c) in cell order; on_cell
// ends the walk by returning true. With hits_only the walk may also leave out
// cells that hold no sphere the ray can enter (fewer candidates, the same
// hits).
template <class OnCell>
void walk_cells(const cell_ray& r, bool hits_only, OnCell on_cell) {
    const std::int32_t mx = com11.mx, my = com11.my;
    const double x0 = r.x0, y0 = r.y0, z0 = r.z0, ex = r.ex, ey = r.ey, uz = r.uz;
    const double zhigh = r.zhigh, zlow = r.zlow;
    const grid_layout_t& g = grid_layout;
    if (r.trace || search_options.full_scan || !(g.dtab_max > 0.0)) {
        // Every cell in turn: the traced search shows them all, and the
        // straightforward scan is the reference the cell walk is measured by.
        for (std::int32_t c = 1; c <= mx * my; ++c)
            if (on_cell(c)) return;
    } else {
        // A cell can pass the disc test only when its centre lies within
        // dtab_max of the ray's horizontal line (perpendicular distance) and
        // no further than dtab_max behind the start point along it; beyond
        // the horizontal distance s_cap where z0 + s*uz leaves [zlow, zhigh]
        // the height test rejects it too. Column by column, the rows that meet
        // those bounds are visited in cell order and decided by the same
        // test, so the list is the one the pass over all cells gives. D is
        // widened a little against rounding in the bounds.
        const double inf = std::numeric_limits<double>::infinity();
        const double D = g.dtab_max * (1.0 + 1.0e-9) + 1.0e-9 * (g.dxtab + g.dytab + std::fabs(x0) + std::fabs(y0));
        double s_cap = inf;
        if (uz > 0.0) s_cap = std::max((zhigh - z0) * r.iu[2], 0.0) + D;
        if (uz < 0.0) s_cap = std::max((zlow - z0) * r.iu[2], 0.0) + D;
        if (hits_only) {
            // A sphere is entered at a height within the spheres' range
            // [zbottom, ztop]; the ray leaves that range after a horizontal
            // distance (zlimit - z0) * h / uz, and a cell holding the entered
            // sphere has its centre within D of that stretch.
            double s_hit = inf;
            if (uz > 0.0) s_hit = std::max((g.ztop - z0) * r.iu[2], 0.0) * r.h * (1.0 + 1.0e-9) + D;
            if (uz < 0.0) s_hit = std::max((g.zbottom - z0) * r.iu[2], 0.0) * r.h * (1.0 + 1.0e-9) + D;
            s_cap = std::min(s_cap, s_hit);
        }
        // Columns: a passing centre lies within sqrt(2) D in x of the
        // stretch s in [0, s_cap] of the line.
        const double rx = 1.5 * D;
        double xlo = x0, xhi = x0;
        if (ex != 0.0) {
            const double xb = s_cap == inf ? (ex > 0.0 ? inf : -inf) : x0 + s_cap * ex;
            xlo = std::min(x0, xb);
            xhi = std::max(x0, xb);
        }
        // Reciprocals turn the divisions into products; the column and row
        // bounds are then widened by 1e-9 of a cell against their rounding.
        std::int32_t ifirst, ilast;
        index_range((xlo - rx - g.xtab0) * g.rdxtab + (0.5 - 1.0e-9), (xhi + rx - g.xtab0) * g.rdxtab + (0.5 + 1.0e-9),
                    mx, ifirst, ilast);
        const double iex = r.h * r.iu[0], iey = r.h * r.iu[1];
        for (std::int32_t i = ifirst; i <= ilast; ++i) {
            const double dx = com10.cx[(i - 1) * my + 1] - x0;
            double ylo = -inf, yhi = inf;
            if (ex == 0.0 && ey == 0.0) {
                // Vertical ray: the disc must hold the start point.
                if (std::fabs(dx) > D) continue;
                ylo = y0 - D;
                yhi = y0 + D;
            } else {
                // Perpendicular distance |dx*ey - dy*ex| <= D.
                if (ex != 0.0) {
                    double lo = (dx * ey - D) * iex, hi = (dx * ey + D) * iex;
                    if (ex < 0.0) std::swap(lo, hi);
                    ylo = y0 + lo;
                    yhi = y0 + hi;
                } else if (std::fabs(dx) > D) {
                    continue;
                }
                // Distance along the line dx*ex + dy*ey within [-D, s_cap].
                const double along = dx * ex;
                if (ey != 0.0) {
                    double lo = (-D - along) * iey, hi = (s_cap - along) * iey;
                    if (ey < 0.0) std::swap(lo, hi);
                    ylo = std::max(ylo, y0 + lo);
                    yhi = std::min(yhi, y0 + hi);
                } else if (along < -D || along > s_cap) {
                    continue;
                }
            }
            if (!(ylo <= yhi)) continue;
            std::int32_t jfirst, jlast;
            index_range((ylo - g.ytab0) * g.rdytab + (0.5 - 1.0e-9), (yhi - g.ytab0) * g.rdytab + (0.5 + 1.0e-9), my,
                        jfirst, jlast);
            for (std::int32_t j = jfirst; j <= jlast; ++j)
                if (on_cell((i - 1) * my + j)) return;
        }
    }
}

}  // namespace

void tab_choose(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t& npot,
                std::int32_t* pottab) {
    search_scratch_t& s = *search_scratch_of_thread;
    const bool trace = debug1.idebug >= 1 && debug1.idebug == debug1.iphot;
    if (trace) {
        say(rule45);
        say("tab_choose: start iphot=idebug");
        say(rule45);
    }
    cell_ray r;
    if (!prepare_ray(x0, y0, z0, ux, uy, uz, trace, s, r)) {
        npot = 0;
        return;
    }
    std::int32_t n = 0;
    walk_cells(r, false, [&](std::int32_t c) {
        visit_cell(c, r, s, pottab, n);
        return false;
    });
    npot = n;
    com11.npot_sum += npot;
    com11.ntab_calls += 1;

    if (trace) {
        say(rule45);
        say("tab_choose: end iphot=idebug");
        say(rule45);
    }
}

std::int32_t tab_choose_test(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t mode,
                             double texit, std::int32_t& ipart, double& tmin) {
    search_scratch_t& s = *search_scratch_of_thread;
    com11.ntab_calls += 1;
    cell_ray r;
    if (!prepare_ray(x0, y0, z0, ux, uy, uz, false, s, r)) return 0;
    const std::int32_t excluded = com12.ipart;
    std::int32_t tested = 0;
    // The candidates of each passing cell in list order, tested at once; a
    // cell whose spheres' box the ray misses holds no hit and is passed over.
    auto each_candidate = [&](std::int32_t c, auto test) __attribute__((always_inline)) {
        const walk_cell_t& w = walk_grid.cell[c];
        if (!walk_cell_passes(w, r, s)) return false;
        const walk_sphere_t* sp = walk_grid.sphere + w.first;
        for (const walk_sphere_t* e = sp + w.count; sp < e; ++sp) {
            if (r.flat && !(sp->z - sp->r <= s.ztmax && sp->z + sp->r >= s.ztmin)) continue;
            ++tested;
            if (sp->k != excluded && test(sp->k, sphere_entry_unbranched(sp->x, sp->y, sp->z, sp->r2, sp->r, x0, y0, z0, ux, uy, uz)))
                return true;
        }
        return false;
    };
    if (mode >= 2) {
        // The first particle met in list order ends the walk.
        walk_cells(r, true, [&](std::int32_t c) __attribute__((always_inline)) {
            return each_candidate(c, [&](std::int32_t k, double t) __attribute__((always_inline)) {
                if (!(t > 0.0)) return false;
                ipart = k;
                tmin = t;
                return true;
            });
        });
    } else {
        // The nearest entry inside the box; ties keep the earlier candidate.
        walk_cells(r, true, [&](std::int32_t c) __attribute__((always_inline)) {
            return each_candidate(c, [&](std::int32_t k, double t) __attribute__((always_inline)) {
                if (t > 0.0 && t < tmin && t <= texit) {
                    ipart = k;
                    tmin = t;
                }
                return false;
            });
        });
    }
    com11.npot_sum += tested;
    return tested;
}

}  // namespace quillet
