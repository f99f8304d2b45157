// The shadow tests of one scattering point toward many observer directions
// (shadow_packet): the pre-test first, then the spheres around the start
// point tested once for all directions, then each direction's segment
// search. Per instruction set, as sphere_lanes-inl.h.
#if defined(QUILLET_TRACE_SHADOW_PACKET_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QUILLET_TRACE_SHADOW_PACKET_INL_H_
#undef QUILLET_TRACE_SHADOW_PACKET_INL_H_
#else
#define QUILLET_TRACE_SHADOW_PACKET_INL_H_
#endif

#include <algorithm>
#include <cstdint>
#include <limits>

#include "field/particle_field.h"
#include "hwy/highway.h"
#include "trace/cell_walk.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/search_scratch.h"
#include "trace/shadow_pretest-inl.h"
#include "trace/sphere_lanes-inl.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

HWY_BEFORE_NAMESPACE();
namespace quillet {
namespace HWY_NAMESPACE {
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
    const double qx = (x0 - g.xtab0) * g.rdxtab, qy = (y0 - g.ytab0) * g.rdytab;
    const std::int32_t ic = !(qx >= 1.0) ? 1 : qx >= mx ? mx : std::int32_t(qx) + 1;  // NaN: 1
    const std::int32_t jc = !(qy >= 1.0) ? 1 : qy >= my ? my : std::int32_t(qy) + 1;
    auto held = [&](std::int32_t a0, std::int32_t a1, std::int32_t b0, std::int32_t b1) {
        std::int32_t n = 0;
        for (std::int32_t i = a0; i <= a1; ++i)
            n += field.istart[(i - 1) * my + b1] + field.nlist[(i - 1) * my + b1] - field.istart[(i - 1) * my + b0];
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
    const std::int32_t excluded_place = excluded >= 1 && excluded <= field.npart ? excluded : -1;
    std::int32_t n = 0, excluded_q = -1;
    for (std::int32_t i = i0; i <= i1; ++i) {
        const std::int32_t begin = field.istart[(i - 1) * my + j0];
        const std::int32_t end = field.istart[(i - 1) * my + j1] + field.nlist[(i - 1) * my + j1];
        for (std::int32_t c = (i - 1) * my + j0, q = n; c <= (i - 1) * my + j1; ++c) {
            for (std::int32_t l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l, ++q) {
                s.near_place[q] = l;
                s.near_cell[q] = c;
                if (l == excluded_place) excluded_q = q;
            }
        }
        for (std::int32_t l = begin; l < end; l += N) {
            const std::int32_t q = n + (l - begin);
            const auto dx = hn::Sub(X0, hn::LoadU(D, field.xpart.data() + l)),
                       dy = hn::Sub(Y0, hn::LoadU(D, field.ypart.data() + l));
            const auto dz = hn::Sub(Z0, hn::LoadU(D, field.zpart.data() + l));
            hn::StoreU(dx, D, s.near_dx + q);
            hn::StoreU(dy, D, s.near_dy + q);
            hn::StoreU(dz, D, s.near_dz + q);
            hn::StoreU(hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz)), D, s.near_dd + q);
            hn::StoreU(hn::LoadU(D, field.rpart2.data() + l), D, s.near_r2 + q);
            hn::StoreU(hn::LoadU(D, field.rpart.data() + l), D, s.near_r + q);
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
    const std::int32_t n = s.near_n;
    for (std::int32_t l0 = 0; l0 < n; l0 += N) {
        const auto valid = hn::FirstN(D, std::size_t(n - l0));
        const V dx = hn::LoadU(D, s.near_dx + l0), dy = hn::LoadU(D, s.near_dy + l0), dz = hn::LoadU(D, s.near_dz + l0);
        const V dd = hn::LoadU(D, s.near_dd + l0), R2 = hn::LoadU(D, s.near_r2 + l0);
        V t;
        const auto met =
            lanes.entry(valid, dx, dy, dz, dd, R2, [&]() HWY_ATTR { return hn::LoadU(D, s.near_r + l0); }, t);
        if (!hn::AllFalse(D, met)) {
            std::int32_t hit = 0;
            if (each_lane(D, met, [&](intptr_t lane) HWY_ATTR {
                    const std::int32_t q = l0 + std::int32_t(lane);
                    if (!walk_cell_passes(field, s.near_cell[q], r, std::numeric_limits<double>::infinity()))
                        return false;
                    // The spheres up to this one count as tested (the valid
                    // lanes come first), whatever the number of lanes.
                    tested += std::int32_t(lane) + 1;
                    hit = s.near_place[q];
                    return true;
                }))
                return hit;
        }
        tested += std::int32_t(hn::CountTrue(D, valid));
    }
    return 0;
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

}  // namespace HWY_NAMESPACE
}  // namespace quillet
HWY_AFTER_NAMESPACE();

#endif
