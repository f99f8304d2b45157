#include "field/particle_field.h"

namespace quillet {

void particle_field::size_particles(std::int32_t n) {
    const std::size_t size = std::size_t(n) + 1;
    for (auto* t : {&xpart, &ypart, &zpart, &rpart, &rpart2}) t->resize(size, 0.0);
    iorig.resize(size, 0);
    itype.resize(size, 0);
}

void particle_field::size_grid() {
    const std::size_t cells = std::size_t(mx) * std::size_t(my) + 1;
    ilist.assign(std::size_t(npart) + 1, 0);
    nlist.assign(cells, 0);
    istart.assign(cells, 0);
    for (auto* t : {&cx, &cy, &dtab, &dtab2}) t->assign(cells, 0.0);
}

}  // namespace quillet
