// Rays per second of the two searches of a run, on the benchmark field
// bench/field.pos (10^4 spheres of radius 1, tau 0.5, filling factor 0.1,
// 50 x 50 search grid, box limits 10^4 as in bench/bench.deck):
// - free paths: from a point on a particle's surface, outward (as after a
//   scattering), the nearest particle (path_segment mode 1);
// - shadow rays: from the same points toward observers 15 to 80 degrees
//   above the ring plane, whether any particle is in the way: by the
//   segment search alone (mode 3), and by the peel-off's own test of one
//   direction (the shadow grid's pre-test first: shadow_packet of one);
// - shadow packets: ten directions from each of 10^4 of these points, as the
//   peel-off searches them (shadow_packet, directions prepared beforehand, as
//   once per photon), against the same rays searched one by one.
// The 10^5 rays are drawn with ran1 from fixed seeds, so every run times the
// same searches; the counters give rays/s and a checksum of the answers (the
// particles met by the free paths, the blocked shadow rays), which must not
// change with the search's implementation. QUILLET_SIMD picks the
// instruction set of the searches, as for the program.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench/recorded_rays.h"
#include "field/field_records.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/search_targets.h"
#include "trace/tab_choose.h"

using namespace quillet;
using bench::ndir;
using bench::nrays;
using bench::ray;

namespace {

// The benchmark's field, and the scratch of its searches.
particle_field field;
search_scratch searches;

const bench::recorded_rays& rays() {
    static bench::recorded_rays b = [] {
        if (const char* t = std::getenv("QUILLET_SIMD"); t && !choose_search_target(t)) std::abort();
        bench::load_bench_field(field, QUILLET_SOURCE_DIR);
        searches = search_scratch(field, {10000, 10000, -1, false});
        return bench::record_rays(field);
    }();
    return b;
}

void run(benchmark::State& state, const std::vector<ray>& rs, std::int32_t mode) {
    double checksum = 0.0;
    for (auto _ : state) {
        checksum = 0.0;
        for (const ray& r : rs) {
            double x = r.x, y = r.y, z = r.z;
            std::int32_t ipart = 0;
            path_segment(field, searches, x, y, z, r.ux, r.uy, r.uz, ipart, search_kind(mode), r.excluded);
            // A free path's answer is the particle met; a shadow ray's, whether
            // the way is blocked (any particle in the way will do).
            checksum += mode == 1 ? (ipart >= 1 ? ipart : 0) : (ipart >= 1 ? 1 : 0);
        }
        benchmark::DoNotOptimize(checksum);
    }
    state.counters["rays_per_s"] =
        benchmark::Counter(double(rs.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["checksum"] = checksum;
}

void BM_free_paths(benchmark::State& state) { run(state, rays().free_paths, 1); }
BENCHMARK(BM_free_paths)->Unit(benchmark::kMillisecond);

void BM_shadow_rays(benchmark::State& state) { run(state, rays().shadows, 3); }
BENCHMARK(BM_shadow_rays)->Unit(benchmark::kMillisecond);

// The same shadow rays as the peel-off tests a single direction: each a
// packet of one (the shadow grid's pre-test, then the search where it cannot
// tell).
void BM_shadow_tests(benchmark::State& state) {
    const std::vector<ray>& rs = rays().shadows;
    std::vector<search_direction> dirs(rs.size());
    for (std::size_t i = 0; i < rs.size(); ++i) prepare_direction(rs[i].ux, rs[i].uy, rs[i].uz, dirs[i]);
    const bool wanted = true;
    double checksum = 0.0;
    for (auto _ : state) {
        checksum = 0.0;
        for (std::size_t i = 0; i < rs.size(); ++i) {
            std::int32_t hit = 0;
            shadow_packet(field, searches, rs[i].x, rs[i].y, rs[i].z, rs[i].excluded, 1, &dirs[i], &wanted, &hit);
            checksum += hit >= 1 ? 1 : 0;
        }
        benchmark::DoNotOptimize(checksum);
    }
    state.counters["rays_per_s"] =
        benchmark::Counter(double(rs.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["checksum"] = checksum;
}
BENCHMARK(BM_shadow_tests)->Unit(benchmark::kMillisecond);

void run_packets(benchmark::State& state, bool packet) {
    const bench::recorded_rays& b = rays();
    const int npoints = nrays / ndir;
    std::vector<search_direction> dirs(std::size_t(npoints) * ndir);
    for (std::size_t i = 0; i < dirs.size(); ++i) prepare_direction(b.ox[i], b.oy[i], b.oz[i], dirs[i]);
    bool wanted[ndir];
    for (bool& w : wanted) w = true;
    double checksum = 0.0;
    for (auto _ : state) {
        checksum = 0.0;
        for (int p = 0; p < npoints; ++p) {
            const ray& r = b.free_paths[std::size_t(p)];
            std::int32_t hit[ndir];
            if (packet) {
                shadow_packet(field, searches, r.x, r.y, r.z, r.excluded, ndir, &dirs[std::size_t(p) * ndir], wanted, hit);
            } else {
                for (int d = 0; d < ndir; ++d) {
                    const std::size_t i = std::size_t(p) * ndir + std::size_t(d);
                    double x = r.x, y = r.y, z = r.z;
                    path_segment(field, searches, x, y, z, b.ox[i], b.oy[i], b.oz[i], hit[d], search_kind::any_blocker,
                                 r.excluded);
                }
            }
            for (int d = 0; d < ndir; ++d) checksum += hit[d] >= 1 ? 1 : 0;
        }
        benchmark::DoNotOptimize(checksum);
    }
    state.counters["rays_per_s"] =
        benchmark::Counter(double(npoints) * ndir * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["checksum"] = checksum;
}

void BM_shadow_packets(benchmark::State& state) { run_packets(state, true); }
BENCHMARK(BM_shadow_packets)->Unit(benchmark::kMillisecond);

void BM_shadow_one_by_one(benchmark::State& state) { run_packets(state, false); }
BENCHMARK(BM_shadow_one_by_one)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
