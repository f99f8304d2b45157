// The walk over the cells near a ray's horizontal path. It calls back into
// its caller for every cell, so it is compiled for each instruction set the
// caller is compiled for (see sphere_lanes.cpp): include it after
// hwy/highway.h (or hwy/foreach_target.h), as for every per-target header.
#if defined(QUILLET_TRACE_CELL_WALK_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QUILLET_TRACE_CELL_WALK_INL_H_
#undef QUILLET_TRACE_CELL_WALK_INL_H_
#else
#define QUILLET_TRACE_CELL_WALK_INL_H_
#endif

#include "field/particle_field.h"
#include "hwy/highway.h"
#include "trace/cell_walk.h"

HWY_BEFORE_NAMESPACE();
namespace quillet {
namespace HWY_NAMESPACE {

// Hands the cells the ray may reach to on_cell(c) in the order asked for;
// on_cell ends the walk by returning true (and makes its own cell test).
// Cells in the ray's skip block are left out. Along the ray, reach() is asked
// before each column and row: no entry beyond it matters (infinity: all do).
template <class OnCell, class Reach>
HWY_INLINE void walk_cells(const particle_field& field, const cell_ray& r, walk_order order, OnCell on_cell,
                           Reach reach) {
    const std::int32_t mx = field.mx, my = field.my;
    const double x0 = r.x0, y0 = r.y0, z0 = r.z0, ex = r.ex, ey = r.ey, uz = r.uz;
    const double zhigh = r.zhigh, zlow = r.zlow;
    const grid_layout_t& g = field.layout;
    if (r.trace || r.full_scan || !(g.dtab_max > 0.0)) {
        // Every cell in turn: the traced search shows them all, and the
        // straightforward scan is the reference the cell walk is measured by.
        for (std::int32_t c = 1; c <= mx * my; ++c)
            if (on_cell(c)) return;
        return;
    }
    // A cell can pass the disc test only when its centre lies within
    // dtab_max of the ray's horizontal line (perpendicular distance) and no
    // further than dtab_max behind the start point along it; beyond the
    // horizontal distance s_cap where z0 + s*uz leaves [zlow, zhigh] the
    // height test rejects it too. Column by column, the rows that meet those
    // bounds are visited and decided by the same test, so the cells that pass
    // are those of the pass over all cells. D is widened a little against
    // rounding in the bounds.
    const double inf = std::numeric_limits<double>::infinity();
    const double D = walk_radius(field, r);
    double s_cap = inf;
    if (uz > 0.0) s_cap = std::max((zhigh - z0) * r.iu[2], 0.0) + D;
    if (uz < 0.0) s_cap = std::max((zlow - z0) * r.iu[2], 0.0) + D;
    if (order != walk_order::all_in_cell_order) {
        // A sphere is entered at a height within the spheres' range
        // [zbottom, ztop]; the ray leaves that range after a horizontal
        // distance (zlimit - z0) * h / uz, and a cell holding the entered
        // sphere has its centre within D of that stretch.
        if (uz != 0.0) s_cap = std::min(s_cap, run_in_layer(field, z0, uz, r.iu[2], r.h) + D);
    }
    // Columns: a passing centre lies within sqrt(2) D in x of the stretch
    // s in [0, s_cap] of the line.
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
    index_range((xlo - rx - g.xtab0) * g.rdxtab + (0.5 - 1.0e-9), (xhi + rx - g.xtab0) * g.rdxtab + (0.5 + 1.0e-9), mx,
                ifirst, ilast);
    const double iex = r.h * r.iu[0], iey = r.h * r.iu[1];  // 1/ex, 1/ey
    // Along the ray: a sphere of a cell of centre (cx, cy) is entered where
    // the ray is within dtab <= D of that centre, so at a horizontal distance
    // of at least (cx - x0 - D)/ex for ex > 0 ((cx - x0 + D)/ex for ex < 0),
    // and the same in y. Columns and rows are taken in the ray's direction, so
    // the bound only grows: past reach() the column walk ends, the row walk
    // moves to the next column.
    const bool along = order == walk_order::hits_along_ray;
    const std::int32_t di = along && ex < 0.0 ? -1 : 1, dj = along && ey < 0.0 ? -1 : 1;
    const double Dx = std::copysign(D, ex), Dy = std::copysign(D, ey);
    for (std::int32_t i = di > 0 ? ifirst : ilast; di > 0 ? i <= ilast : i >= ifirst; i += di) {
        const double dx = field.cx[(i - 1) * my + 1] - x0;
        if (along && ex != 0.0 && (dx - Dx) * iex > reach()) return;
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
            const double along_x = dx * ex;
            if (ey != 0.0) {
                double lo = (-D - along_x) * iey, hi = (s_cap - along_x) * iey;
                if (ey < 0.0) std::swap(lo, hi);
                ylo = std::max(ylo, y0 + lo);
                yhi = std::min(yhi, y0 + hi);
            } else if (along_x < -D || along_x > s_cap) {
                continue;
            }
        }
        if (!(ylo <= yhi)) continue;
        std::int32_t jfirst, jlast;
        index_range((ylo - g.ytab0) * g.rdytab + (0.5 - 1.0e-9), (yhi - g.ytab0) * g.rdytab + (0.5 + 1.0e-9), my,
                    jfirst, jlast);
        const std::int32_t column = (i - 1) * my;
        for (std::int32_t j = dj > 0 ? jfirst : jlast; dj > 0 ? j <= jlast : j >= jfirst; j += dj) {
            if (along && ey != 0.0 && (field.cy[column + j] - y0 - Dy) * iey > reach()) break;
            if (j >= r.skip_j0 && j <= r.skip_j1 && i >= r.skip_i0 && i <= r.skip_i1) continue;
            if (on_cell(column + j)) return;
        }
    }
}

template <class OnCell>
HWY_INLINE void walk_cells(const particle_field& field, const cell_ray& r, walk_order order, OnCell on_cell) {
    walk_cells(
        field, r, order, on_cell,
        []() __attribute__((always_inline)) { return std::numeric_limits<double>::infinity(); });
}

// The cells the ray may reach that pass the cell test (tlim()), to
// on_cell(c) in the order asked for; on_cell ends the walk by returning true.
template <class OnCell, class Reach, class Tlim>
HWY_INLINE void walk_hit_cells(const particle_field& field, const cell_ray& r, walk_order order, OnCell on_cell,
                               Reach reach, Tlim tlim) {
    walk_cells(
        field, r, order,
        [&](std::int32_t c) HWY_ATTR
        __attribute__((always_inline)) { return walk_cell_passes(field, c, r, tlim()) && on_cell(c); },
        reach);
}

}  // namespace HWY_NAMESPACE
}  // namespace quillet
HWY_AFTER_NAMESPACE();

#endif
