// The shadow grid's pre-test of shadow rays: whether the way from a
// scattering point toward an observer is free, blocked, or unknown, one
// direction at a time or a packet's steeper directions at once. Per
// instruction set, as sphere_lanes-inl.h.
#if defined(QUILLET_TRACE_SHADOW_PRETEST_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QUILLET_TRACE_SHADOW_PRETEST_INL_H_
#undef QUILLET_TRACE_SHADOW_PRETEST_INL_H_
#else
#define QUILLET_TRACE_SHADOW_PRETEST_INL_H_
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "field/particle_field.h"
#include "hwy/highway.h"
#include "trace/cell_walk.h"
#include "trace/path_slice.h"
#include "trace/search_scratch.h"
#include "trace/sphere_entry.h"
#include "trace/sphere_lanes-inl.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

HWY_BEFORE_NAMESPACE();
namespace quillet {
namespace HWY_NAMESPACE {
// The particle a shadow packet starts on (on its surface or inside it),
// whose copies at its place the pre-test may pass over: the first box skips
// the particle itself, and a later box starts at a wall the ray reaches only
// after it has left the particle, so that the copies there lie behind its
// start. The particle is looked up when the pre-test first meets a copy of
// it (orig < 0: the start point lies neither on nor in it).
struct start_particle {
    double x0, y0, z0;
    std::int32_t excluded;
    bool looked_up = false;
    std::int32_t orig = -1;
    double x = 0.0, y = 0.0, z = 0.0, r = 0.0, tol = 0.0;
    bool near_wall = true;  // within a diameter of a wall: a ray may reach it inside the particle
};

void look_up(const particle_field& field, start_particle& p) {
    p.looked_up = true;
    const std::int32_t e = p.excluded;
    if (e < 1 || e > field.npart) return;
    const double x = field.xpart[e], y = field.ypart[e], z = field.zpart[e], r = field.rpart[e];
    const double dx = p.x0 - x, dy = p.y0 - y, dz = p.z0 - z;
    const double reach = r * (1.0 + 1.0e-6);
    if (!(dx * dx + dy * dy + dz * dz <= reach * reach)) return;
    p.orig = field.iorig[e];
    p.x = x;
    p.y = y;
    p.z = z;
    p.r = r;
    p.tol = field.shadow.margin + 1.0e-3 * r;
    p.near_wall = !(std::min(field.xl - std::fabs(p.x0), field.yl - std::fabs(p.y0)) > 2.0 * r * (1.0 + 1.0e-6));
}

// Whether sphere q of the shadow grid is a copy of the start particle at its
// place that the ray along d leaves before it reaches a wall of the cell
// (every ray does, from a start more than a diameter away from the walls).
bool passed_start_copy(const particle_field& field, start_particle& p, std::size_t q, const search_direction& d) {
    const shadow_grid_t& g = field.shadow;
    if (!p.looked_up) look_up(field, p);
    if (p.orig < 0 || g.orig[q] != p.orig || !(std::fabs(g.xy[2 * q] - p.x) <= p.tol) ||
        !(std::fabs(g.xy[2 * q + 1] - p.y) <= p.tol) || !(std::fabs(g.zr[2 * q] - p.z) <= p.tol))
        return false;
    if (!p.near_wall) return true;
    // Where the ray leaves the particle (b + the half chord; b alone where
    // it misses), against the first wall.
    const double dx = p.x - p.x0, dy = p.y - p.y0, dz = p.z - p.z0;
    const double b = dx * d.ux + dy * d.uy + dz * d.uz;
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + p.r * p.r;
    const double out = std::max(b + std::sqrt(std::max(disc, 0.0)), 0.0);
    double twall[5], texit;
    first_wall(field, p.x0, p.y0, d, twall, texit);
    return texit > out + 1.0e-9 * (p.r + std::fabs(p.x0) + std::fabs(p.y0) + std::fabs(p.z0));
}

// The entry of the start particle at its own place, which the pre-test
// leaves out; -1 for none.
std::int32_t own_entry(const particle_field& field, std::int32_t excluded) {
    return excluded >= 1 && excluded <= field.npart ? field.shadow.own[std::size_t(excluded)] : -1;
}

// What the shadow grid tells of the way of a shadow ray from a scattering
// point on or in particle `excluded` (>= 1): free, where no particle can be
// in the way in any box; blocked (by `particle`), where a sphere of the
// first box's own table that the test cannot rule out is met, by the
// search's sphere and cell tests (the first box's search then finds a
// blocker too, this one or another); unknown otherwise, as for rays too flat
// for the reach. The stretch looked at runs to the end of the layer,
// whatever the boxes. `tested` counts the sphere tests made.
enum class way_state { free, blocked, unknown, untried };
struct way_answer {
    way_state state;
    std::int32_t particle;
};

// The spheres of the shadow grid the test cannot rule out for one shadow
// ray, taken in the grid's order: a sphere of the first box's own table met
// by the search's sphere and cell tests blocks the way (and ends it); a copy
// the ray may meet in a later box leaves the way unknown; a copy of the start
// particle at its place it passes (passed_start_copy).
struct way_candidates {
    const particle_field& field;
    double x0, y0, z0;
    const search_direction& d;
    start_particle& start;
    std::int32_t& tested;
    search_scratch& s;
    way_answer answer{way_state::free, 0};
    cell_ray r;  // prepared for the first sphere of the table
    bool prepared = false;

    way_candidates(const particle_field& f, double x, double y, double z, const search_direction& dir,
                   start_particle& p, std::int32_t& n, search_scratch& scratch)
        : field(f), x0(x), y0(y), z0(z), d(dir), start(p), tested(n), s(scratch) {}

    // Takes sphere q; true when it blocks the way.
    HWY_INLINE bool take(std::size_t q) {
        const std::int32_t p = table_place(field, q, start.excluded);
        if (p >= 0) {
            tested += 1;
            if (!prepared) prepared = prepare_ray(field, x0, y0, z0, d, false, s, r);
            if (sphere_entry<true>(field.xpart[p], field.ypart[p], field.zpart[p], field.rpart2[p], field.rpart[p], x0,
                                   y0, z0, d.ux, d.uy, d.uz) > 0.0 &&
                walk_cell_passes(field, field.shadow.place_cell[2 * q + 1], r,
                                 std::numeric_limits<double>::infinity())) {
                answer = {way_state::blocked, p};
                return true;
            }
            // Not met from here; its copies in later boxes are other spheres
            // of the shadow grid.
            return false;
        }
        if (!passed_start_copy(field, start, q, d)) answer.state = way_state::unknown;
        return false;
    }
};

way_answer pretest_way(const particle_field& field, double x0, double y0, double z0, const search_direction& d,
                       start_particle& start, std::int32_t& tested, search_scratch& s) {
    const shadow_grid_t& g = field.shadow;
    if (d.flat || d.uz == 0.0 || start.excluded == no_particle) return {way_state::unknown, 0};
    const double run = run_in_layer(field, z0, d);
    if (!(run + g.pad <= g.reach)) return {way_state::unknown, 0};
    const shadow_probe probe(field.shadow, x0, y0, z0, d, run);
    way_candidates c(field, x0, y0, z0, d, start, tested, s);
    // The start particle at its own place stands for itself in the first box,
    // which the search passes over; the test leaves it out.
    const std::int32_t self = own_entry(field, start.excluded);
    for (std::int32_t i = probe.i0; i <= probe.i1; ++i) {
        const bool met = probe.each_run(i, [&](std::int32_t l, auto maybe) HWY_ATTR {
            return each_lane(probe.D, maybe, [&](intptr_t lane) HWY_ATTR { return c.take(std::size_t(l + lane)); });
        }, self);
        if (met) break;
    }
    return c.answer;
}

// The pre-test of a packet's steeper directions at once. Those whose stretch
// lies within a short radius of the start point (they leave the layer soon)
// are given the shadow grid's test, operation for operation as
// shadow_probe::maybe makes it, against every sphere of the grid within that
// radius, in lanes of directions; a sphere that lies ahead beyond the end of
// a stretch (no particle lies beyond it) does not count. A direction no
// sphere may meet is free; the spheres that may meet the others are taken
// in the grid's order, as pretest_way takes them. Every direction's answer
// depends on its own tests alone, so it is the same on every instruction
// set. The rest (answer `untried`) are left to pretest_way, as are all where
// the spheres within the radius are too many. Below batch_least directions
// the spheres would be gathered for too few.
constexpr std::int32_t batch_least = 8, batch_directions = 128, batch_spheres = 256;

void pretest_packet(const particle_field& field, double x0, double y0, double z0, start_particle& start, std::int32_t n,
                    const search_direction* dirs, const bool* wanted, way_answer* answers, std::int32_t* tested,
                    search_scratch& s) {
    const shadow_grid_t& g = field.shadow;
    using DF = hn::ScalableTag<float>;
    const DF D;
    const std::int32_t N = std::int32_t(hn::Lanes(D));
    constexpr std::int32_t spare = 64 / sizeof(float);  // the widest vector's lanes
    HWY_ALIGN float ux[batch_directions + spare] = {}, uy[batch_directions + spare] = {},
                                     uz[batch_directions + spare] = {}, tmax[batch_directions + spare] = {};
    HWY_ALIGN std::int32_t met[batch_directions + spare];  // a direction some sphere may meet: not 0
    std::int32_t taken[batch_directions];
    std::int32_t m = 0;
    double radius = 0.0;
    const double limit = std::min(g.reach, g.batch_radius);
    n = std::min(n, batch_directions);
    for (std::int32_t k = 0; k < n; ++k) {
        answers[k] = {way_state::untried, 0};
        tested[k] = 0;
        const search_direction& d = dirs[k];
        if (!wanted[k] || d.flat || d.uz == 0.0) continue;
        const double run = run_in_layer(field, z0, d);
        if (!(run + g.pad <= limit)) continue;
        radius = std::max(radius, run + g.pad);
        // A sphere met lies within its radius of a point of the stretch, so
        // b is at most the stretch's length and the radius.
        const double t = t_in_layer(field, z0, d.uz, d.iu[2]);
        ux[m] = float(d.ux);
        uy[m] = float(d.uy);
        uz[m] = float(d.uz);
        tmax[m] = float((t + g.pad) * (1.0 + 1.0e-5) + g.margin);
        taken[m++] = k;
    }
    if (m == 0) return;

    // The spheres within the radius, seen from the start point (less the
    // start particle at its own place, as in pretest_way).
    HWY_ALIGN float ex[batch_spheres + spare], ey[batch_spheres + spare], ez[batch_spheres + spare],
        ecc[batch_spheres + spare], err[batch_spheres + spare];
    HWY_ALIGN std::int32_t eq[batch_spheres + spare];
    std::int32_t ne = 0;
    const std::int32_t self = own_entry(field, start.excluded);
    const hn::RebindToSigned<DF> DI;
    const auto X0 = hn::Set(D, float(x0)), Y0 = hn::Set(D, float(y0)), Z0 = hn::Set(D, float(z0));
    const auto r2 = hn::Set(D, float(radius * radius * (1.0 + 1.0e-5)));
    const auto skip = hn::Set(DI, self);
    const std::int32_t i0 = shadow_probe::column(g, x0 - radius), i1 = shadow_probe::column(g, x0 + radius);
    const std::int32_t j0 = shadow_probe::row(g, y0 - radius), j1 = shadow_probe::row(g, y0 + radius);
    shadow_probe::fetch_runs(g, i0, i1, j0, j1);
    for (std::int32_t i = i0; i <= i1; ++i) {
        const std::int32_t* first = g.first.data() + std::size_t(i) * g.ny;
        const std::int32_t end = first[j1 + 1];
        for (std::int32_t l = first[j0]; l < end; l += N) {
            hn::Vec<DF> x, y, z, rr;
            hn::LoadInterleaved2(D, g.xy.data() + 2 * std::size_t(l), x, y);
            const auto cx = hn::Sub(x, X0), cy = hn::Sub(y, Y0);
            const auto hh = hn::Add(hn::Mul(cx, cx), hn::Mul(cy, cy));
            const auto q = hn::Iota(DI, l);
            const auto keep = hn::And(hn::And(hn::Le(hh, r2), hn::FirstN(D, std::size_t(end - l))),
                                      hn::RebindMask(D, hn::Ne(q, skip)));
            if (hn::AllFalse(D, keep)) continue;
            if (ne > batch_spheres) return;  // too many (whatever the lanes: ne only grows)
            hn::LoadInterleaved2(D, g.zr.data() + 2 * std::size_t(l), z, rr);
            const auto cz = hn::Sub(z, Z0);
            // Compressed in registers, then stored whole (the lanes past the
            // kept ones are overwritten next).
            hn::StoreU(hn::Compress(cx, keep), D, ex + ne);
            hn::StoreU(hn::Compress(cy, keep), D, ey + ne);
            hn::StoreU(hn::Compress(cz, keep), D, ez + ne);
            hn::StoreU(hn::Compress(hn::Add(hh, hn::Mul(cz, cz)), keep), D, ecc + ne);
            hn::StoreU(hn::Compress(rr, keep), D, err + ne);
            hn::StoreU(hn::Compress(q, hn::RebindMask(DI, keep)), DI, eq + ne);
            ne += std::int32_t(hn::CountTrue(D, keep));
        }
    }
    if (ne > batch_spheres) return;
    // The lanes past the last sphere are read by the one-direction tests below.
    for (std::int32_t e = ne; e < ne + spare; ++e) ex[e] = ey[e] = ez[e] = ecc[e] = err[e] = 0.0f;

    const auto shrink = hn::Set(D, 1.0f - 0x1p-17f), behind = hn::Set(D, g.behind);
    // The test of sphere (cx, cy, cz, cc, rr) for directions (UX, UY, UZ, T).
    // A sphere lying ahead beyond the end of the stretch (b > T) does not count.
    auto maybe = [&](auto cx, auto cy, auto cz, auto cc, auto rr, auto UX, auto UY, auto UZ, auto T) HWY_ATTR {
        hn::Vec<DF> b;
        const auto m = shadow_may_meet(D, cx, cy, cz, cc, rr, UX, UY, UZ, behind, shrink, b);
        return hn::And(m, hn::Le(b, T));
    };
    for (std::int32_t k0 = 0; k0 < m; k0 += N) {
        const auto UX = hn::Load(D, ux + k0), UY = hn::Load(D, uy + k0), UZ = hn::Load(D, uz + k0);
        const auto T = hn::Load(D, tmax + k0);
        auto any = hn::Zero(D);
        for (std::int32_t e = 0; e < ne; ++e)
            any = hn::Or(any, hn::VecFromMask(D, maybe(hn::Set(D, ex[e]), hn::Set(D, ey[e]), hn::Set(D, ez[e]),
                                                      hn::Set(D, ecc[e]), hn::Set(D, err[e]), UX, UY, UZ, T)));
        hn::Store(hn::BitCast(DI, any), DI, met + k0);
    }
    for (std::int32_t j = 0; j < m; ++j) {
        const std::int32_t k = taken[j];
        way_answer& a = answers[k];
        if (met[j] == 0) {
            a = {way_state::free, 0};
            continue;
        }
        way_candidates c(field, x0, y0, z0, dirs[k], start, tested[k], s);
        const auto UX = hn::Set(D, ux[j]), UY = hn::Set(D, uy[j]), UZ = hn::Set(D, uz[j]), T = hn::Set(D, tmax[j]);
        for (std::int32_t e0 = 0; e0 < ne; e0 += N) {
            const auto mask = hn::And(maybe(hn::Load(D, ex + e0), hn::Load(D, ey + e0), hn::Load(D, ez + e0),
                                            hn::Load(D, ecc + e0), hn::Load(D, err + e0), UX, UY, UZ, T),
                                      hn::FirstN(D, std::size_t(ne - e0)));
            if (each_lane(D, mask, [&](intptr_t lane) HWY_ATTR { return c.take(std::size_t(eq[e0 + lane])); })) break;
        }
        a = c.answer;
    }
}

std::int32_t ShadowPretest(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                           const search_direction& d, std::int32_t excluded) {
    if (!field.shadow.ready) return -1;
    start_particle start{x0, y0, z0, excluded};
    std::int32_t tested = 0;
    const way_answer way = pretest_way(field, x0, y0, z0, d, start, tested, s);
    return way.state == way_state::free ? 0 : way.state == way_state::blocked ? way.particle : -1;
}

}  // namespace HWY_NAMESPACE
}  // namespace quillet
HWY_AFTER_NAMESPACE();

#endif
