// The cell walk of the ray searches: the ray as the cell tests see it and the
// test of one cell of the packed grid, shared by the candidate list
// (tab_choose) and the searches that test the spheres in the same pass
// (walk_search-inl.h); the walk itself is in cell_walk-inl.h.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "field/particle_field.h"
#include "trace/sphere_entry.h"
#include "trace/tab_choose.h"

namespace quillet {

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
    bool full_scan;      // every cell in turn (the reference scan)
    // Cells the walk passes over (columns skip_i0..skip_i1, rows
    // skip_j0..skip_j1; none when skip_i0 > skip_i1): their spheres were
    // tested already.
    std::int32_t skip_i0 = 1, skip_i1 = 0, skip_j0 = 1, skip_j1 = 0;
};

// The disc and height tests of disc_passes (the same decisions, bit for bit,
// NaN included) and a test of the box holding the cell's spheres, for cell c
// at once (its fields side by side: two cache lines, one time in four
// three), with one branch instead of one per test: their outcomes follow no
// pattern, so separate branches would mostly be mispredicted.
// A cell whose box the ray enters only beyond tlim is passed over too: the
// box is widened beyond its spheres by more than the rounding of the entry
// distances, so each of its spheres is entered beyond tlim as well.
__attribute__((always_inline)) inline bool walk_cell_passes(const particle_field& field, std::int32_t c,
                                                            const cell_ray& r, double tlim) {
    const walk_cell_t& cell = field.walk.cells[c];
    const double dx = cell.cx - r.x0, dy = cell.cy - r.y0;
    const double epd = dx * r.ex + dy * r.ey;
    const double d2 = dx * dx + dy * dy;
    const double ahead = max_or_nan(epd, 0.0);  // epd > 0 ? epd : 0 (NaN: 0)
    const double smin2 = d2 - ahead * ahead;
    const double zpot = r.z0 + (epd - cell.dtab) * r.uz;
    const bool disc = !(smin2 > cell.dtab2);
    const bool height = (!(epd > cell.dtab)) | (!(zpot > r.zhigh) & !(zpot < r.zlow));
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
    slab(cell.bx0, cell.bx1, r.x0, r.iu[0]);
    slab(cell.by0, cell.by1, r.y0, r.iu[1]);
    slab(cell.bz0, cell.bz1, r.z0, r.iu[2]);
    return (cell.count >= 1) & disc & height & !(tnear > tfar) & !(tnear > tlim);
}

// The distance along a ray (vertical component uz != 0, its reciprocal iuz)
// from height z0 to where it leaves the spheres' height range (0 where it
// has left it already).
inline double t_in_layer(const particle_field& field, double z0, double uz, double iuz) {
    const grid_layout_t& g = field.layout;
    return std::max(((uz > 0.0 ? g.ztop : g.zbottom) - z0) * iuz, 0.0);
}

// ... its horizontal part (the ray's horizontal length h), widened by 1e-9
// against rounding.
inline double run_in_layer(const particle_field& field, double z0, double uz, double iuz, double h) {
    return t_in_layer(field, z0, uz, iuz) * h * (1.0 + 1.0e-9);
}

// How far from the ray's horizontal line (and behind its start point) the
// centre of a cell whose disc the ray meets may lie: the largest disc radius,
// widened a little against rounding in the walk's bounds.
inline double walk_radius(const particle_field& field, const cell_ray& r) {
    const grid_layout_t& g = field.layout;
    return g.dtab_max * (1.0 + 1.0e-9) + 1.0e-9 * (g.dxtab + g.dytab + std::fabs(r.x0) + std::fabs(r.y0));
}

// The orders in which walk_cells hands the cells over: every cell the ray's
// disc and height tests may pass, in cell order (the candidate list); only
// cells that may hold a sphere the ray enters, in cell order; the same cells
// along the ray (columns and rows in the order the ray crosses them), where
// the walk also ends at the horizontal distance reach() along the ray.
enum class walk_order { all_in_cell_order, hits_in_cell_order, hits_along_ray };

}  // namespace quillet
