// The particle field of a run: the spheres of the periodic cell and the grids
// the searches walk, built once from the particle files (part_read_2pos, then
// tab_init) and read-only afterwards, so that every worker of a run reads the
// same one. Its tables are sized from the files when it is built. Particle
// tables and grid tables are 1-based: entry 0 is unused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <vector>

#include "format/result_file.h"
#include "format/text_field.h"

namespace quillet {

// Storage on 64-byte lines, for the tables the searches load several entries
// of at once and the large tables of the field. Room of several megabytes
// is laid on 2 MB pages where the system grants them: a field of millions
// of spheres then costs a fraction of the page faults to build and of the
// address-translation misses to search.
void* allocate_lines(std::size_t bytes);
void release_lines(void* p, std::size_t bytes);
template <class T>
struct line_allocator {
    using value_type = T;
    line_allocator() = default;
    template <class U>
    line_allocator(const line_allocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_lines(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { release_lines(p, n * sizeof(T)); }
    friend bool operator==(const line_allocator&, const line_allocator&) { return true; }
};
template <class T>
using line_vector = std::vector<T, line_allocator<T>>;

// Layout of the search grid as tab_init laid it: lower edges, cell widths and
// the largest disc radius of a non-empty cell, and the height range the
// spheres span. The candidate search uses it to visit only the cells near a
// ray; dtab_max = 0 (no layout, as for a grid filled in by hand) makes it
// test every cell.
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

// The search grid as the cell walk reads it, built by tab_init beside the
// cell discs: per cell its disc and the box that holds its spheres (where its
// spheres start, their number and the centre's y are the field's istart,
// nlist and cy). The spheres themselves are the particle tables, which
// tab_init puts in cell order (entry l is the l-th sphere of the grid), so
// that a cell's candidates, and the cells of a column, lie side by side. A
// vector load takes several spheres at once: the tables then run walk_lanes
// entries past the last particle, so that such a load never leaves them.
constexpr int walk_lanes = 16;
// A cell's fields side by side (88 bytes: its test reads two cache lines,
// one time in four three).
struct walk_cell_t {
    double cx, cy, dtab, dtab2, bx0, bx1, by0, by1, bz0, bz1;
    std::int32_t count;
};
struct walk_grid_t {
    // Cell c (1..mx*my): disc as in the field's cx, cy, dtab, dtab2, box
    // holding every sphere of the cell and its number of spheres.
    std::vector<walk_cell_t> cells;
};

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
    double rmax = 0.0;          // largest radius of the field
    double pad = 0.0;           // rmax + 2 margin: how far a sphere's copy reaches from its centre
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
    line_vector<float> xy, zr;
    line_vector<std::int32_t> orig;  // iorig of the entry it is a copy of
    // Per sphere q, in a pair at 2 q: for an entry at its own place (no
    // period added), the entry (its place in the grid's cell order) and its
    // walk cell; -1 and -1 for every other copy.
    line_vector<std::int32_t> place_cell;
    std::vector<std::int32_t> own;  // per particle k (1..npart): its entry at its own place
};

struct particle_field {
    // Particle tables, indexed by entry 1..npart. As read: ring particles
    // first (file order, after the size cut), haze particles next, edge
    // copies last, the entry being the particle's number. With a search
    // grid (tab_init) the entries are put in the grid's cell order, each
    // cell's in that order, so that spheres near in space lie near in
    // memory; the particle's number is then ilist[entry] (file_number), and
    // the tables run walk_lanes entries past the last one.
    // rpart2 (the squared radius, rpart * rpart) is filled by tab_init for
    // the searches on the grid.
    line_vector<double> xpart, ypart, zpart, rpart, rpart2;
    // The particle's number (ring or haze, 1..npart - copies) of the original
    // each entry is an image of: its own for a particle of the file, its
    // original's for an edge copy.
    std::vector<std::int32_t> iorig;
    // Particle kind: 1 ring particle, 2 haze particle; a copy has its original's kind.
    std::vector<std::int32_t> itype;
    std::int32_t npart = 0;     // entries in the particle tables
    std::int32_t npartori = 0;  // ring particles stated in the position file

    // Cell geometry: the cell is [-xl, xl] x [-yl, yl], periodic with period
    // 2*xl in x (a step of one period also shifts y by sy) and 2*yl in y; the
    // layer spans [zmin, zmax] in z.
    double xl = 1.0;
    double yl = 1.0;
    double sy = 0.0;   // folded into [-yl, yl]
    double yl2 = 2.0;  // 2*yl
    double xl2 = 2.0;  // 2*xl
    double zmin = 0.0;
    double zmax = 0.0;

    double sredu = 1.0;  // ring-particle radius factor (set before the build)
    double zredu = 1.0;  // ring-particle height factor (set before the build)
    double tau = 0.0;    // optical depth of the layer

    // Search grid: cell c = (i-1)*my + j for column i = 1..mx, row j = 1..my
    // (mx = my = 1 or less in either: no grid, every particle is tested).
    std::int32_t mx = 1;
    std::int32_t my = 1;
    // Particle numbers grouped by cell (cells in order, each cell's in
    // increasing number): the number of entry l (no grid: empty, entry k is
    // particle k), and the entry of particle k.
    std::vector<std::int32_t> ilist;
    std::vector<std::int32_t> place;
    std::vector<std::int32_t> nlist;   // particles in cell c
    std::vector<std::int32_t> istart;  // position in ilist of cell c's first particle
    std::vector<double> cx;            // cell centre x
    std::vector<double> cy;            // cell centre y
    std::vector<double> dtab;          // radius of the disc holding every sphere centred in the cell
    std::vector<double> dtab2;         // dtab squared
    grid_layout_t layout{};
    walk_grid_t walk;
    shadow_grid_t shadow;

    // Room for particles 1..n in the particle tables (entries kept, new ones 0).
    void size_particles(std::int32_t n);
    // Room for the cells of an mx x my grid and for npart entries of ilist,
    // all 0 (place empty).
    void size_grid();

    // The particle's number of entry k, as the files number it (the
    // numbers of traces, reports and messages); k itself when k is no
    // entry (0, a wall code, no particle).
    std::int32_t file_number(std::int32_t k) const {
        return k >= 1 && std::size_t(k) < ilist.size() ? ilist[std::size_t(k)] : k;
    }
    // The entry of particle number k (1..npart).
    std::int32_t entry_of(std::int32_t k) const {
        return std::size_t(k) < place.size() ? place[std::size_t(k)] : k;
    }

    // Bytes its tables and all its grids hold (the room each has taken, used
    // or not), for the memory check's tests and the benchmarks' figures.
    double table_bytes() const;
};

// Bytes the tables of a field of `entries` particles (ring, haze and edge
// copies) take: the particle tables alone (no search grid), or with the
// per-particle tables of the search grid and its walk and shadow grids (an
// upper estimate: the shadow grid holds `shadow_copies` copies of every
// entry, and the build's own scratch is counted); and the bytes per cell of
// a search grid of `cells` cells.
double particle_table_bytes(std::int64_t entries);
double field_table_bytes(std::int64_t entries, bool with_grid, double shadow_copies = 4.0);
double grid_cell_bytes(std::int64_t cells);
// Copies per entry the shadow grid holds at most, from the cell and the
// layer's thickness (about (1 + reach/xl)(1 + reach/yl), at most 4).
double shadow_copies_bound(double xl, double yl, double thickness);

// How the deck asks for the field to be built (part_read_2pos, tab_init):
// the size controls of the ring particles, the print level and the
// diagnostic files.
struct field_build_options {
    double sizemin = 0.0;    // ring particles below this radius are dropped (when > 0)
    double s20 = 0.0;        // ring particles up to this radius are enlarged (when > 0)
    double f20 = 0.0;        // ... by this factor
    std::int32_t icheck = -1;  // print level: >= 0 reports the files read and the field
    std::int32_t idebug = 0;   // >= 1: the tables go to the diagnostic files
    text80 testimage;          // the diagnostic files' name prefix (its first word)
    result_file_options files;  // how the diagnostic files are written
    // Called with the particles read (ring and haze) and their edge copies
    // once these are counted, before the copies and the grids take room: a
    // run refuses there what the machine cannot hold.
    // The field's cell and layer are set by then.
    std::function<void(const particle_field& field, std::int64_t particles, std::int64_t copies)> before_copies;
};

}  // namespace quillet
