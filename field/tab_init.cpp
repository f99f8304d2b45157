// Building the search grid: every particle centre is put into one of mx x my
// columns laid over the x-y extent of the centres (widened by 1 %), and every
// column gets a bounding disc that holds all spheres centred in it. A counting
// sort keeps the build linear in npart + mx*my while producing ilist in cell
// order and, within a cell, in particle order; the particle tables are then
// put in that order, so that the spheres of a cell, and the cells of a
// column, lie side by side for the searches.
#include "field/tab_init.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"

namespace quillet {

namespace {

[[noreturn]] void outside_grid(const particle_field& field, std::int32_t k, const char* axis, double v, double q,
                               std::int32_t cells) {
    throw limit_error("search grid of " + std::to_string(field.mx) + " x " + std::to_string(field.my) +
                      " cells: particle " + std::to_string(k) + " (" + axis + " = " + free_format(v) +
                      ") falls outside it (position " + free_format(q) + " in cell widths, expected 0 to " +
                      std::to_string(cells) +
                      "); the grid spans the particle centres widened by 1 % about the origin, so the centres "
                      "must spread over both sides of x = 0 and y = 0 (use mx = my = 1 for such a field)");
}

// The shadow grid (see particle_field.h) of the npart entries of the particle
// tables: every copy of an entry within reach of the cell, in columns whose
// width squared holds about eight spheres, cut into rows a quarter as tall
// (shadow_rows). Not ready where the field gives it nothing to do: no layout,
// a cell so small that copies of one particle lie within two radii of each
// other, or a layer too thick for any reach within the cell. The particles
// are filed in the order of their numbers (which decides the order of the
// copies in a cell, and so which of several blockers a shadow test names);
// cell_of[k] is the walk cell of particle k.
void build_shadow_grid(particle_field& field, std::int32_t npart, const std::vector<std::int32_t>& cell_of) {
    shadow_grid_t& g = field.shadow;
    g = shadow_grid_t{};
    const grid_layout_t& lay = field.layout;
    const double xl = field.xl, yl = field.yl, sy = field.sy;
    double rmax = 0.0;
    for (std::int32_t e = 1; e <= npart; ++e) rmax = std::max(rmax, field.rpart[e]);
    if (npart < 1 || !(lay.dtab_max > 0.0) || !(xl > 0.0) || !(yl > 0.0) || !(rmax > 0.0)) return;
    // Rays rising at more than about 9 degrees leave the layer within the
    // reach from any height.
    const double reach = std::min({xl, yl, 6.0 * (lay.ztop - lay.zbottom) + 2.0 * rmax});
    if (!(2.0 * std::min(xl, yl) > 4.0 * rmax * (1.0 + 1.0e-6)) || !(reach > 3.0 * rmax)) return;
    const double xlo = -xl - reach, xhi = xl + reach, ylo = -yl - reach, yhi = yl + reach;
    const double width = std::max(std::sqrt(8.0 * 4.0 * xl * yl / npart), std::max(xhi - xlo, yhi - ylo) / 4096.0);
    g.reach = reach;
    g.rmax = rmax;
    g.x0 = xlo;
    g.y0 = ylo;
    g.width = width;
    g.rwidth = 1.0 / width;
    g.height = std::max(width / shadow_rows, (yhi - ylo) / 4096.0);
    g.rheight = 1.0 / g.height;
    g.nx = std::max(1, std::int32_t(std::ceil((xhi - xlo) * g.rwidth)));
    g.ny = std::max(1, std::int32_t(std::ceil((yhi - ylo) * g.rheight)));
    // Each centre carries the rounding of single precision (2^-24 of its
    // size, and as much again as an offset from a start point): a thousand
    // times less than the margin, which also covers the test's own rounding.
    const double size = xl + yl + 2.0 * reach + std::max(std::fabs(lay.zbottom), std::fabs(lay.ztop)) + rmax;
    g.margin = size * 0x1p-20;
    g.pad = rmax + 2.0 * g.margin;
    g.behind = float(-(g.margin + 0x1p-20 * (2.0 * (reach + rmax) + (lay.ztop - lay.zbottom))));

    // The copies in reach, twice: counted per cell, then placed.
    const std::int32_t ncell = g.nx * g.ny;
    g.first.assign(std::size_t(ncell) + 1, 0);
    // Of the rows of copies -nrow..nrow of a column, only those within two rows
    // of where the span [ylo, yhi] puts them are tried (each by the same
    // test as any other).
    // The particles in the order of their numbers (each at its entry, a few
    // fetched ahead: on a field larger than the caches each is a wait on
    // memory), or in the tables' order where the order does not matter.
    auto each_copy = [&](bool in_number_order, auto&& on_copy) {
        const std::int32_t nrow = std::int32_t(std::ceil(reach / (2.0 * yl))) + 2;
        const double ryl2 = 1.0 / field.yl2;
        constexpr std::int32_t ahead = 16;
        for (std::int32_t v = 1; v <= npart; ++v) {
            const std::int32_t k = in_number_order ? v : field.file_number(v);
            const std::int32_t e = in_number_order ? field.entry_of(v) : v;
            if (in_number_order && v + ahead <= npart) {
                const std::int32_t a = field.entry_of(v + ahead);
                __builtin_prefetch(&field.xpart[a]);
                __builtin_prefetch(&field.ypart[a]);
                __builtin_prefetch(&field.zpart[a]);
                __builtin_prefetch(&field.rpart[a]);
                __builtin_prefetch(&field.iorig[a]);
            }
            for (std::int32_t m = -1; m <= 1; ++m) {
                const double x = field.xpart[e] + m * field.xl2;
                if (!(x >= xlo && x <= xhi)) continue;
                const double ym = field.ypart[e] + m * sy;
                const double qlo = (ylo - ym) * ryl2, qhi = (yhi - ym) * ryl2;
                const std::int32_t n0 =
                    qlo > nrow ? nrow + 1 : std::max(-nrow, std::int32_t(std::max(qlo, -2.0 * nrow)) - 2);
                const std::int32_t n1 =
                    qhi < -nrow ? -nrow - 1 : std::min(nrow, std::int32_t(std::min(qhi, 2.0 * nrow)) + 2);
                for (std::int32_t n = n0; n <= n1; ++n) {
                    const double y = ym + n * field.yl2;
                    if (!(y >= ylo && y <= yhi)) continue;
                    const std::int32_t i = std::min(g.nx - 1, std::int32_t((x - xlo) * g.rwidth));
                    const std::int32_t j = std::min(g.ny - 1, std::int32_t((y - ylo) * g.rheight));
                    on_copy(k, e, x, y, i * g.ny + j, m == 0 && n == 0);
                }
            }
        }
    };
    each_copy(false, [&](std::int32_t, std::int32_t, double, double, std::int32_t c, bool) {
        g.first[std::size_t(c) + 1] += 1;
    });
    // The copies are numbered in 32 bits.
    std::int64_t copies = 0;
    for (std::int32_t c = 0; c < ncell; ++c) {
        copies += g.first[std::size_t(c) + 1];
        if (copies > particle_number_limit)
            throw limit_error("shadow grid: the copies of " + std::to_string(npart) +
                              " particles within reach of the cell number more than the " +
                              std::to_string(particle_number_limit) + " a 32-bit number counts");
        g.first[std::size_t(c) + 1] = std::int32_t(copies);
    }
    const std::size_t n = std::size_t(g.first[std::size_t(ncell)]);
    g.xy.assign(2 * (n + walk_lanes), 0.0f);
    g.zr.assign(2 * (n + walk_lanes), 0.0f);
    // Padding no ray meets.
    for (std::size_t l = n; l < n + walk_lanes; ++l) g.zr[2 * l + 1] = -std::numeric_limits<float>::infinity();
    g.orig.assign(n + walk_lanes, 0);
    g.place_cell.assign(2 * (n + walk_lanes), -1);
    g.own.assign(std::size_t(npart) + 1, -1);
    std::vector<std::int32_t> next(g.first.begin(), g.first.end() - 1);
    each_copy(true, [&](std::int32_t k, std::int32_t e, double x, double y, std::int32_t c, bool own_place) {
        const std::size_t l = std::size_t(next[std::size_t(c)]++);
        const double r = field.rpart[e] + g.margin;
        g.xy[2 * l] = float(x);
        g.xy[2 * l + 1] = float(y);
        g.zr[2 * l] = float(field.zpart[e]);
        g.zr[2 * l + 1] = std::nextafter(float(r * r), std::numeric_limits<float>::infinity());
        g.orig[l] = field.iorig[e];
        if (own_place) {
            g.place_cell[2 * l] = e;
            g.place_cell[2 * l + 1] = cell_of[std::size_t(k)];
            g.own[std::size_t(e)] = std::int32_t(l);
        }
    });
    g.batch_radius = width;
    g.ready = true;
}

}  // namespace

void tab_init(particle_field& field, const field_build_options& options) {
    const std::int32_t mx = field.mx, my = field.my;
    if (mx < 1 || my < 1 || std::int64_t(mx) * my > cell_number_limit)
        throw limit_error("search grid of mx x my = " + std::to_string(mx) + " x " + std::to_string(my) +
                          " cells: expected at least 1 x 1 and at most " + std::to_string(cell_number_limit) +
                          " cells (a 32-bit cell number)");
    const std::int32_t ncell = mx * my;
    const std::int32_t npart = field.npart;
    // The entry of each particle as the tables stand: its number, or, when a
    // grid has put them in its order before, that grid's place.
    std::vector<std::int32_t> prior = std::move(field.place);
    if (prior.size() != std::size_t(npart) + 1) prior.clear();
    auto entry = [&prior](std::int32_t k) { return prior.empty() ? k : prior[std::size_t(k)]; };
    field.size_grid();
    // Grid cell of each particle (the column and row combined into c).
    std::vector<std::int32_t> cell_of(std::size_t(npart) + 1, 0);

    double xmin = 1.0e6, xmax = -1.0e6, ymin = 1.0e6, ymax = -1.0e6;
    for (std::int32_t e = 1; e <= npart; ++e) {
        xmin = std::min(xmin, field.xpart[e]);
        xmax = std::max(xmax, field.xpart[e]);
        ymin = std::min(ymin, field.ypart[e]);
        ymax = std::max(ymax, field.ypart[e]);
    }
    const double xtab0 = 1.01 * xmin, ytab0 = 1.01 * ymin;
    const double dxtab = (1.01 * xmax - 1.01 * xmin) / mx;
    const double dytab = (1.01 * ymax - 1.01 * ymin) / my;
    const double rdx = 1.0 / dxtab, rdy = 1.0 / dytab;

    // Count the particles of each cell; dtab holds the largest radius for now.
    for (std::int32_t c = 1; c <= ncell; ++c) {
        field.nlist[c] = 0;
        field.dtab[c] = 0.0;
    }
    for (std::int32_t k = 1; k <= npart; ++k) {
        const std::int32_t e = entry(k);
        // A negative quotient would truncate to column 1 although the centre
        // lies outside it, so it is refused like any other position off the grid.
        const double qx = (field.xpart[e] - xtab0) * rdx;
        const double qy = (field.ypart[e] - ytab0) * rdy;
        if (!(qx >= 0.0 && qx < mx)) outside_grid(field, k, "x", field.xpart[e], qx, mx);
        if (!(qy >= 0.0 && qy < my)) outside_grid(field, k, "y", field.ypart[e], qy, my);
        const std::int32_t i = std::int32_t(qx) + 1, j = std::int32_t(qy) + 1;
        const std::int32_t c = (i - 1) * my + j;
        cell_of[k] = c;
        ++field.nlist[c];
        field.dtab[c] = std::max(field.dtab[c], field.rpart[e]);
    }

    // Cell c's particles start where those of cells 1..c-1 end.
    std::int32_t next = 1;
    for (std::int32_t c = 1; c <= ncell; ++c) {
        field.istart[c] = next;
        next += field.nlist[c];
    }
    // Place in increasing particle number, using istart as the fill pointer.
    for (std::int32_t k = 1; k <= npart; ++k) field.ilist[field.istart[cell_of[k]]++] = k;
    for (std::int32_t c = 1; c <= ncell; ++c) field.istart[c] -= field.nlist[c];

    double dtab_max = 0.0;
    for (std::int32_t i = 1; i <= mx; ++i) {
        for (std::int32_t j = 1; j <= my; ++j) {
            const std::int32_t c = (i - 1) * my + j;
            field.cx[c] = (i - 0.5) * dxtab + xtab0;
            field.cy[c] = (j - 0.5) * dytab + ytab0;
            const double rmax = field.dtab[c];
            const double ax = rmax + 0.5 * dxtab, ay = rmax + 0.5 * dytab;
            field.dtab2[c] = ax * ax + ay * ay;
            field.dtab[c] = std::sqrt(field.dtab2[c]);
            if (field.nlist[c] > 0) dtab_max = std::max(dtab_max, field.dtab[c]);
        }
    }
    // An empty field (negative widths) has no layout to walk.
    double zbottom = 0.0, ztop = 0.0;
    for (std::int32_t e = 1; e <= npart; ++e) {
        const double lo = field.zpart[e] - field.rpart[e], hi = field.zpart[e] + field.rpart[e];
        if (e == 1 || lo < zbottom) zbottom = lo;
        if (e == 1 || hi > ztop) ztop = hi;
    }
    const double walk_radius = npart > 0 && dxtab > 0.0 && dytab > 0.0 ? dtab_max : 0.0;
    field.layout = {xtab0, ytab0, dxtab, dytab, walk_radius, rdx, rdy, zbottom, ztop};

    // The particle tables in the grid's order: entry l is particle ilist[l].
    // One table at a time, each entry read where the particle stood (a few
    // entries ahead on a field larger than the caches) and written in turn;
    // the tables run walk_lanes entries past the last one for the searches'
    // vector loads.
    const std::size_t entries = std::size_t(npart) + 1 + walk_lanes;
    std::vector<std::int32_t> from(entries, 0);
    for (std::int32_t l = 1; l <= npart; ++l) from[std::size_t(l)] = entry(field.ilist[std::size_t(l)]);
    prior = std::vector<std::int32_t>();
    constexpr std::int32_t ahead = 16;
    auto reorder = [&](auto& t) {
        using T = typename std::decay_t<decltype(t)>::value_type;
        std::decay_t<decltype(t)> u;
        u.reserve(entries);
        u.resize(entries, T(0));
        const T* src = t.data();
        T* dst = u.data();
        for (std::int32_t l = 1; l <= npart; ++l) {
            __builtin_prefetch(src + from[std::size_t(l) + ahead]);
            dst[l] = src[from[std::size_t(l)]];
        }
        t.swap(u);
    };
    for (auto* t : {&field.xpart, &field.ypart, &field.zpart, &field.rpart}) reorder(*t);
    reorder(field.iorig);
    reorder(field.itype);
    from = std::vector<std::int32_t>();
    field.rpart2.assign(entries, 0.0);
    for (std::int32_t l = 1; l <= npart; ++l) field.rpart2[std::size_t(l)] = field.rpart[l] * field.rpart[l];
    field.place.assign(std::size_t(npart) + 1, 0);
    for (std::int32_t l = 1; l <= npart; ++l) field.place[std::size_t(field.ilist[std::size_t(l)])] = l;

    // The walk's cells: discs, and the boxes holding their spheres.
    walk_grid_t& w = field.walk;
    w.cells.assign(std::size_t(ncell) + 1, walk_cell_t{});
    for (std::int32_t c = 1; c <= ncell; ++c) {
        double bx0 = 0.0, bx1 = 0.0, by0 = 0.0, by1 = 0.0, bz0 = 0.0, bz1 = 0.0;
        for (std::int32_t l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l) {
            const double x = field.xpart[l], y = field.ypart[l], z = field.zpart[l], r = field.rpart[l];
            const bool first = l == field.istart[c];
            bx0 = first ? x - r : std::min(bx0, x - r);
            bx1 = first ? x + r : std::max(bx1, x + r);
            by0 = first ? y - r : std::min(by0, y - r);
            by1 = first ? y + r : std::max(by1, y + r);
            bz0 = first ? z - r : std::min(bz0, z - r);
            bz1 = first ? z + r : std::max(bz1, z + r);
        }
        // Widened against rounding in the searches' box test.
        auto widen = [](double& lo, double& hi) {
            const double m = 1.0e-9 * (1.0 + std::fabs(lo) + std::fabs(hi));
            lo -= m;
            hi += m;
        };
        widen(bx0, bx1);
        widen(by0, by1);
        widen(bz0, bz1);
        w.cells[c] = {field.cx[c], field.cy[c], field.dtab[c], field.dtab2[c], bx0, bx1, by0,
                      by1,         bz0,         bz1,           field.nlist[c]};
    }

    build_shadow_grid(field, npart, cell_of);

    if (options.idebug >= 1) {
        result_file out(options.testimage.prefix(60) + ".CHECK_POS_LIST", options.files);
        std::FILE* f = out.stream();
        put_record(f, mx, my);
        for (std::int32_t c = 1; c <= ncell; ++c) {
            put_record(f, field.cx[c], field.cy[c], field.dtab[c], field.istart[c], field.nlist[c]);
            for (std::int32_t l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l)
                put_record(f, field.ilist[l]);
        }
        out.commit();
    }
}

}  // namespace quillet
