// The slice search that tests the spheres of each visited cell in the same
// pass (tab_choose_test): a free path first among the shadow grid's
// candidates near its start, then along the cell walk, the spheres of a cell
// several at a time in vector lanes. Per instruction set, as
// sphere_lanes-inl.h.
#if defined(QUILLET_TRACE_WALK_SEARCH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QUILLET_TRACE_WALK_SEARCH_INL_H_
#undef QUILLET_TRACE_WALK_SEARCH_INL_H_
#else
#define QUILLET_TRACE_WALK_SEARCH_INL_H_
#endif

#include <algorithm>
#include <cstdint>
#include <limits>

#include "field/particle_field.h"
#include "hwy/highway.h"
#include "trace/cell_walk-inl.h"
#include "trace/cell_walk.h"
#include "trace/search_scratch.h"
#include "trace/sphere_entry.h"
#include "trace/sphere_lanes-inl.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

HWY_BEFORE_NAMESPACE();
namespace quillet {
namespace HWY_NAMESPACE {
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
            tested += 1;
            const double t = sphere_entry<from_scattering>(field.xpart[p], field.ypart[p], field.zpart[p],
                                                           field.rpart2[p], field.rpart[p], x0, y0, z0, d.ux, d.uy,
                                                           d.uz, reach);
            if (t > 0.0 && t <= texit && (t < tmin || (t == tmin && best >= 0 && p < best)) &&
                walk_cell_passes(field, g.place_cell[2 * q + 1], r, std::numeric_limits<double>::infinity())) {
                ipart = p;
                tmin = t;
                best = p;
                // The scattering reads the particle met next (its kind), and
                // its shadow tests its entry in the shadow grid and, when a
                // ray meets a copy of it, its original: fetched while the
                // search goes on.
                __builtin_prefetch(&field.itype[p]);
                __builtin_prefetch(&field.iorig[p]);
                __builtin_prefetch(own + p);
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
        const std::int32_t first = field.istart[c], count = field.nlist[c];
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
            ipart = l0 + std::int32_t(i);
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
        // in list order (the smaller entry: the tables hold the cells in
        // cell order). The cells are visited along the ray, and
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
                                              ipart = l;
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

}  // namespace HWY_NAMESPACE
}  // namespace quillet
HWY_AFTER_NAMESPACE();

#endif
