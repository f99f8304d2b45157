// Shared records of the particle field: the particle tables, the cell
// geometry, the run counts, the size controls of the deck, the search grid and
// the debug switches that the field and the searches read. Tables are 1-based:
// entry 0 of every array is unused, entries 1..capacity hold the data.
#pragma once

#include <cstdint>
#include <vector>

#include "format/text_field.h"

namespace quillet {

constexpr int max_part = 400000;   // ring + haze particles + edge copies
constexpr int max_cells = 160000;  // search-grid cells mx*my

// Particle tables, indexed by particle number: ring particles first (file
// order, after the size cut), haze particles next, edge copies last.
struct com1_t {
    double xpart[max_part + 1];
    double ypart[max_part + 1];
    double zpart[max_part + 1];
    double rpart[max_part + 1];
    double rpart2[max_part + 1];  // radius squared
    // The particle (ring or haze, 1..npart - copies) that each entry is an
    // image of: itself for a particle of the file, its original for an edge copy.
    std::int32_t iorig[max_part + 1];
};
extern com1_t com1;

// Particle kind: 1 ring particle, 2 haze particle; a copy has its original's kind.
struct com_haze1_t {
    std::int32_t itype[max_part + 1];
};
extern com_haze1_t com_haze1;

// Cell geometry: the cell is [-xl, xl] x [-yl, yl], periodic with period 2*xl
// in x (a step of one period also shifts y by sy) and 2*yl in y; the layer
// spans [zmin, zmax] in z.
struct com2_t {
    double xl;
    double yl;
    double sy;   // folded into [-yl, yl]
    double yl2;  // 2*yl
    double xl2;  // 2*xl
    double zmin;
    double zmax;
};
extern com2_t com2;

struct com3_t {
    std::int32_t npart;     // entries in the particle tables
    std::int32_t ntest;     // observer directions
    std::int32_t nbox;      // most boxes of a photon free path
    std::int32_t icheck;    // print level
    std::int32_t nboxvis;   // most boxes of an occlusion test
    std::int32_t npartori;  // ring particles stated in the position file
};
extern com3_t com3;

struct com13_t {
    double sredu;  // ring-particle radius factor
    double zredu;  // ring-particle height factor
    double tau;    // optical depth of the layer
};
extern com13_t com13;

// Size controls from the deck.
struct maincom1_t {
    double sizemin;  // ring particles below this radius are dropped (when > 0)
    double s20;      // ring particles up to this radius are enlarged (when > 0)
    double f20;      // ... by this factor
};
extern maincom1_t maincom1;

// Debug state of the photon being traced.
struct debug1_t {
    std::int32_t iphot;   // photon number
    std::int32_t iscat;   // path search of the photon
    std::int32_t ibox;    // periodic box of the current segment search
    std::int32_t idebug;  // >= 1: diagnostic files and traces; = iphot: grid-search trace
};
extern thread_local constinit debug1_t debug1;

// Output name prefix of the test image and of the diagnostic files.
struct aug2004b_t {
    text80 testimage;
};
extern aug2004b_t aug2004b;

// Search grid: cell c = (i-1)*my + j for column i = 1..mx, row j = 1..my.
struct com9_t {
    std::int32_t ilist[max_part + 1];    // particle numbers grouped by cell
    std::int32_t nlist[max_cells + 1];   // particles in cell c
    std::int32_t istart[max_cells + 1];  // position in ilist of cell c's first particle
};
extern com9_t com9;

struct com10_t {
    double cx[max_cells + 1];     // cell centre x
    double cy[max_cells + 1];     // cell centre y
    double dtab[max_cells + 1];   // radius of the disc holding every sphere centred in the cell
    double dtab2[max_cells + 1];  // dtab squared
};
extern com10_t com10;

// Grid size and the search counters (64-bit: a long run passes 2^31 candidates).
struct com11_t {
    std::int32_t mx;
    std::int32_t my;
    std::int64_t npot_sum;    // candidates returned by tab_choose
    std::int64_t ntab_calls;  // calls of tab_choose
    std::int64_t nseg_calls;  // photon free paths searched by path_segment
    std::int64_t nbox_sum;    // boxes visited by those searches
};
extern thread_local constinit com11_t com11;

// Layout of the search grid as tab_init laid it: lower edges, cell widths and
// the largest disc radius of a non-empty cell, and the height range the
// spheres span. The candidate search uses it to visit only the cells near a
// ray; dtab_max = 0 (no layout, as for a grid
// filled in by hand) makes it test every cell.
struct grid_layout_t {
    double xtab0;
    double ytab0;
    double dxtab;
    double dytab;
    double dtab_max;
    double rdxtab;   // 1/dxtab
    double rdytab;   // 1/dytab
    double zbottom;  // lowest point of any sphere of the field
    double ztop;     // highest point of any sphere of the field
};
extern grid_layout_t grid_layout;

// The search grid as the cell walk reads it, built by tab_init beside com9
// and com10, one table per quantity: per cell its disc, the box that holds
// its spheres and where its spheres start; the spheres themselves in ilist
// order, so that a cell's candidates, and the cells of a column, lie side by
// side. A vector load takes several spheres at once: the sphere tables run
// walk_lanes entries past the last particle, so that such a load never
// leaves them.
constexpr int walk_lanes = 16;
// A cell's fields side by side (88 bytes: its test reads two cache lines,
// one time in four three), and a sphere's in one 64-byte line, for the tests
// of single spheres out of the walk's order: on a field larger than the
// caches each line is a wait on memory. (A copy of the cell's fields in
// each sphere's record would save a line there, but takes the benchmark
// field's records out of a core's L2 cache.)
struct walk_cell_t {
    double cx, cy, dtab, dtab2, bx0, bx1, by0, by1, bz0, bz1;
    std::int32_t count;
};
struct alignas(64) walk_sphere_t {
    double x, y, z, r2, r;
    std::int32_t k, cell;  // particle, walk cell
};
struct walk_grid_t {
    // Cell c (1..mx*my): disc as in com10, box holding every sphere of the
    // cell, place in the sphere tables of its first sphere and its number of
    // spheres; the centre's y and the place and number also in tables of
    // their own, for the walk's rows and its runs of spheres.
    walk_cell_t cells[max_cells + 1];
    double cy[max_cells + 1];
    std::int32_t first[max_cells + 1];
    std::int32_t count[max_cells + 1];
    // Sphere l (1..npart, ilist order): centre, squared radius, radius, particle.
    alignas(64) double x[max_part + 1 + walk_lanes];
    alignas(64) double y[max_part + 1 + walk_lanes];
    alignas(64) double z[max_part + 1 + walk_lanes];
    alignas(64) double r2[max_part + 1 + walk_lanes];
    alignas(64) double r[max_part + 1 + walk_lanes];
    std::int32_t k[max_part + 1 + walk_lanes];
    std::int32_t place[max_part + 1];  // place l of particle k
    walk_sphere_t spheres[max_part + 1];
};
extern walk_grid_t walk_grid;

// The spheres of the search grid and their periodic copies, e + m (xl2, sy) +
// n (0, yl2), whose centres lie within `reach` of the cell, in single
// precision, with every radius widened by `margin` (far more than the
// rounding of the single-precision test and of the double one), sorted into
// cells of `width` x `height` over [x0, x0 + nx width] x [y0, y0 + ny height]
// column by column: cell (i, j), counted from 0, holds the spheres
// first[i ny + j] .. first[i ny + j + 1] - 1. The sphere tables run
// walk_lanes entries past the last sphere with entries no ray meets. The
// shadow tests use it to show, by a test that can err only toward "maybe",
// that no sphere is in the way; built by tab_init (ready: it can be used).
// A look at the grid reads a run of rows per column: rows a fraction
// (1 / shadow_rows) of the column's width keep the runs of rays across the
// columns short, while a column's rows still lie side by side.
constexpr int shadow_rows = 4;
struct shadow_grid_t {
    bool ready = false;
    double reach = 0.0;
    double margin = 0.0;
    double rmax = 0.0;  // largest radius of the field
    double pad = 0.0;   // rmax + 2 margin: how far a sphere's copy reaches from its centre
    double batch_radius = 0.0;  // a shadow packet tests its steeper ways at once within this radius of the start
    // The single-precision test's bound for "behind the start": -(margin +
    // 2^-20 of the largest distance to a centre it looks at).
    float behind = 0.0f;
    double x0 = 0.0, y0 = 0.0;
    double width = 0.0, rwidth = 0.0;    // column width, its reciprocal
    double height = 0.0, rheight = 0.0;  // row height, its reciprocal
    std::int32_t nx = 0, ny = 0;
    std::vector<std::int32_t> first;
    // Per sphere l, in pairs at 2 l: centre x and y; centre z and
    // (r + margin)^2, rounded up.
    std::vector<float> xy, zr;
    std::vector<std::int32_t> orig;   // com1.iorig of the entry it is a copy of
    // Per sphere q, in a pair at 2 q: for an entry at its own place (no
    // period added), its place in the walk grid's sphere tables and that
    // sphere's walk cell; -1 and -1 for every other copy.
    std::vector<std::int32_t> place_cell;
    std::vector<std::int32_t> own;  // per particle k (1..npart): its entry at its own place
};
extern shadow_grid_t shadow_grid;

}  // namespace quillet
