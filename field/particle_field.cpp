#include "field/particle_field.h"

#include <sys/mman.h>

#include <algorithm>

namespace quillet {

void particle_field::size_particles(std::int32_t n) {
    // Room for exactly n more: the tables grow twice in a load (the file's
    // particles, then the edge copies), and a doubled room would stay unused.
    const std::size_t size = std::size_t(n) + 1;
    auto grow = [size](auto& t) {
        if (size > t.capacity()) t.reserve(size);
        t.resize(size, 0);
    };
    for (auto* t : {&xpart, &ypart, &zpart, &rpart}) grow(*t);
    grow(iorig);
    grow(itype);
    // The tables are filled in the files' order: no grid's order, no
    // squared radii yet.
    ilist.clear();
    place.clear();
    rpart2.clear();
}

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
constexpr std::size_t huge_room = 2 * huge_page;  // room from which 2 MB pages are asked for

}  // namespace

void* allocate_lines(std::size_t bytes) {
    if (bytes < huge_room) return ::operator new (bytes, std::align_val_t{64});
    void* p = ::operator new (bytes, std::align_val_t{huge_page});
    // Only advice: where it is refused the room stays on small pages.
    ::madvise(p, (bytes + 4095) & ~std::size_t(4095), MADV_HUGEPAGE);
    return p;
}

void release_lines(void* p, std::size_t bytes) {
    if (bytes < huge_room) ::operator delete (p, std::align_val_t{64});
    else ::operator delete (p, std::align_val_t{huge_page});
}


void particle_field::size_grid() {
    const std::size_t cells = std::size_t(mx) * std::size_t(my) + 1;
    ilist.assign(std::size_t(npart) + 1, 0);
    place.clear();
    nlist.assign(cells, 0);
    istart.assign(cells, 0);
    for (auto* t : {&cx, &cy, &dtab, &dtab2}) t->assign(cells, 0.0);
}

namespace {

template <class V>
double room(const V& v) {
    return double(v.capacity()) * double(sizeof(typename V::value_type));
}

}  // namespace

double particle_field::table_bytes() const {
    double b = 0.0;
    for (auto* t : {&cx, &cy, &dtab, &dtab2}) b += room(*t);
    for (auto* t : {&xpart, &ypart, &zpart, &rpart, &rpart2}) b += room(*t);
    for (auto* t : {&iorig, &itype, &ilist, &place, &nlist, &istart}) b += room(*t);
    b += room(walk.cells);
    b += room(shadow.first) + room(shadow.xy) + room(shadow.zr) + room(shadow.orig) + room(shadow.place_cell) +
         room(shadow.own);
    return b;
}

double particle_table_bytes(std::int64_t entries) {
    // x, y, z, r; original and kind.
    return double(entries + 1) * (4.0 * sizeof(double) + 2.0 * sizeof(std::int32_t));
}

double shadow_copies_bound(double xl, double yl, double thickness) {
    // The shadow grid reaches min(xl, yl, 6 thickness + 2 rmax) beyond the
    // cell, and 2 rmax is at most the thickness; a copy per cell of area,
    // and a little for the rounding of the edges.
    if (!(xl > 0.0) || !(yl > 0.0) || !(thickness >= 0.0)) return 4.0;
    const double reach = std::min({xl, yl, 7.0 * thickness});
    return std::min(4.0, 1.02 * (1.0 + reach / xl) * (1.0 + reach / yl) + 0.02);
}

double field_table_bytes(std::int64_t entries, bool with_grid, double shadow_copies) {
    if (!with_grid) return particle_table_bytes(entries);
    const double n = double(entries) + 1.0 + walk_lanes;
    // The particle tables in the grid's order: x, y, z, r, the squared radius
    // (and, while they are put in that order, one table more), original and
    // kind; ilist and place, and the build's cell of each particle and
    // where each stood.
    double per_entry = 6.0 * sizeof(double) + 2.0 * sizeof(std::int32_t) + 4.0 * sizeof(std::int32_t);
    // The shadow grid: the copies of each entry within reach of the cell,
    // each two float pairs, its original and its place and cell; its own
    // place per entry; at most two of its cells per entry, each with a start
    // and the build's cursor.
    per_entry += shadow_copies * (4.0 * sizeof(float) + 3.0 * sizeof(std::int32_t)) + sizeof(std::int32_t) +
                 2.0 * 2.0 * sizeof(std::int32_t);
    return n * per_entry;
}

double grid_cell_bytes(std::int64_t cells) {
    // Counts and starts, disc, the walk grid's cell record.
    const double per_cell = 2.0 * sizeof(std::int32_t) + 4.0 * sizeof(double) + sizeof(walk_cell_t);
    return cells > 1 ? (double(cells) + 1.0) * per_cell : 0.0;
}

}  // namespace quillet
