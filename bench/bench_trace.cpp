// Cost of the ray searches on a field like a production run: 10,000 equal
// ring particles (radius 1) at optical depth 0.5, in a layer 8 radii thick,
// indexed by a 50 x 50 search grid. The field and the rays are drawn with
// ran1 from fixed seeds, so every run times the same searches.
//
// Reported per benchmark: time per segment search (the benchmark's time),
// slices per segment search, and the time per slice search ("slice_time").
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/tab_init.h"
#include "numeric/ran1.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/trace_records.h"

using namespace quillet;

namespace {

// The benchmark's field.
particle_field field;
search_scratch searches;

constexpr int nring = 10000;
constexpr double radius = 1.0;
constexpr double tau_target = 0.5;
constexpr double zhalf = 3.0;  // centres in [-3, 3]: the layer spans [-4, 4]
constexpr int nrays = 8192;

struct ray {
    double x, y, z, ux, uy, uz;
    std::int32_t excluded;
};

struct bench_field {
    std::vector<ray> free_paths;  // from a particle surface, outward (after a scattering)
    std::vector<ray> any_dir;     // from a particle surface, any direction (peel-off tests)
    std::vector<ray> launches;    // from just above the layer, downward at 30 degrees elevation
};

double draw(ran1_state& s, std::int32_t& idum) { return ran1(s, idum); }

void isotropic(ran1_state& s, std::int32_t& idum, double& ux, double& uy, double& uz) {
    uz = 2.0 * draw(s, idum) - 1.0;
    const double st = std::sqrt(1.0 - uz * uz), phi = 2.0 * std::numbers::pi * draw(s, idum);
    ux = st * std::cos(phi);
    uy = st * std::sin(phi);
}

const bench_field& bench_setup() {
    static bench_field f = [] {
        bench_field b;
        // Square cell with N*pi*r^2 / (4*xl*yl) = tau_target.
        const double half = std::sqrt(nring * std::numbers::pi * radius * radius / tau_target / 4.0);
        field.size_particles(nring);
        field.xl = half;
        field.yl = half;
        field.sy = 0.37 * half;
        field.xl2 = 2.0 * half;
        field.yl2 = 2.0 * half;
        ran1_state s;
        std::int32_t idum = -1;
        for (int i = 1; i <= nring; ++i) {
            field.rpart[i] = radius;
            field.xpart[i] = half * (2.0 * draw(s, idum) - 1.0);
            field.ypart[i] = half * (2.0 * draw(s, idum) - 1.0);
            field.zpart[i] = zhalf * (2.0 * draw(s, idum) - 1.0);
            field.itype[i] = 1;
        }
        field.zmin = -(zhalf + radius);
        field.zmax = zhalf + radius;
        duplicate_edges(field, nring, "benchmark field");
        field.mx = 50;
        field.my = 50;
        tab_init(field);
        searches = search_scratch(field, {10000, 10000, -1, false});

        for (int i = 0; i < nrays; ++i) {
            // A ring particle (its entry: the grid keeps the tables in its order).
            const std::int32_t k = field.entry_of(1 + std::int32_t(draw(s, idum) * (nring - 1)));
            double nx, ny, nz, ux, uy, uz;
            isotropic(s, idum, nx, ny, nz);
            isotropic(s, idum, ux, uy, uz);
            double x = field.xpart[k] + radius * nx, y = field.ypart[k] + radius * ny, z = field.zpart[k] + radius * nz;
            // Keep the start in the central cell (a surface point may lie just outside).
            x = std::fmax(-half, std::fmin(half, x));
            y = std::fmax(-half, std::fmin(half, y));
            b.any_dir.push_back({x, y, z, ux, uy, uz, k});
            if (ux * nx + uy * ny + uz * nz < 0.0) ux = -ux, uy = -uy, uz = -uz;
            b.free_paths.push_back({x, y, z, ux, uy, uz, k});
            const double phi = 2.0 * std::numbers::pi * draw(s, idum), el = std::numbers::pi / 6.0;
            b.launches.push_back({half * (2.0 * draw(s, idum) - 1.0), half * (2.0 * draw(s, idum) - 1.0),
                                  field.zmax * 1.000001, std::cos(el) * std::cos(phi), std::cos(el) * std::sin(phi),
                                  -std::sin(el), no_particle});
        }
        return b;
    }();
    return f;
}

void run_segments(benchmark::State& state, const std::vector<ray>& rays, std::int32_t mode) {
    std::int64_t slices = 0, hits = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        const ray& r = rays[i];
        i = (i + 1) % rays.size();
        double x = r.x, y = r.y, z = r.z;
        std::int32_t ipart = 0;
        path_segment(field, searches, x, y, z, r.ux, r.uy, r.uz, ipart, search_kind(mode), r.excluded);
        slices += searches.ibox;  // boxes searched by this call, one slice search each
        hits += ipart >= 1;
        benchmark::DoNotOptimize(x);
    }
    const double n = double(state.iterations());
    state.counters["slices_per_search"] = double(slices) / n;
    state.counters["hit_fraction"] = double(hits) / n;
    state.counters["slice_time"] = benchmark::Counter(double(slices), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["candidates_per_slice"] =
        searches.ntab_calls > 0 ? double(searches.npot_sum) / double(searches.ntab_calls) : 0.0;
}

void BM_path_segment_free_path(benchmark::State& state) {
    const bench_field& f = bench_setup();
    searches.npot_sum = searches.ntab_calls = 0;
    run_segments(state, f.free_paths, 1);
}
BENCHMARK(BM_path_segment_free_path);

void BM_path_segment_occlusion(benchmark::State& state) {
    const bench_field& f = bench_setup();
    searches.npot_sum = searches.ntab_calls = 0;
    run_segments(state, f.any_dir, 2);
}
BENCHMARK(BM_path_segment_occlusion);

void BM_path_segment_launch(benchmark::State& state) {
    const bench_field& f = bench_setup();
    searches.npot_sum = searches.ntab_calls = 0;
    run_segments(state, f.launches, 1);
}
BENCHMARK(BM_path_segment_launch);

// One slice search in the central cell, with the same starts as the free paths.
void BM_path_slice(benchmark::State& state) {
    const bench_field& f = bench_setup();
    searches.npot_sum = searches.ntab_calls = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        const ray& r = f.free_paths[i];
        i = (i + 1) % f.free_paths.size();
        std::int32_t ipart = 0;
        double tmin = 0.0;
        path_slice(field, searches, r.x, r.y, r.z, r.ux, r.uy, r.uz, ipart, tmin, search_kind::free_path, r.excluded);
        benchmark::DoNotOptimize(tmin);
    }
    state.counters["candidates_per_slice"] = double(searches.npot_sum) / double(searches.ntab_calls);
}
BENCHMARK(BM_path_slice);

// The same slice searches without the grid: every particle is tested.
void BM_path_slice_no_grid(benchmark::State& state) {
    const bench_field& f = bench_setup();
    field.mx = 1;
    field.my = 1;
    std::size_t i = 0;
    for (auto _ : state) {
        const ray& r = f.free_paths[i];
        i = (i + 1) % f.free_paths.size();
        std::int32_t ipart = 0;
        double tmin = 0.0;
        path_slice(field, searches, r.x, r.y, r.z, r.ux, r.uy, r.uz, ipart, tmin, search_kind::free_path, r.excluded);
        benchmark::DoNotOptimize(tmin);
    }
    field.mx = 50;
    field.my = 50;
}
BENCHMARK(BM_path_slice_no_grid);

}  // namespace

BENCHMARK_MAIN();
