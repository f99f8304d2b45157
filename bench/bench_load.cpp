// Loading a large field: reading the Particle position file with its edge
// copies (part_read_2pos), then building the search grid, the walk grid and
// the shadow grid (tab_init), on one core. The field is the file named by
// QUILLET_LOAD_FIELD (made with quillet-field, e.g.
//   quillet-field --title g --xl 741.47 --yl 741.47 --sy 247.2 --radius 1
//     --tau 0.5 --filling 0.1 --seed 2025 -o large.pos
// for 3.5 10^5 spheres), else bench/field.pos; the grid has about four
// spheres a cell (mx = my = sqrt(npart / 4), as bench/growth.sh lays it).
// Counters: entries (particles and edge copies), the cells of the grid, and
// the bytes per entry of the particle tables and all grids together.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "field/part_read_2pos.h"
#include "field/tab_init.h"

using namespace quillet;

namespace {

std::string field_file() {
    const char* f = std::getenv("QUILLET_LOAD_FIELD");
    return f && *f ? f : QUILLET_SOURCE_DIR "/bench/field.pos";
}

void read_field(particle_field& field) {
    field.sredu = 1.0;
    field.zredu = 1.0;
    part_read_2pos(field, text80(field_file()), text80("junk"));
}

void grid_of(particle_field& field) {
    field.mx = field.my = std::max(2, std::int32_t(std::lround(std::sqrt(field.npartori / 4.0))));
}

void counters(benchmark::State& state, const particle_field& field) {
    state.counters["entries"] = double(field.npart);
    state.counters["cells"] = double(field.mx) * double(field.my);
    state.counters["bytes/entry"] = double(field.table_bytes()) / double(field.npart);
}

void BM_read(benchmark::State& state) {
    for (auto _ : state) {
        particle_field field;
        read_field(field);
        benchmark::DoNotOptimize(field.npart);
    }
}

void BM_index(benchmark::State& state) {
    particle_field field;
    read_field(field);
    grid_of(field);
    for (auto _ : state) tab_init(field);
    counters(state, field);
}

void BM_load(benchmark::State& state) {
    particle_field field;
    for (auto _ : state) {
        field = particle_field{};
        read_field(field);
        grid_of(field);
        tab_init(field);
    }
    counters(state, field);
}

}  // namespace

BENCHMARK(BM_read)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_index)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_load)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
