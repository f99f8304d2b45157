#include "field/particle_field.h"

#include <sys/mman.h>

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

namespace {

template <class V>
std::size_t bytes_of(const V& v) {
    return v.capacity() * sizeof(typename V::value_type);
}

}  // namespace

std::size_t particle_field::table_bytes() const {
    std::size_t b = 0;
    for (const auto* t : {&xpart, &ypart, &zpart, &rpart}) b += bytes_of(*t);
    for (const auto* t : {&iorig, &itype, &ilist, &nlist, &istart}) b += bytes_of(*t);
    for (const auto* t : {&cx, &cy, &dtab, &dtab2}) b += bytes_of(*t);
    b += bytes_of(walk.cells);
    for (const auto* t : {&walk.x, &walk.y, &walk.z, &walk.r2, &walk.r}) b += bytes_of(*t);
    b += bytes_of(walk.place) + bytes_of(walk.spheres);
    b += bytes_of(shadow.first) + bytes_of(shadow.xy) + bytes_of(shadow.zr) + bytes_of(shadow.orig);
    b += bytes_of(shadow.place_cell) + bytes_of(shadow.own);
    return b;
}

void particle_field::size_grid() {
    const std::size_t cells = std::size_t(mx) * std::size_t(my) + 1;
    ilist.assign(std::size_t(npart) + 1, 0);
    nlist.assign(cells, 0);
    istart.assign(cells, 0);
    for (auto* t : {&cx, &cy, &dtab, &dtab2}) t->assign(cells, 0.0);
}

}  // namespace quillet
