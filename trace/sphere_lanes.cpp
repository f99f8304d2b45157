// The ray searches that test the spheres of each visited cell in the same
// pass (tab_choose_test), with the spheres of a cell tested several at a time
// in vector lanes. The file is compiled once for each instruction set
// Highway can target (SSSE3, SSE4, AVX2, AVX-512 and a portable fallback);
// the best one the processor has is chosen at start-up, or the one
// choose_search_target names. Every lane computes what the scalar sphere test
// computes, operation for operation (no fused multiply-add: the build keeps
// multiplications and additions apart), so each instruction set gives the
// same answers, bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "trace/sphere_lanes.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "hwy/highway.h"
#include "trace/cell_walk-inl.h"
#include "trace/cell_walk.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/search_targets.h"
#include "trace/sphere_entry.h"
#include "trace/tab_choose.h"
#include "trace/search_scratch.h"
#include "trace/trace_records.h"

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

// The sphere test of sphere_entry.h on the spheres at places l0 .. l0 + N - 1
// of the sphere tables (N lanes) at once: sphere_entry_from_scattering when
// a particle is excluded (the search starts at a scattering point),
// sphere_entry_unbranched otherwise.
template <bool from_scattering>
struct sphere_lanes {
    using DV = hn::ScalableTag<double>;
    using V = hn::Vec<DV>;
    using M = hn::Mask<DV>;
    DV D;
    V X0, Y0, Z0, UX, UY, UZ, zero, self_hit_v, two, start_rounding_v, reach, excluded_v;
    // The walk grid's sphere tables.
    const double *wx, *wy, *wz, *wr2, *wr;

    sphere_lanes(const particle_field& field, double x0, double y0, double z0, const search_direction& d,
                 std::int32_t excluded)
        : X0(hn::Set(D, x0)), Y0(hn::Set(D, y0)), Z0(hn::Set(D, z0)), UX(hn::Set(D, d.ux)), UY(hn::Set(D, d.uy)),
          UZ(hn::Set(D, d.uz)), zero(hn::Zero(D)), self_hit_v(hn::Set(D, self_hit)), two(hn::Set(D, 2.0)),
          start_rounding_v(hn::Set(D, start_rounding)), reach(hn::Set(D, start_reach(from_scattering, x0, y0, z0))),
          // The excluded particle's place in the sphere tables (-1: none there).
          excluded_v(hn::Set(D, double(excluded >= 1 && excluded <= field.npart ? field.walk.place[excluded] : -1))),
          wx(field.walk.x.data()), wy(field.walk.y.data()), wz(field.walk.z.data()), wr2(field.walk.r2.data()),
          wr(field.walk.r.data()) {}

    static std::int32_t lanes() { return std::int32_t(hn::Lanes(DV())); }

    // The lanes whose sphere the ray enters, at distance t > 0 (t set), among
    // the valid ones; the excluded particle never is.
    HWY_INLINE M met(std::int32_t l0, M valid, V& t) const {
        const V X = hn::LoadU(D, wx + l0), Y = hn::LoadU(D, wy + l0);
        const V Z = hn::LoadU(D, wz + l0), R2 = hn::LoadU(D, wr2 + l0);
        const V dx = hn::Sub(X0, X), dy = hn::Sub(Y0, Y), dz = hn::Sub(Z0, Z);
        const V b = hn::Neg(hn::Add(hn::Add(hn::Mul(dx, UX), hn::Mul(dy, UY)), hn::Mul(dz, UZ)));
        const V dd = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
        const V disc = hn::Add(hn::Sub(hn::Mul(b, b), dd), R2);
        // The spheres ahead that the ray's line meets: seldom any, and then
        // the square root is not needed.
        M m = hn::AndNot(hn::Or(hn::Lt(b, zero), hn::Lt(disc, zero)), valid);
        m = hn::AndNot(hn::Eq(hn::Iota(D, double(l0)), excluded_v), m);
        if (hn::AllFalse(D, m)) {
            t = zero;
            return m;
        }
        return entered(m, b, disc, dd, R2, hn::LoadU(D, wr + l0), t);
    }

    // Of the lanes m whose sphere lies ahead (b >= 0) and whose line the ray
    // meets (disc >= 0), those it enters at t > 0 (t set), by the self-hit
    // rule of the start point.
    HWY_INLINE M entered(M m, V b, V disc, V dd, V R2, V R, V& t) const {
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

// The single-precision test of the shadow grid for a ray from (x0, y0, z0)
// along d: the spheres it may meet, among those the horizontal stretch of
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
        const auto b = hn::Add(hn::Add(hn::Mul(cx, UX), hn::Mul(cy, UY)), hn::Mul(cz, UZ));
        return hn::And(hn::Ge(b, behind),
                       hn::Le(hn::Sub(hn::Mul(cc, shrink), hn::Mul(b, b)), rr));
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

// The place in the walk grid's sphere tables of shadow-grid sphere q when it
// is a sphere of the box's own table (a copy at its own place) other than
// the excluded particle; -1 otherwise. The sphere's walk cell, whose test
// follows when the ray meets the sphere, is fetched along with the sphere.
HWY_INLINE std::int32_t table_place(const particle_field& field, std::size_t q, std::int32_t excluded) {
    const std::int32_t p = field.shadow.place_cell[2 * q];
    if (p < 0) return -1;
    const char* cell = reinterpret_cast<const char*>(&field.walk.cells[field.shadow.place_cell[2 * q + 1]]);
    fetch_lines(cell, cell + sizeof(walk_cell_t) - 1);
    return field.walk.spheres[p].k != excluded ? p : -1;
}

// The nearest entry of a free path inside the box (t <= texit), as the
// walk finds it (below), among the spheres of the box's own table that the
// shadow grid's test cannot rule out, where the stretch of the ray to the
// box wall or the end of the layer (run) lies within the grid's reach: each
// is given the walk's sphere test and, when met, its cell's test; ties keep
// the smaller place. The columns are taken in the ray's direction, up to the
// first whose spheres can only be entered beyond the best entry so far.
// Returns the spheres tested.
template <bool from_scattering>
std::int32_t nearest_in_shadow_grid(const particle_field& field, double x0, double y0, double z0,
                                    const search_direction& d, const cell_ray& r, double run, double texit,
                                    std::int32_t excluded, std::int32_t& ipart, double& tmin) {
    const shadow_grid_t& g = field.shadow;
    const walk_grid_t& w = field.walk;
    const shadow_probe probe(field.shadow, x0, y0, z0, d, run);
    probe.fetch();
    const double reach = start_reach(from_scattering, x0, y0, z0);
    const double pad = g.pad;
    const double iex = d.h * d.iu[0];  // 1/ex
    const std::int32_t* own = g.own.data();
    std::int32_t tested = 0, best = -1;
    auto try_lanes = [&](std::int32_t l, auto maybe) HWY_ATTR {
        return each_lane(probe.D, maybe, [&](intptr_t lane) HWY_ATTR {
            const std::size_t q = std::size_t(l + lane);
            const std::int32_t p = table_place(field, q, excluded);
            if (p < 0) return false;
            const walk_sphere_t& e = w.spheres[p];
            tested += 1;
            const double t = from_scattering
                                 ? sphere_entry_from_scattering(e.x, e.y, e.z, e.r2, e.r, x0, y0, z0, d.ux, d.uy, d.uz)
                                 : sphere_entry_unbranched(e.x, e.y, e.z, e.r2, e.r, x0, y0, z0, d.ux, d.uy, d.uz, reach);
            if (t > 0.0 && t <= texit && (t < tmin || (t == tmin && best >= 0 && p < best)) &&
                walk_cell_passes(field, e.cell, r, std::numeric_limits<double>::infinity())) {
                ipart = e.k;
                tmin = t;
                best = p;
                // The scattering reads the particle met next from tables of
                // its own, and its shadow tests its entry in the shadow grid
                // and, when a ray meets a copy of it, its radius and
                // original: fetched while the search goes on.
                __builtin_prefetch(&field.itype[e.k]);
                __builtin_prefetch(&field.xpart[e.k]);
                __builtin_prefetch(&field.ypart[e.k]);
                __builtin_prefetch(&field.zpart[e.k]);
                __builtin_prefetch(&field.rpart[e.k]);
                __builtin_prefetch(&field.iorig[e.k]);
                __builtin_prefetch(own + e.k);
            }
            return false;
        });
    };
    const std::int32_t di = d.ex < 0.0 ? -1 : 1;
    for (std::int32_t i = di > 0 ? probe.i0 : probe.i1; di > 0 ? i <= probe.i1 : i >= probe.i0; i += di) {
        if (d.ex != 0.0) {
            // The column's spheres are entered no nearer than its near edge, less pad.
            const double edge = di > 0 ? g.x0 + i * g.width - pad : g.x0 + (i + 1) * g.width + pad;
            if ((edge - x0) * iex > std::min(tmin, texit) * d.h * (1.0 + 1.0e-9)) break;
        }
        probe.each_run(i, try_lanes);
    }
    return tested;
}

// The search of one slice along the walk.
template <bool from_scattering>
std::int32_t search_cells(const particle_field& field, double x0, double y0, double z0, const search_direction& d,
                          const cell_ray& r, std::int32_t mode, double texit, std::int32_t excluded,
                          std::int32_t& ipart, double& tmin, search_scratch& s) {
    std::int32_t tested = 0;
    // A free path first tries the shadow grid (the walk's lanes are set up
    // only where it is needed).
    if (mode < 2 && field.shadow.ready && !r.flat && d.uz != 0.0 && !s.settings.full_scan) {
        const shadow_grid_t& g = field.shadow;
        const double run = std::min(run_in_layer(field, z0, d), std::min(tmin, texit) * d.h * (1.0 + 1.0e-9));
        if (run + g.pad <= g.reach)
            return nearest_in_shadow_grid<from_scattering>(field, x0, y0, z0, d, r, run, texit, excluded, ipart, tmin);
        // A longer stretch: the nearest entry within the reach (less the
        // largest radius) of the start is the nearest of all, as every
        // sphere entered nearer lies within the reach too. Where there is
        // none, the walk searches the whole stretch.
        const double cut = g.reach - g.pad;
        std::int32_t near_part = ipart;
        double near_t = tmin;
        tested = nearest_in_shadow_grid<from_scattering>(
            field, x0, y0, z0, d, r, cut, std::min(texit, cut / (d.h * (1.0 + 1.0e-6))), excluded, near_part, near_t);
        if (near_t < tmin) {
            ipart = near_part;
            tmin = near_t;
            return tested;
        }
    }
    using L = sphere_lanes<from_scattering>;
    using V = typename L::V;
    const L lanes(field, x0, y0, z0, d, excluded);
    const typename L::DV D;
    const std::int32_t N = L::lanes();
    HWY_ALIGN double tl[walk_lanes];

    // The spheres of cell c (one the walk hands over: it passed the cell
    // test), N at a time from place l0: valid, those a nearly
    // horizontal ray keeps; met, those it enters, at distances t.
    // on_lanes(l0, valid, met, t) returns true to end the walk.
    auto each_lanes = [&](std::int32_t c, auto on_lanes) HWY_ATTR __attribute__((always_inline)) {
        const std::int32_t first = field.walk.first[c], count = field.walk.count[c];
        for (std::int32_t o = 0; o < count; o += N) {
            const std::int32_t l0 = first + o;
            auto valid = hn::FirstN(D, std::size_t(count - o));
            if (r.flat) valid = lanes.swept(l0, valid, s.ztmin, s.ztmax);
            V t;
            const auto met = lanes.met(l0, valid, t);
            if (on_lanes(l0, valid, met, t)) return true;
        }
        return false;
    };
    // Occlusion: the first particle met (in the walk's order) ends the walk;
    // the spheres of its cell up to it count as tested.
    auto first_met = [&](std::int32_t c) HWY_ATTR __attribute__((always_inline)) {
        return each_lanes(c, [&](std::int32_t l0, auto valid, auto met, V t) HWY_ATTR __attribute__((always_inline)) {
            const intptr_t i = hn::FindFirstTrue(D, met);
            if (i < 0) {
                tested += std::int32_t(hn::CountTrue(D, valid));
                return false;
            }
            tested += std::int32_t(hn::CountTrue(D, hn::And(valid, hn::FirstN(D, std::size_t(i + 1)))));
            hn::Store(t, D, tl);
            ipart = field.walk.k[l0 + i];
            tmin = tl[i];
            return true;
        });
    };
    auto unlimited = []() __attribute__((always_inline)) { return std::numeric_limits<double>::infinity(); };
    if (mode == 2) {
        walk_hit_cells(field, r, walk_order::hits_in_cell_order, first_met, unlimited, unlimited);
    } else if (mode >= 3) {
        walk_hit_cells(field, r, walk_order::hits_along_ray, first_met, unlimited, unlimited);
    } else {
        // The nearest entry inside the box; ties keep the earlier candidate
        // in list order (the smaller place in the sphere tables, which hold
        // the cells in cell order). The cells are visited along the ray, and
        // the walk ends where no cell can hold an entry nearer than the best
        // one so far or inside the box.
        std::int32_t best = -1;
        const V TEXIT = hn::Set(D, texit);
        walk_hit_cells(
            field, r, walk_order::hits_along_ray,
            [&](std::int32_t c) HWY_ATTR __attribute__((always_inline)) {
                return each_lanes(c,
                                  [&](std::int32_t l0, auto valid, auto met, V t) HWY_ATTR __attribute__((always_inline)) {
                                      tested += std::int32_t(hn::CountTrue(D, valid));
                                      const auto inside = hn::And(met, hn::Le(t, TEXIT));
                                      if (hn::AllFalse(D, inside)) return false;
                                      hn::Store(hn::IfThenElse(inside, t, hn::Set(D, -1.0)), D, tl);
                                      for (std::int32_t i = 0; i < N; ++i) {
                                          const double ti = tl[i];
                                          const std::int32_t l = l0 + i;
                                          if (ti > 0.0 && (ti < tmin || (ti == tmin && best >= 0 && l < best))) {
                                              ipart = field.walk.k[l];
                                              tmin = ti;
                                              best = l;
                                          }
                                      }
                                      return false;
                                  });
            },
            [&]() __attribute__((always_inline)) { return std::min(tmin, texit) * r.h * (1.0 + 1.0e-9); },
            [&]() __attribute__((always_inline)) { return std::min(tmin, texit); });
    }
    return tested;
}

std::int32_t SearchCells(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                         const search_direction& d, std::int32_t mode, std::int32_t excluded, double texit,
                         std::int32_t& ipart, double& tmin) {
    s.ntab_calls += 1;
    cell_ray r;
    const bool ready = prepare_ray(field, x0, y0, z0, d, false, s, r);
    // Cells the shadow packet searched already (this slice only).
    r.skip_i0 = s.near_i0;
    r.skip_i1 = s.near_i1;
    r.skip_j0 = s.near_j0;
    r.skip_j1 = s.near_j1;
    s.near_i0 = 1;
    s.near_i1 = 0;
    if (!ready) return 0;
    // A search from a scattering point passes over every entry within the
    // self-hit distance (its reach is unlimited): its sphere test needs no
    // test of the start point, which saves about a tenth of a run's time.
    const std::int32_t tested =
        excluded != no_particle ? search_cells<true>(field, x0, y0, z0, d, r, mode, texit, excluded, ipart, tmin, s)
                                : search_cells<false>(field, x0, y0, z0, d, r, mode, texit, excluded, ipart, tmin, s);
    s.npot_sum += tested;
    return tested;
}

// The cells around a shadow packet's start point whose spheres are tested
// first, for every direction: the 3 x 3 cells nearest the start (columns
// i0..i1, rows j0..j1), or only the start point's own cell where those hold
// more spheres than the scratch keeps (the walk would test all of that cell's
// spheres anyway), or none (false) where that one holds more too. The
// spheres are put into the scratch as seen from the start point.
bool gather_near(const particle_field& field, double x0, double y0, double z0, std::int32_t excluded, std::int32_t& i0,
                 std::int32_t& i1, std::int32_t& j0, std::int32_t& j1, search_scratch& s) {
    const std::int32_t mx = field.mx, my = field.my;
    const grid_layout_t& g = field.layout;
    const walk_grid_t& w = field.walk;
    const double qx = (x0 - g.xtab0) * g.rdxtab, qy = (y0 - g.ytab0) * g.rdytab;
    const std::int32_t ic = !(qx >= 1.0) ? 1 : qx >= mx ? mx : std::int32_t(qx) + 1;  // NaN: 1
    const std::int32_t jc = !(qy >= 1.0) ? 1 : qy >= my ? my : std::int32_t(qy) + 1;
    auto held = [&](std::int32_t a0, std::int32_t a1, std::int32_t b0, std::int32_t b1) {
        std::int32_t n = 0;
        for (std::int32_t i = a0; i <= a1; ++i)
            n += w.first[(i - 1) * my + b1] + w.count[(i - 1) * my + b1] - w.first[(i - 1) * my + b0];
        return n;
    };
    constexpr std::int32_t room = search_scratch::near_capacity - walk_lanes;
    i0 = std::max(ic - 1, 1);
    i1 = std::min(ic + 1, mx);
    j0 = std::max(jc - 1, 1);
    j1 = std::min(jc + 1, my);
    if (held(i0, i1, j0, j1) > room) {
        i0 = i1 = ic;
        j0 = j1 = jc;
        if (held(i0, i1, j0, j1) > room) return false;
    }
    // The cells of a column lie side by side in the sphere tables: one run
    // of spheres per column, N at a time (the last lanes of a run are
    // overwritten by the next run, or lie past near_n).
    const hn::ScalableTag<double> D;
    const std::int32_t N = std::int32_t(hn::Lanes(D));
    const auto X0 = hn::Set(D, x0), Y0 = hn::Set(D, y0), Z0 = hn::Set(D, z0);
    const std::int32_t excluded_place = excluded >= 1 && excluded <= field.npart ? w.place[excluded] : -1;
    std::int32_t n = 0, excluded_q = -1;
    for (std::int32_t i = i0; i <= i1; ++i) {
        const std::int32_t begin = w.first[(i - 1) * my + j0];
        const std::int32_t end = w.first[(i - 1) * my + j1] + w.count[(i - 1) * my + j1];
        for (std::int32_t c = (i - 1) * my + j0, q = n; c <= (i - 1) * my + j1; ++c) {
            for (std::int32_t l = w.first[c]; l < w.first[c] + w.count[c]; ++l, ++q) {
                s.near_place[q] = l;
                s.near_cell[q] = c;
                if (l == excluded_place) excluded_q = q;
            }
        }
        for (std::int32_t l = begin; l < end; l += N) {
            const std::int32_t q = n + (l - begin);
            const auto dx = hn::Sub(X0, hn::LoadU(D, w.x.data() + l)), dy = hn::Sub(Y0, hn::LoadU(D, w.y.data() + l));
            const auto dz = hn::Sub(Z0, hn::LoadU(D, w.z.data() + l));
            hn::StoreU(dx, D, s.near_dx + q);
            hn::StoreU(dy, D, s.near_dy + q);
            hn::StoreU(dz, D, s.near_dz + q);
            hn::StoreU(hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz)), D, s.near_dd + q);
            hn::StoreU(hn::LoadU(D, w.r2.data() + l), D, s.near_r2 + q);
            hn::StoreU(hn::LoadU(D, w.r.data() + l), D, s.near_r + q);
        }
        n += end - begin;
    }
    s.near_n = n;
    // The excluded particle is never met: an infinite squared distance.
    if (excluded_q >= 0) s.near_dd[excluded_q] = std::numeric_limits<double>::infinity();
    return true;
}

// The first box of a shadow ray, searched among the spheres gather_near put
// into the scratch: the sphere test of sphere_entry.h, with the offsets and
// squared distances computed once for all the directions. A sphere met
// counts when its cell passes the walk's cell test for this ray, as in the
// walk. Returns the particle met, or 0.
template <bool from_scattering>
std::int32_t near_blocker(const particle_field& field, double x0, double y0, double z0, const search_direction& d,
                          std::int32_t& tested, search_scratch& s) {
    using L = sphere_lanes<from_scattering>;
    using V = typename L::V;
    const L lanes(field, x0, y0, z0, d, no_particle);  // the excluded particle is never met here (dd infinite)
    const typename L::DV D;
    const std::int32_t N = L::lanes();
    cell_ray r;
    if (!prepare_ray(field, x0, y0, z0, d, false, s, r)) return 0;
    const V zero = hn::Zero(D);
    const std::int32_t n = s.near_n;
    for (std::int32_t l0 = 0; l0 < n; l0 += N) {
        const auto valid = hn::FirstN(D, std::size_t(n - l0));
        const V dx = hn::LoadU(D, s.near_dx + l0), dy = hn::LoadU(D, s.near_dy + l0), dz = hn::LoadU(D, s.near_dz + l0);
        const V dd = hn::LoadU(D, s.near_dd + l0), R2 = hn::LoadU(D, s.near_r2 + l0);
        const V b = hn::Neg(hn::Add(hn::Add(hn::Mul(dx, lanes.UX), hn::Mul(dy, lanes.UY)), hn::Mul(dz, lanes.UZ)));
        const V disc = hn::Add(hn::Sub(hn::Mul(b, b), dd), R2);
        auto met = hn::AndNot(hn::Or(hn::Lt(b, zero), hn::Lt(disc, zero)), valid);
        if (!hn::AllFalse(D, met)) {
            V t;
            met = lanes.entered(met, b, disc, dd, R2, hn::LoadU(D, s.near_r + l0), t);
            std::int32_t hit = 0;
            if (each_lane(D, met, [&](intptr_t lane) HWY_ATTR {
                    const std::int32_t q = l0 + std::int32_t(lane);
                    if (!walk_cell_passes(field, s.near_cell[q], r, std::numeric_limits<double>::infinity()))
                        return false;
                    // The spheres up to this one count as tested (the valid
                    // lanes come first), whatever the number of lanes.
                    tested += std::int32_t(lane) + 1;
                    hit = field.walk.k[s.near_place[q]];
                    return true;
                }))
                return hit;
        }
        tested += std::int32_t(hn::CountTrue(D, valid));
    }
    return 0;
}

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
            const walk_sphere_t& e = field.walk.spheres[p];
            tested += 1;
            if (!prepared) prepared = prepare_ray(field, x0, y0, z0, d, false, s, r);
            if (sphere_entry_from_scattering(e.x, e.y, e.z, e.r2, e.r, x0, y0, z0, d.ux, d.uy, d.uz) > 0.0 &&
                walk_cell_passes(field, e.cell, r, std::numeric_limits<double>::infinity())) {
                answer = {way_state::blocked, e.k};
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
    auto maybe = [&](auto cx, auto cy, auto cz, auto cc, auto rr, auto UX, auto UY, auto UZ, auto T) HWY_ATTR {
        const auto b = hn::Add(hn::Add(hn::Mul(cx, UX), hn::Mul(cy, UY)), hn::Mul(cz, UZ));
        return hn::And(hn::And(hn::Ge(b, behind), hn::Le(b, T)), hn::Le(hn::Sub(hn::Mul(cc, shrink), hn::Mul(b, b)), rr));
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

// A way the pre-test showed free, stepped through its boxes as the segment
// search steps it (path_segment, clear_way: the same wall code and slice
// count); most leave the layer in the first box, and are done here.
void step_clear_way(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                    const search_direction& d, std::int32_t excluded, std::int32_t& wall) {
    double twall[5], t;
    const std::int32_t w = first_wall(field, x0, y0, d, twall, t);
    const double z = z0 + t * d.uz;
    if (t >= 0.0 && ((z > field.zmax && d.uz >= 0.0) || (z < field.zmin && d.uz <= 0.0))) {
        s.ibox = 1;
        s.ntab_calls += 1;
        wall = w;
        return;
    }
    double x = x0, y = y0, zs = z0;
    path_segment(field, s, x, y, zs, d, wall, search_kind::clear_way, excluded);
}

void ShadowPacket(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                  std::int32_t excluded, std::int32_t n, const search_direction* dirs, const bool* wanted,
                  std::int32_t* blocker) {
    // Only whether the way is blocked counts, so any blocker will do, except
    // in a traced run, whose trace lists the searches as the list finds them.
    const std::int32_t mode = s.idebug >= 1 ? 2 : 3;
    const grid_layout_t& g = field.layout;
    // The cells around the start point are searched for all the directions
    // first, where the cell walk is the search (a laid-out grid, no full
    // scan, no trace); each direction's walk then passes over them.
    std::int32_t i0 = 1, i1 = 0, j0 = 1, j1 = 0;
    const bool walked =
        mode == 3 && s.settings.nboxvis >= 1 && field.mx > 1 && field.my > 1 && g.dtab_max > 0.0 &&
        !s.settings.full_scan;
    // Directions whose way the shadow grid shows free only step through
    // their boxes (the searches' count kept).
    const bool pretest = walked && field.shadow.ready;
    start_particle start{x0, y0, z0, excluded};
    int gathered = 0;  // 1: the cells around the start are gathered, -1: they cannot be
    // The way is blocked within the first slice search, by `particle`.
    auto blocked_in_first_slice = [&](std::int32_t k, std::int32_t particle) {
        s.ntab_calls += 1;
        blocker[k] = particle;
    };
    way_answer batch[batch_directions];
    std::int32_t batch_tested[batch_directions];
    const bool batched = pretest && excluded != no_particle && n >= batch_least;
    if (batched) pretest_packet(field, x0, y0, z0, start, n, dirs, wanted, batch, batch_tested, s);
    for (std::int32_t k = 0; k < n; ++k) {
        blocker[k] = 0;
        if (!wanted[k]) continue;
        if (pretest) {
            std::int32_t tested = 0;
            way_answer way{way_state::untried, 0};
            if (batched && k < batch_directions) {
                way = batch[k];
                tested = batch_tested[k];
            }
            if (way.state == way_state::untried) way = pretest_way(field, x0, y0, z0, dirs[k], start, tested, s);
            s.npot_sum += tested;
            if (way.state == way_state::free) {
                step_clear_way(field, s, x0, y0, z0, dirs[k], excluded, blocker[k]);
                continue;
            }
            if (way.state == way_state::blocked) {
                blocked_in_first_slice(k, way.particle);
                continue;
            }
        }
        if (walked && gathered == 0) gathered = gather_near(field, x0, y0, z0, excluded, i0, i1, j0, j1, s) ? 1 : -1;
        if (gathered == 1 && !dirs[k].flat) {
            std::int32_t tested = 0;
            const std::int32_t hit = excluded != no_particle
                                         ? near_blocker<true>(field, x0, y0, z0, dirs[k], tested, s)
                                         : near_blocker<false>(field, x0, y0, z0, dirs[k], tested, s);
            s.npot_sum += tested;
            if (hit >= 1) {
                blocked_in_first_slice(k, hit);
                continue;
            }
            s.near_i0 = i0;
            s.near_i1 = i1;
            s.near_j0 = j0;
            s.near_j1 = j1;
        }
        double x = x0, y = y0, z = z0;
        path_segment(field, s, x, y, z, dirs[k], blocker[k], search_kind(mode), excluded);
        s.near_i0 = 1;
        s.near_i1 = 0;
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

#if HWY_ONCE
namespace quillet {

HWY_EXPORT(SearchCells);
HWY_EXPORT(ShadowPacket);
HWY_EXPORT(ShadowPretest);

namespace {

// The table index of target (a single HWY_* bit) in a dispatch table, or -1
// when the table has no entry for it.
int table_index(std::int64_t target) {
    const std::int64_t bit = target == HWY_EMU128 || target == HWY_SCALAR ? HWY_CHOSEN_TARGET_MASK_SCALAR
                                                                            : HWY_CHOSEN_TARGET_SHIFT(target);
    return bit == 0 ? -1 : int(hwy::Num0BitsBelowLS1Bit_Nonzero64(std::uint64_t(bit)));
}

// The searches compiled for one instruction set.
struct search_kernels {
    std::int64_t target = 0;
    decltype(&HWY_STATIC_DISPATCH(SearchCells)) cells = nullptr;
    decltype(&HWY_STATIC_DISPATCH(ShadowPacket)) packet = nullptr;
    decltype(&HWY_STATIC_DISPATCH(ShadowPretest)) pretest = nullptr;
};

bool kernels_for(std::int64_t target, search_kernels& k) {
    // A build for one instruction set only (HWY_COMPILE_ONLY_STATIC) has a
    // table of one entry, for that one.
    constexpr std::size_t entries = std::size(HWY_DISPATCH_TABLE(SearchCells));
    const int i = entries == 1 ? (target == HWY_STATIC_TARGET ? 0 : -1) : table_index(target);
    if (i < 0 || std::size_t(i) >= entries) return false;
    const search_kernels found{target, HWY_DISPATCH_TABLE(SearchCells)[i], HWY_DISPATCH_TABLE(ShadowPacket)[i],
                               HWY_DISPATCH_TABLE(ShadowPretest)[i]};
    if (!found.cells || !found.packet || !found.pretest) return false;
    k = found;
    return true;
}

// The instruction sets this processor runs that the searches were compiled
// for, best first.
std::vector<std::int64_t> runnable_targets() {
    std::vector<std::int64_t> out;
    search_kernels k;
    for (std::int64_t t : hwy::SupportedAndGeneratedTargets())
        if (kernels_for(t, k)) out.push_back(t);
    return out;
}

// The searches in use: the best the processor runs, chosen once when the
// program is loaded (a plain variable: the searches call through it without
// a guard).
search_kernels chosen = [] {
    search_kernels best{HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(SearchCells), &HWY_STATIC_DISPATCH(ShadowPacket),
                        &HWY_STATIC_DISPATCH(ShadowPretest)};
    for (std::int64_t t : runnable_targets())
        if (kernels_for(t, best)) break;
    return best;
}();

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
    return out;
}

}  // namespace

std::int32_t tab_choose_test(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                             const search_direction& d, search_kind kind, std::int32_t excluded, double texit,
                             std::int32_t& ipart, double& tmin) {
    return chosen.cells(field, s, x0, y0, z0, d, std::int32_t(kind), excluded, texit, ipart, tmin);
}

void shadow_packet(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                   std::int32_t excluded, std::int32_t n, const search_direction* dirs, const bool* wanted,
                   std::int32_t* blocker) {
    chosen.packet(field, s, x0, y0, z0, excluded, n, dirs, wanted, blocker);
}

std::int32_t shadow_pretest(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                            const search_direction& d, std::int32_t excluded) {
    return chosen.pretest(field, s, x0, y0, z0, d, excluded);
}

std::vector<std::string> search_target_names() {
    std::vector<std::string> out;
    for (std::int64_t t : runnable_targets()) out.push_back(lower(hwy::TargetName(t)));
    return out;
}

std::string search_target_name() { return lower(hwy::TargetName(chosen.target)); }

bool choose_search_target(std::string_view name) {
    for (std::int64_t t : runnable_targets()) {
        if (lower(hwy::TargetName(t)) == lower(name)) return kernels_for(t, chosen);
    }
    return false;
}

}  // namespace quillet
#endif  // HWY_ONCE
