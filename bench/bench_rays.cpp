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

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/retbox.h"
#include "field/tab_init.h"
#include "numeric/ran1.h"
#include "trace/path_segment.h"
#include "trace/sphere_lanes.h"
#include "trace/search_targets.h"
#include "trace/tab_choose.h"

using namespace quillet;

namespace {

// The benchmark's field, and the scratch of its searches.
particle_field field;
search_scratch searches;

constexpr int nrays = 100000;
constexpr int ndir = 10;  // shadow directions per point in the packet benchmark

struct ray {
    double x, y, z, ux, uy, uz;
    std::int32_t excluded;
};

struct bench_rays {
    std::vector<ray> free_paths;
    std::vector<ray> shadows;
    std::vector<double> ox, oy, oz;  // ndir observer directions per point (the packet)
};

void load_field() {
    field.sredu = 1.0;
    field.zredu = 1.0;
    part_read_2pos(field, text80(QUILLET_SOURCE_DIR "/bench/field.pos"), text80("junk"));
    field.mx = 50;
    field.my = 50;
    tab_init(field);
    searches = search_scratch(field, {10000, 10000, -1, false});
}

const bench_rays& rays() {
    static bench_rays b = [] {
        if (const char* t = std::getenv("QUILLET_SIMD"); t && !choose_search_target(t)) std::abort();
        load_field();
        bench_rays r;
        ran1_state s;
        std::int32_t idum = -17;
        auto u = [&] { return ran1(s, idum); };
        const std::int32_t nori = field.npartori;
        const double elo = std::sin(15.0 * std::numbers::pi / 180.0), ehi = std::sin(80.0 * std::numbers::pi / 180.0);
        auto observer = [&](double& ox, double& oy, double& oz) {
            oz = elo + (ehi - elo) * u();
            const double c = std::sqrt(1.0 - oz * oz), phi = 2.0 * std::numbers::pi * u();
            ox = c * std::cos(phi);
            oy = c * std::sin(phi);
        };
        for (int i = 0; i < nrays; ++i) {
            // A particle of the file (its entry: the grid keeps the tables in its order).
            const std::int32_t k = field.entry_of(1 + std::int32_t(u() * nori) % nori);
            // A point on the surface, and an outward direction (isotropic).
            double nx, ny, nz, ux, uy, uz;
            nz = 2.0 * u() - 1.0;
            double c = std::sqrt(1.0 - nz * nz), phi = 2.0 * std::numbers::pi * u();
            nx = c * std::cos(phi);
            ny = c * std::sin(phi);
            uz = 2.0 * u() - 1.0;
            c = std::sqrt(1.0 - uz * uz);
            phi = 2.0 * std::numbers::pi * u();
            ux = c * std::cos(phi);
            uy = c * std::sin(phi);
            if (ux * nx + uy * ny + uz * nz < 0.0) ux = -ux, uy = -uy, uz = -uz;
            const double rk = field.rpart[k];
            double x = field.xpart[k] + rk * nx, y = field.ypart[k] + rk * ny;
            const double z = field.zpart[k] + rk * nz;
            retbox(field, x, y);
            r.free_paths.push_back({x, y, z, ux, uy, uz, k});
            double ox, oy, oz;
            observer(ox, oy, oz);
            r.shadows.push_back({x, y, z, ox, oy, oz, k});
        }
        for (int i = 0; i < nrays / ndir * ndir; ++i) {
            double ox, oy, oz;
            observer(ox, oy, oz);
            r.ox.push_back(ox);
            r.oy.push_back(oy);
            r.oz.push_back(oz);
        }
        return r;
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
    const bench_rays& b = rays();
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
