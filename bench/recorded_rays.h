// The recorded rays of the search benchmarks (bench_rays, bench_embree), on
// the benchmark field bench/field.pos (10^4 spheres of radius 1, tau 0.5,
// filling factor 0.1) with the benchmark deck's 50 x 50 search grid:
// - free paths: from a point on a particle's surface, outward (as after a
//   scattering), isotropic over the outward half;
// - shadow rays: from the same points toward observers 15 to 80 degrees
//   above the ring plane;
// - packets: ten more observer directions for each of the first 10^4 points.
// The 10^5 rays are drawn with ran1 from a fixed seed, in a fixed order, so
// every benchmark and every run searches the same rays.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "field/part_read_2pos.h"
#include "field/particle_field.h"
#include "field/retbox.h"
#include "field/tab_init.h"
#include "numeric/ran1.h"

namespace quillet::bench {

constexpr int nrays = 100000;
constexpr int ndir = 10;  // shadow directions per point of a packet

struct ray {
    double x, y, z, ux, uy, uz;
    std::int32_t excluded;  // the particle the ray starts on
};

struct recorded_rays {
    std::vector<ray> free_paths;
    std::vector<ray> shadows;
    std::vector<double> ox, oy, oz;  // ndir observer directions per point (the packet of free_paths[p])
};

// The benchmark field as a run of bench/bench.deck loads it (its particles,
// their edge copies and the 50 x 50 grid).
inline void load_bench_field(particle_field& field, const char* source_dir) {
    field.sredu = 1.0;
    field.zredu = 1.0;
    part_read_2pos(field, text80(std::string(source_dir) + "/bench/field.pos"), text80("junk"));
    field.mx = 50;
    field.my = 50;
    tab_init(field);
}

inline recorded_rays record_rays(const particle_field& field) {
    recorded_rays r;
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
}

}  // namespace quillet::bench
