// The sphere tests of the searches in vector lanes, for each instruction set
// sphere_lanes.cpp is compiled for (include it after hwy/highway.h, as every
// per-target header): the exact test of sphere_entry.h on several spheres at
// once, and the single-precision test of the shadow grid that can err only
// toward "maybe".
#if defined(QUILLET_TRACE_SPHERE_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QUILLET_TRACE_SPHERE_LANES_INL_H_
#undef QUILLET_TRACE_SPHERE_LANES_INL_H_
#else
#define QUILLET_TRACE_SPHERE_LANES_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "field/particle_field.h"
#include "hwy/highway.h"
#include "trace/cell_walk.h"
#include "trace/sphere_entry.h"
#include "trace/tab_choose.h"

HWY_BEFORE_NAMESPACE();
namespace quillet {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Calls on_lane(i) for each lane i of mask m, the lowest first, until it
// returns true (and then returns true).
template <class D, class Mask, class OnLane>
HWY_INLINE bool each_lane(D d, Mask m, OnLane on_lane) {
    while (!hn::AllFalse(d, m)) {
        const intptr_t lane = hn::FindFirstTrue(d, m);
        if (on_lane(lane)) return true;
        m = hn::AndNot(hn::FirstN(d, std::size_t(lane + 1)), m);
    }
    return false;
}

// The sphere test of sphere_entry.h (sphere_entry<from_scattering>: a start
// at a scattering point, where a particle is excluded, or elsewhere) on N
// spheres at once, one a lane, operation for operation.
template <bool from_scattering>
struct sphere_lanes {
    using DV = hn::ScalableTag<double>;
    using V = hn::Vec<DV>;
    using M = hn::Mask<DV>;
    DV D;
    V X0, Y0, Z0, UX, UY, UZ, zero, self_hit_v, two, start_rounding_v, reach, excluded_v;
    // The particle tables, in the grid's order.
    const double *wx, *wy, *wz, *wr2, *wr;

    sphere_lanes(const particle_field& field, double x0, double y0, double z0, const search_direction& d,
                 std::int32_t excluded)
        : X0(hn::Set(D, x0)), Y0(hn::Set(D, y0)), Z0(hn::Set(D, z0)), UX(hn::Set(D, d.ux)), UY(hn::Set(D, d.uy)),
          UZ(hn::Set(D, d.uz)), zero(hn::Zero(D)), self_hit_v(hn::Set(D, self_hit)), two(hn::Set(D, 2.0)),
          start_rounding_v(hn::Set(D, start_rounding)), reach(hn::Set(D, start_reach(from_scattering, x0, y0, z0))),
          // The excluded entry (-1: none).
          excluded_v(hn::Set(D, double(excluded >= 1 && excluded <= field.npart ? excluded : -1))),
          wx(field.xpart.data()), wy(field.ypart.data()), wz(field.zpart.data()), wr2(field.rpart2.data()),
          wr(field.rpart.data()) {}

    static std::int32_t lanes() { return std::int32_t(hn::Lanes(DV())); }

    // The lanes of the spheres of entries l0 .. l0 + N - 1 that the ray enters, at distance t > 0 (t set), among the
    // valid ones; the excluded particle never is.
    HWY_INLINE M met(std::int32_t l0, M valid, V& t) const {
        const V X = hn::LoadU(D, wx + l0), Y = hn::LoadU(D, wy + l0);
        const V Z = hn::LoadU(D, wz + l0), R2 = hn::LoadU(D, wr2 + l0);
        const V dx = hn::Sub(X0, X), dy = hn::Sub(Y0, Y), dz = hn::Sub(Z0, Z);
        const V dd = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
        const M m = hn::AndNot(hn::Eq(hn::Iota(D, double(l0)), excluded_v), valid);
        return entry(m, dx, dy, dz, dd, R2, [&]() HWY_ATTR { return hn::LoadU(D, wr + l0); }, t);
    }

    // The test itself: of the lanes m, those whose sphere the ray enters, at
    // distance t > 0 (t set), from the offsets start - centre (dx, dy, dz),
    // their squared length dd and the squared radius R2. The radius is
    // loaded (radius()) only where the ray's line meets a sphere ahead:
    // seldom any, and then the square root is not needed either.
    template <class Radius>
    HWY_INLINE M entry(M m, V dx, V dy, V dz, V dd, V R2, Radius radius, V& t) const {
        const V b = hn::Neg(hn::Add(hn::Add(hn::Mul(dx, UX), hn::Mul(dy, UY)), hn::Mul(dz, UZ)));
        const V disc = hn::Add(hn::Sub(hn::Mul(b, b), dd), R2);
        m = hn::AndNot(hn::Or(hn::Lt(b, zero), hn::Lt(disc, zero)), m);
        if (hn::AllFalse(D, m)) {
            t = zero;
            return m;
        }
        const V R = radius();
        // max_or_nan(0, disc): 0 where disc < 0, disc otherwise (NaN kept).
        t = hn::Sub(b, hn::Sqrt(hn::IfThenElse(hn::Lt(disc, zero), zero, disc)));
        const M near_self = hn::Le(t, hn::Mul(self_hit_v, R));
        M self = near_self;
        if constexpr (!from_scattering) {
            const V tol = hn::Add(reach, hn::Mul(start_rounding_v, R));
            const M on_or_inside = hn::Le(hn::Sub(dd, R2), hn::Mul(tol, hn::Add(hn::Mul(two, R), tol)));
            self = hn::Or(hn::Not(hn::Gt(t, zero)), hn::And(near_self, on_or_inside));
        }
        // A met sphere's value is t; t > 0 is the test every caller makes.
        return hn::And(hn::AndNot(self, m), hn::Gt(t, zero));
    }

    // The lanes of the spheres a nearly horizontal ray keeps: those reaching
    // into the heights [ztmin, ztmax] it sweeps.
    HWY_INLINE M swept(std::int32_t l0, M valid, double ztmin, double ztmax) const {
        const V Z = hn::LoadU(D, wz + l0), R = hn::LoadU(D, wr + l0);
        return hn::And(valid,
                       hn::And(hn::Le(hn::Sub(Z, R), hn::Set(D, ztmax)), hn::Ge(hn::Add(Z, R), hn::Set(D, ztmin))));
    }
};

// Fetches every cache line that holds a byte of [from, last].
HWY_INLINE void fetch_lines(const void* from, const void* last) {
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(last);
    for (std::uintptr_t a = reinterpret_cast<std::uintptr_t>(from) & ~std::uintptr_t(63); a <= end; a += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(a));
}

// The single-precision test of the shadow grid, one sphere a lane: whether
// a ray along (UX, UY, UZ) may meet the sphere whose centre lies at (cx, cy,
// cz) from the start point (squared distance cc) and whose widened radius,
// squared, is rr. It may unless the centre lies behind the start (b, the
// distance along the ray to the point nearest the centre, below `behind`)
// or farther from the ray's line than the widened radius, with room
// (shrink) for the test's own rounding.
template <class DF, class VF>
HWY_INLINE hn::Mask<DF> shadow_may_meet(DF, VF cx, VF cy, VF cz, VF cc, VF rr, VF UX, VF UY, VF UZ, VF behind,
                                        VF shrink, VF& b) {
    b = hn::Add(hn::Add(hn::Mul(cx, UX), hn::Mul(cy, UY)), hn::Mul(cz, UZ));
    return hn::And(hn::Ge(b, behind), hn::Le(hn::Sub(hn::Mul(cc, shrink), hn::Mul(b, b)), rr));
}

// That test for a ray from (x0, y0, z0) along d: the spheres it may meet, among those the horizontal stretch of
// length `run` (at most the grid's reach) from the start can reach. A sphere
// a search meets is entered within that stretch (where the stretch ends as
// the ray leaves the spheres' height range, or at a limit of the search), so
// its centre lies within its radius of the stretch, and its copy in the
// shadow grid within the margin more: only the cells of the stretch's
// bounding box, widened by the largest radius and the margin, are looked at.
// A sphere counts unless the test shows it lies behind the start point or
// farther from the ray's line than its widened radius, with room for the
// test's own rounding (at most 2^-18 of the squared distance): the test can
// only err toward "maybe". The spheres of a column's rows lie side by side,
// so each column is one run, read N at a time (the lanes past its end left
// out, so that every instruction set looks at the same spheres).
struct shadow_probe {
    using DF = hn::ScalableTag<float>;
    using M = hn::Mask<DF>;
    DF D;
    const shadow_grid_t& g;
    std::int32_t i0, i1, j0, j1;  // the cells of the bounding box
    hn::Vec<DF> X0, Y0, Z0, UX, UY, UZ, behind, shrink;

    HWY_INLINE shadow_probe(const shadow_grid_t& grid, double x0, double y0, double z0, const search_direction& d,
                            double run)
        : g(grid), X0(hn::Set(D, float(x0))), Y0(hn::Set(D, float(y0))), Z0(hn::Set(D, float(z0))),
          UX(hn::Set(D, float(d.ux))), UY(hn::Set(D, float(d.uy))), UZ(hn::Set(D, float(d.uz))),
          shrink(hn::Set(D, 1.0f - 0x1p-17f)) {
        const double xe = x0 + run * d.ex, ye = y0 + run * d.ey;
        i0 = column(g, std::min(x0, xe) - g.pad);
        i1 = column(g, std::max(x0, xe) + g.pad);
        j0 = row(g, std::min(y0, ye) - g.pad);
        j1 = row(g, std::max(y0, ye) + g.pad);
        behind = hn::Set(D, g.behind);
    }

    // Fetches the runs of columns i0 .. i1 ahead of their tests: each
    // column's run is found in the cell starts, and each is a wait on memory
    // on a field larger than the caches; fetched together they wait once.
    HWY_INLINE void fetch() const { fetch_runs(g, i0, i1, j0, j1); }
    static HWY_INLINE void fetch_runs(const shadow_grid_t& g, std::int32_t c0, std::int32_t c1, std::int32_t r0,
                                      std::int32_t r1) {
        for (std::int32_t i = c0; i <= c1; ++i) {
            const std::int32_t* first = g.first.data() + std::size_t(i) * g.ny;
            const std::size_t begin = std::size_t(first[r0]), end = std::size_t(first[r1 + 1]);
            if (begin >= end) continue;
            fetch_lines(g.xy.data() + 2 * begin, g.xy.data() + 2 * end - 1);
            fetch_lines(g.zr.data() + 2 * begin, g.zr.data() + 2 * end - 1);
            fetch_lines(g.place_cell.data() + 2 * begin, g.place_cell.data() + 2 * end - 1);
        }
    }

    static std::int32_t cell(double q, std::int32_t n) {
        return !(q >= 0.0) ? 0 : q >= n - 1 ? n - 1 : std::int32_t(q);
    }
    static std::int32_t column(const shadow_grid_t& g, double x) { return cell((x - g.x0) * g.rwidth, g.nx); }
    static std::int32_t row(const shadow_grid_t& g, double y) { return cell((y - g.y0) * g.rheight, g.ny); }

    // The lanes of spheres l .. l + N - 1 the ray may meet.
    HWY_INLINE M maybe(std::int32_t l) const {
        hn::Vec<DF> x, y, z, rr;
        hn::LoadInterleaved2(D, g.xy.data() + 2 * std::size_t(l), x, y);
        hn::LoadInterleaved2(D, g.zr.data() + 2 * std::size_t(l), z, rr);
        const auto cx = hn::Sub(x, X0), cy = hn::Sub(y, Y0), cz = hn::Sub(z, Z0);
        const auto cc = hn::Add(hn::Add(hn::Mul(cx, cx), hn::Mul(cy, cy)), hn::Mul(cz, cz));
        hn::Vec<DF> b;
        return shadow_may_meet(D, cx, cy, cz, cc, rr, UX, UY, UZ, behind, shrink, b);
    }

    // The spheres of column i's run, N at a time, to on_lanes(l, maybe),
    // which ends the run by returning true (and then this returns true).
    // Sphere `skip` (>= 0) is left out.
    template <class OnLanes>
    HWY_INLINE bool each_run(std::int32_t i, OnLanes on_lanes, std::int32_t skip = -1) const {
        const std::int32_t* first = g.first.data() + std::size_t(i) * g.ny;
        const std::int32_t end = first[j1 + 1], N = std::int32_t(hn::Lanes(D));
        const hn::RebindToSigned<DF> DI;
        for (std::int32_t l = first[j0]; l < end; l += N) {
            M m = hn::And(maybe(l), hn::FirstN(D, std::size_t(end - l)));
            if (skip >= 0) m = hn::AndNot(hn::RebindMask(D, hn::Eq(hn::Iota(DI, l), hn::Set(DI, skip))), m);
            if (!hn::AllFalse(D, m) && on_lanes(l, m)) return true;
        }
        return false;
    }
};

inline double run_in_layer(const particle_field& field, double z0, const search_direction& d) {
    return quillet::run_in_layer(field, z0, d.uz, d.iu[2], d.h);
}

// The entry of shadow-grid sphere q when it is a sphere of the box's own
// table (a copy at its own place) other than the excluded particle; -1
// otherwise. The sphere's walk cell, whose test follows when the ray meets
// the sphere, is fetched along with the sphere.
HWY_INLINE std::int32_t table_place(const particle_field& field, std::size_t q, std::int32_t excluded) {
    const std::int32_t p = field.shadow.place_cell[2 * q];
    if (p < 0 || p == excluded) return -1;
    const char* cell = reinterpret_cast<const char*>(&field.walk.cells[field.shadow.place_cell[2 * q + 1]]);
    fetch_lines(cell, cell + sizeof(walk_cell_t) - 1);
    return p;
}

}  // namespace HWY_NAMESPACE
}  // namespace quillet
HWY_AFTER_NAMESPACE();

#endif
