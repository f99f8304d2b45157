// quillet's ray searches against Intel Embree's on the same rays, in one
// program and one sitting: the recorded rays of bench_rays (free paths,
// shadow rays, packets of ten shadow rays from one point) on the benchmark
// field, searched by quillet (path_segment, shadow_packet) and by Embree on a
// scene of the same spheres (the field's particles and edge copies as the
// engine loads them, one sphere per particle entry, primitive k - 1 for
// particle k).
//
// The periodic cell: Embree searches the central cell's spheres, and the ray
// walks the boxes as path_segment walks them (the same wall distances, wall
// crossings, shear step, y fold, layer test and box limit 10^4), one Embree
// query per box, from the box's start point to its wall (tfar: an entry
// beyond the wall is the copy's, in the next box, as in quillet). A ray
// counts once, whatever the number of its boxes.
//
// The spheres are Embree's built-in points (RTC_GEOMETRY_TYPE_SPHERE_POINT,
// x y z r in single precision); its sphere test is exact enough here (the
// answers are checked below). quillet skips the particle a ray starts on and
// takes entries only (t > 0), and from a scattering point passes over an
// entry at the start point itself (a copy of its sphere); Embree does so
// either with a filter function (the start particle, exits, and entries
// within start_gap of a scattering point rejected: the same rule), or the
// usual way, without a filter, by starting the first box past the start
// particle (tnear), which misses the copies and grazing exits (its answers
// differ, below).
//
// Every ray is also searched by a plain scan of every sphere in long double
// (the reference); the program reports where quillet or Embree differs from
// it, and whether the reference marks the ray as one that single precision
// cannot decide (a sphere grazed, or two entries closer than the tolerance).
// Then each search is timed in turn, in thread CPU time, the order reversed
// every repetition; best and median rays/s of each.
//
//   bench_embree [--reps N] [--passes N] [--check | --no-check] [--only TEXT]
// --check: the answers only; fails when quillet differs from the reference
// anywhere, or Embree (with the filter) where single precision can decide.
// --no-check: the timings only (the answers do not change between sittings).
// --only TEXT: time only the searches whose name holds TEXT (for
// a profile).
// QUILLET_SIMD picks quillet's instruction set, as for the program.
#include <embree3/rtcore.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "bench/recorded_rays.h"
#include "trace/path_segment.h"
#include "trace/path_slice.h"
#include "trace/search_targets.h"
#include "trace/sphere_lanes.h"
#include "trace/tab_choose.h"
#include "trace/trace_records.h"

using namespace quillet;
using bench::ndir;
using bench::nrays;
using bench::ray;

namespace {

particle_field field;
search_scratch searches;
constexpr std::int32_t box_limit = 10000;
// quillet's self-hit rule in single precision: from a scattering point, an
// entry closer than this is the start point's own sphere (or its copy). The
// start point, rounded to single precision, lies up to about 2^-16 off the
// surface, and a ray leaving it at a grazing angle meets that surface again
// up to about 2^-8 away; no two spheres of the field come that close.
constexpr float start_gap = 1e-3f;
// Single precision's reach on this field: coordinates up to 130 round to
// 2^-16; a ray that passes a sphere's rim closer than this, or meets two
// spheres at entries closer than this, may go either way in Embree's test.
constexpr double fragile_gap = 1e-4;

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// One ray's answer: the particle entered (>= 1) or, for a ray that met none,
// the last wall code; the end point; the boxes walked.
struct answer {
    std::int32_t ipart = 0;
    double x = 0.0, y = 0.0, z = 0.0;
    std::int32_t boxes = 0;
    bool fragile = false;  // reference only: single precision may answer either way
    double chord = 0.0;    // reference only: half the chord of the sphere entered
};

// A ray that met no particle in box b, as path_segment moves it: to the wall
// (code `wall`, at distance t) and across it into the next box; false where
// it stops instead (it left the layer at the wall, not crossed; or box b was
// the last allowed, crossed).
bool cross_wall(double& x0, double& y0, double& z0, const search_direction& d, double t, std::int32_t wall,
                std::int32_t b) {
    x0 += t * d.ux;
    y0 += t * d.uy;
    z0 += t * d.uz;
    if ((z0 > field.zmax && d.uz >= 0.0) || (z0 < field.zmin && d.uz <= 0.0)) return false;
    switch (wall) {
        case -1: x0 -= field.xl2, y0 -= field.sy; break;
        case -2: x0 += field.xl2, y0 += field.sy; break;
        case -3: y0 -= field.yl2; break;
        case -4: y0 += field.yl2; break;
        default: break;
    }
    if (y0 > field.yl) y0 -= field.yl2;
    if (y0 < -field.yl) y0 += field.yl2;
    return b != box_limit;
}

// The box walk of path_segment around a search of one box: `box` gives the
// particle met (>= 1; t its entry) or 0 (no particle in this box), given the
// distance to the wall where the ray leaves the box (texit).
template <class Box>
answer walk(double x0, double y0, double z0, const search_direction& d, Box&& box) {
    answer a;
    for (std::int32_t b = 1;; ++b) {
        double twall[5], texit, t = 0.0;
        const std::int32_t wall = first_wall(field, x0, y0, d, twall, texit);
        a.ipart = box(x0, y0, z0, b == 1, texit, t);
        a.boxes = b;
        if (a.ipart >= 1) {
            x0 += t * d.ux;
            y0 += t * d.uy;
            z0 += t * d.uz;
            break;
        }
        a.ipart = wall;
        if (!cross_wall(x0, y0, z0, d, texit, wall, b)) break;
    }
    a.x = x0, a.y = y0, a.z = z0;
    return a;
}

// ---------------------------------------------------------------------------
// The reference: every sphere of the cell in long double, by the rule of
// quillet's searches: entries t > 0 only, the nearest (or any, for a shadow
// ray) up to the wall where the ray leaves the box, the start particle
// skipped in the first box and, from that scattering point, any entry closer
// than 10^-9 of a radius passed over as the start point's own sphere (a point
// folded into the cell lies on a copy of the particle it scattered on).
// (Entries beyond the wall are left to the next box: the table holds a copy
// of every sphere that reaches into the cell, but not of every sphere beyond
// a wall, so the nearest entry of the box's spheres wherever it lies can be
// a far one where a nearer sphere beyond the wall has no copy here. On these
// rays the unbounded rule takes a farther sphere on one free path in 10^5.)
answer reference(const ray& r, bool any) {
    search_direction d;
    prepare_direction(r.ux, r.uy, r.uz, d);
    bool fragile = false;
    long double chord = 0;
    answer a = walk(r.x, r.y, r.z, d, [&](double x0, double y0, double z0, bool first, double texit, double& t) {
        using ld = long double;
        ld best = 1e6L, second = 1e6L;
        std::int32_t hit = 0;
        for (std::int32_t k = 1; k <= field.npart; ++k) {
            if (first && k == r.excluded) continue;
            const ld dx = ld(x0) - field.xpart[k], dy = ld(y0) - field.ypart[k], dz = ld(z0) - field.zpart[k];
            const ld b = -(dx * ld(r.ux) + dy * ld(r.uy) + dz * ld(r.uz));
            if (b < 0) continue;
            const ld rk = field.rpart[k], dd = dx * dx + dy * dy + dz * dz;
            const ld p = std::sqrt(std::max(dd - b * b, ld(0)));
            const ld disc = b * b - dd + rk * rk;
            const ld te = b - std::sqrt(std::max(disc, ld(0)));
            // A rim passed within the gap, or an entry within the gap of the
            // start point that single precision cannot tell from it.
            if ((std::fabs(p - rk) < fragile_gap && te < best + fragile_gap) ||
                (disc >= 0 && te > 1e-9L * rk && te < (first ? ld(start_gap) : ld(fragile_gap))))
                fragile = true;
            if (disc < 0 || te <= (first ? 1e-9L * rk : ld(0)) || te > texit) continue;
            if (te < best) {
                second = best;
                best = te;
                hit = k;
                chord = std::sqrt(disc);
                if (any) break;
            } else if (te < second) {
                second = te;
            }
        }
        if (!any && hit >= 1 && second - best < fragile_gap) fragile = true;
        t = double(best);
        return hit;
    });
    a.fragile = fragile;
    a.chord = double(chord);
    return a;
}

// ---------------------------------------------------------------------------
// Embree: a scene of the field's spheres, with and without the filter.
struct excluding_context {
    RTCIntersectContext ctx;  // first: Embree hands the filter this pointer
    unsigned excluded;        // primitive skipped, in the first box (RTC_INVALID_GEOMETRY_ID: none)
    float self;               // entries closer than this are the start point's own sphere (0: none)
};

// quillet's rule in Embree's terms: a hit on the start particle, an exit (the
// ray leaving a sphere: normal along the ray), or, from a scattering point,
// an entry within single precision's reach of it (start_gap: the start
// particle's copy) is no hit.
void entries_only(const RTCFilterFunctionNArguments* a) {
    const auto* c = reinterpret_cast<const excluding_context*>(a->context);
    for (unsigned i = 0; i < a->N; ++i) {
        if (a->valid[i] != -1) continue;
        const unsigned prim = RTCHitN_primID(a->hit, a->N, i);
        const float ng = RTCHitN_Ng_x(a->hit, a->N, i) * RTCRayN_dir_x(a->ray, a->N, i) +
                         RTCHitN_Ng_y(a->hit, a->N, i) * RTCRayN_dir_y(a->ray, a->N, i) +
                         RTCHitN_Ng_z(a->hit, a->N, i) * RTCRayN_dir_z(a->ray, a->N, i);
        if (prim == c->excluded || ng > 0.0f || RTCRayN_tfar(a->ray, a->N, i) < c->self) a->valid[i] = 0;
    }
}

struct embree_scenes {
    RTCDevice device = nullptr;
    RTCScene filtered = nullptr, plain = nullptr;
    int native16 = 0, native8 = 0, native4 = 0;

    void fail(const char* what) {
        std::fprintf(stderr, "bench_embree: Embree: %s (error %d)\n", what, int(rtcGetDeviceError(device)));
        std::exit(1);
    }
    RTCScene build(bool filter) {
        RTCScene scene = rtcNewScene(device);
        rtcSetSceneBuildQuality(scene, RTC_BUILD_QUALITY_HIGH);
        RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_SPHERE_POINT);
        auto* v = static_cast<float*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4,
                                                              4 * sizeof(float), std::size_t(field.npart)));
        if (!v) fail("no vertex buffer");
        for (std::int32_t k = 1; k <= field.npart; ++k) {
            float* p = v + 4 * (k - 1);
            p[0] = float(field.xpart[k]), p[1] = float(field.ypart[k]), p[2] = float(field.zpart[k]);
            p[3] = float(field.rpart[k]);
        }
        rtcSetGeometryBuildQuality(g, RTC_BUILD_QUALITY_HIGH);
        if (filter) {
            rtcSetGeometryIntersectFilterFunction(g, entries_only);
            rtcSetGeometryOccludedFilterFunction(g, entries_only);
        }
        rtcCommitGeometry(g);
        rtcAttachGeometry(scene, g);
        rtcReleaseGeometry(g);
        rtcCommitScene(scene);
        if (rtcGetDeviceError(device) != RTC_ERROR_NONE) fail("the scene was not built");
        return scene;
    }
    embree_scenes() {
        // One build thread: the machine is shared, and the searches run on
        // the caller's thread anyway.
        device = rtcNewDevice("threads=1,set_affinity=0");
        if (!device) fail("no device");
        filtered = build(true);
        plain = build(false);
        native4 = int(rtcGetDeviceProperty(device, RTC_DEVICE_PROPERTY_NATIVE_RAY4_SUPPORTED));
        native8 = int(rtcGetDeviceProperty(device, RTC_DEVICE_PROPERTY_NATIVE_RAY8_SUPPORTED));
        native16 = int(rtcGetDeviceProperty(device, RTC_DEVICE_PROPERTY_NATIVE_RAY16_SUPPORTED));
    }
    ~embree_scenes() {
        rtcReleaseScene(filtered);
        rtcReleaseScene(plain);
        rtcReleaseDevice(device);
    }
};

embree_scenes* embree;

excluding_context make_context(bool coherent) {
    excluding_context c;
    rtcInitIntersectContext(&c.ctx);
    c.ctx.flags = coherent ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
    c.excluded = RTC_INVALID_GEOMETRY_ID;
    c.self = 0.0f;
    return c;
}

// The first box from a scattering point on `excluded`, or a later box.
void enter_box(excluding_context& c, bool first, std::int32_t excluded) {
    c.excluded = first ? unsigned(excluded - 1) : RTC_INVALID_GEOMETRY_ID;
    c.self = first ? start_gap : 0.0f;
}

// Embree's usual way without a filter: the first box starts past the start
// particle (beyond its exit where the ray crosses it) and a little further.
float start_past(std::int32_t k, double x0, double y0, double z0, const search_direction& d) {
    const double dx = x0 - field.xpart[k], dy = y0 - field.ypart[k], dz = z0 - field.zpart[k];
    const double b = -(dx * d.ux + dy * d.uy + dz * d.uz);
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + field.rpart[k] * field.rpart[k];
    return float(b > 0.0 && disc > 0.0 ? b + std::sqrt(disc) : 0.0) + start_gap;
}

void set_ray(RTCRay& q, double x, double y, double z, const search_direction& d, float tnear, double tfar) {
    q.org_x = float(x), q.org_y = float(y), q.org_z = float(z);
    q.dir_x = float(d.ux), q.dir_y = float(d.uy), q.dir_z = float(d.uz);
    q.tnear = tnear;
    q.tfar = float(tfar);
    q.time = 0.0f;
    q.mask = ~0u;
    q.id = 0;
    q.flags = 0;
}

// A free path: the nearest entry, box by box.
answer embree_free_path(const ray& r, const search_direction& d, bool filter) {
    excluding_context c = make_context(false);
    RTCScene scene = filter ? embree->filtered : embree->plain;
    return walk(r.x, r.y, r.z, d,
                [&](double x0, double y0, double z0, bool first, double texit, double& t) -> std::int32_t {
        enter_box(c, first, r.excluded);
        RTCRayHit q;
        set_ray(q.ray, x0, y0, z0, d, !filter && first ? start_past(r.excluded, x0, y0, z0, d) : 0.0f, texit);
        q.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        q.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &c.ctx, &q);
        if (q.hit.geomID == RTC_INVALID_GEOMETRY_ID) return 0;
        t = q.ray.tfar;
        return std::int32_t(q.hit.primID) + 1;
    });
}

// A shadow ray: blocked (ipart 1) or not, box by box.
answer embree_shadow(double x, double y, double z, std::int32_t excluded, const search_direction& d, bool filter) {
    excluding_context c = make_context(false);
    RTCScene scene = filter ? embree->filtered : embree->plain;
    return walk(x, y, z, d, [&](double x0, double y0, double z0, bool first, double texit, double&) -> std::int32_t {
        enter_box(c, first, excluded);
        RTCRay q;
        set_ray(q, x0, y0, z0, d, !filter && first ? start_past(excluded, x0, y0, z0, d) : 0.0f, texit);
        rtcOccluded1(scene, &c.ctx, &q);
        return q.tfar < 0.0f ? 1 : 0;
    });
}

// The packet's rays from one point, in Embree's packets of W lanes: each
// query takes the live rays' next box together (they walk their boxes in
// step, so the start particle is skipped for all of them in the first).
template <int W, class RayW>
void embree_packet(const ray& r, const search_direction* dirs, bool* blocked,
                   void (*occluded)(const int*, RTCScene, RTCIntersectContext*, RayW*)) {
    excluding_context c = make_context(true);
    for (int g = 0; g < ndir; g += W) {
        const int n = std::min(W, ndir - g);
        alignas(64) RayW q;
        alignas(64) int valid[W];
        double x[W], y[W], z[W], texit[W];
        std::int32_t wall[W];
        for (int i = 0; i < W; ++i) {
            valid[i] = i < n ? -1 : 0;
            x[i] = r.x, y[i] = r.y, z[i] = r.z;
            if (i < n) blocked[g + i] = false;
        }
        for (std::int32_t b = 1; std::any_of(valid, valid + W, [](int v) { return v != 0; }); ++b) {
            enter_box(c, b == 1, r.excluded);
            for (int i = 0; i < W; ++i) {
                const search_direction& d = dirs[g + std::min(i, n - 1)];
                double twall[5];
                wall[i] = first_wall(field, x[i], y[i], d, twall, texit[i]);
                q.org_x[i] = float(x[i]), q.org_y[i] = float(y[i]), q.org_z[i] = float(z[i]);
                q.dir_x[i] = float(d.ux), q.dir_y[i] = float(d.uy), q.dir_z[i] = float(d.uz);
                q.tnear[i] = 0.0f;
                q.tfar[i] = float(texit[i]);
                q.time[i] = 0.0f;
                q.mask[i] = ~0u;
                q.id[i] = unsigned(i);
                q.flags[i] = 0;
            }
            occluded(valid, embree->filtered, &c.ctx, &q);
            for (int i = 0; i < n; ++i) {
                if (!valid[i]) continue;
                if (q.tfar[i] < 0.0f) {
                    blocked[g + i] = true;
                    valid[i] = 0;
                    continue;
                }
                if (!cross_wall(x[i], y[i], z[i], dirs[g + i], texit[i], wall[i], b)) valid[i] = 0;
            }
        }
    }
}

// ... as Embree's stream of single rays (rtcOccluded1M), the live ones.
void embree_stream(const ray& r, const search_direction* dirs, bool* blocked) {
    excluding_context c = make_context(true);
    RTCRay q[ndir];
    int live[ndir], nlive = ndir;
    double x[ndir], y[ndir], z[ndir], texit[ndir];
    std::int32_t wall[ndir];
    for (int i = 0; i < ndir; ++i) live[i] = i, blocked[i] = false, x[i] = r.x, y[i] = r.y, z[i] = r.z;
    for (std::int32_t b = 1; nlive > 0; ++b) {
        enter_box(c, b == 1, r.excluded);
        for (int j = 0; j < nlive; ++j) {
            const int i = live[j];
            double twall[5];
            wall[i] = first_wall(field, x[i], y[i], dirs[i], twall, texit[i]);
            set_ray(q[j], x[i], y[i], z[i], dirs[i], 0.0f, texit[i]);
        }
        rtcOccluded1M(embree->filtered, &c.ctx, q, unsigned(nlive), sizeof(RTCRay));
        int m = 0;
        for (int j = 0; j < nlive; ++j) {
            const int i = live[j];
            if (q[j].tfar < 0.0f) {
                blocked[i] = true;
                continue;
            }
            if (cross_wall(x[i], y[i], z[i], dirs[i], texit[i], wall[i], b)) live[m++] = i;
        }
        nlive = m;
    }
}

// ---------------------------------------------------------------------------
// The searches as timed: each a pass over its 10^5 rays, giving a checksum of
// the answers (the particles met by the free paths; the blocked shadow rays).
struct rayset {
    const bench::recorded_rays* rec;
    std::vector<search_direction> free_dirs, shadow_dirs, packet_dirs;
};
rayset rs;

struct search_case {
    const char* name;
    const char* group;  // free, shadow, packet: the rays it searches
    std::function<double()> pass;
    std::vector<double> rates;
};

double quillet_free_paths() {
    double sum = 0.0;
    const auto& v = rs.rec->free_paths;
    for (std::size_t i = 0; i < v.size(); ++i) {
        double x = v[i].x, y = v[i].y, z = v[i].z;
        std::int32_t ipart = 0;
        path_segment(field, searches, x, y, z, rs.free_dirs[i], ipart, search_kind::free_path, v[i].excluded);
        sum += ipart >= 1 ? ipart : 0;
    }
    return sum;
}

double quillet_shadow_segment() {
    double sum = 0.0;
    const auto& v = rs.rec->shadows;
    for (std::size_t i = 0; i < v.size(); ++i) {
        double x = v[i].x, y = v[i].y, z = v[i].z;
        std::int32_t ipart = 0;
        path_segment(field, searches, x, y, z, rs.shadow_dirs[i], ipart, search_kind::any_blocker, v[i].excluded);
        sum += ipart >= 1 ? 1 : 0;
    }
    return sum;
}

double quillet_shadow_tests() {
    double sum = 0.0;
    const auto& v = rs.rec->shadows;
    const bool wanted = true;
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::int32_t hit = 0;
        shadow_packet(field, searches, v[i].x, v[i].y, v[i].z, v[i].excluded, 1, &rs.shadow_dirs[i], &wanted, &hit);
        sum += hit >= 1 ? 1 : 0;
    }
    return sum;
}

double quillet_packets() {
    double sum = 0.0;
    bool wanted[ndir];
    std::fill(wanted, wanted + ndir, true);
    for (int p = 0; p < nrays / ndir; ++p) {
        const ray& r = rs.rec->free_paths[std::size_t(p)];
        std::int32_t hit[ndir];
        shadow_packet(field, searches, r.x, r.y, r.z, r.excluded, ndir, &rs.packet_dirs[std::size_t(p) * ndir], wanted,
                      hit);
        for (int d = 0; d < ndir; ++d) sum += hit[d] >= 1 ? 1 : 0;
    }
    return sum;
}

double quillet_packet_one_by_one() {
    double sum = 0.0;
    for (int p = 0; p < nrays / ndir; ++p) {
        const ray& r = rs.rec->free_paths[std::size_t(p)];
        for (int d = 0; d < ndir; ++d) {
            double x = r.x, y = r.y, z = r.z;
            std::int32_t ipart = 0;
            path_segment(field, searches, x, y, z, rs.packet_dirs[std::size_t(p) * ndir + std::size_t(d)], ipart,
                         search_kind::any_blocker, r.excluded);
            sum += ipart >= 1 ? 1 : 0;
        }
    }
    return sum;
}

// (One function per variant, so that a profile tells them apart.)
template <bool filter>
double embree_free_paths() {
    double sum = 0.0;
    const auto& v = rs.rec->free_paths;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const answer a = embree_free_path(v[i], rs.free_dirs[i], filter);
        sum += a.ipart >= 1 ? a.ipart : 0;
    }
    return sum;
}

template <bool filter>
double embree_shadows() {
    double sum = 0.0;
    const auto& v = rs.rec->shadows;
    for (std::size_t i = 0; i < v.size(); ++i)
        sum += embree_shadow(v[i].x, v[i].y, v[i].z, v[i].excluded, rs.shadow_dirs[i], filter).ipart >= 1 ? 1 : 0;
    return sum;
}

// Packets of ten by Embree: W lanes (4, 8, 16), 1 (each ray alone,
// rtcOccluded1) or 0 (the stream).
template <int W, class RayW>
double embree_packets(void (*occluded)(const int*, RTCScene, RTCIntersectContext*, RayW*)) {
    double sum = 0.0;
    bool blocked[ndir];
    for (int p = 0; p < nrays / ndir; ++p) {
        const ray& r = rs.rec->free_paths[std::size_t(p)];
        embree_packet<W, RayW>(r, &rs.packet_dirs[std::size_t(p) * ndir], blocked, occluded);
        for (bool b : blocked) sum += b ? 1 : 0;
    }
    return sum;
}

double embree_packets_stream() {
    double sum = 0.0;
    bool blocked[ndir];
    for (int p = 0; p < nrays / ndir; ++p) {
        embree_stream(rs.rec->free_paths[std::size_t(p)], &rs.packet_dirs[std::size_t(p) * ndir], blocked);
        for (bool b : blocked) sum += b ? 1 : 0;
    }
    return sum;
}

double embree_packet_one_by_one() {
    double sum = 0.0;
    for (int p = 0; p < nrays / ndir; ++p) {
        const ray& r = rs.rec->free_paths[std::size_t(p)];
        for (int d = 0; d < ndir; ++d) {
            const search_direction& dir = rs.packet_dirs[std::size_t(p) * ndir + std::size_t(d)];
            sum += embree_shadow(r.x, r.y, r.z, r.excluded, dir, true).ipart >= 1 ? 1 : 0;
        }
    }
    return sum;
}

// ---------------------------------------------------------------------------
// The answers against the reference.
struct tally {
    explicit tally(const char* n) : name(n) {}
    const char* name;
    long differ = 0, differ_fragile = 0;
    double worst = 0.0;  // largest end-point distance where the particle agrees
    std::vector<std::size_t> first;
    void add(std::size_t i, bool same, bool fragile) {
        if (same) return;
        ++differ;
        if (fragile) ++differ_fragile;
        if (first.size() < 5) first.push_back(i);
    }
    void print(long n) const {
        std::printf("  %-52s differs on %ld of %ld (%ld of them fragile)", name, differ, n, differ_fragile);
        if (worst > 0.0) std::printf(", end points within %.2g", worst);
        if (!first.empty()) {
            std::printf("; rays");
            for (std::size_t i : first) std::printf(" %zu", i);
        }
        std::printf("\n");
    }
    long unexplained() const { return differ - differ_fragile; }
};

// Distance between two points of the periodic field: the shortest over the
// copies of the second, m (xl2, sy) + n (0, yl2) away.
double lattice_distance(const answer& a, double x, double y, double z) {
    double dx = a.x - x;
    const double m = std::nearbyint(dx / field.xl2);
    dx -= m * field.xl2;
    double dy = a.y - y - m * field.sy;
    dy -= std::nearbyint(dy / field.yl2) * field.yl2;
    return std::sqrt(dx * dx + dy * dy + (a.z - z) * (a.z - z));
}

// Whether a free path's answer is the reference's: the same sphere (the
// particle or a copy of it: quillet and Embree take an entry beyond the wall
// as the copy's, in the next box) at the same end point within `gap`, widened
// as the entry's rounding grows toward the rim (r / half the chord); or the
// same wall and end point for a ray that meets none.
bool same_free_path(const answer& ref, std::int32_t ipart, double x, double y, double z, double gap, double& off) {
    if ((ref.ipart >= 1) != (ipart >= 1)) return false;
    if (ipart >= 1 && field.iorig[std::size_t(ipart)] != field.iorig[std::size_t(ref.ipart)]) return false;
    if (ipart < 1 && ipart != ref.ipart) return false;
    off = lattice_distance(ref, x, y, z);
    const double widen = ipart >= 1 ? std::max(1.0, field.rpart[ipart] / std::max(ref.chord, 1e-30)) : 1.0;
    return off < gap * widen;
}

bool check_answers() {
    const auto& rec = *rs.rec;
    bool ok = true;

    std::printf("free paths (%d rays):\n", nrays);
    tally qf{"quillet (path_segment, free path)"}, ef{"Embree (rtcIntersect1, filter)"},
        en{"Embree (rtcIntersect1, no filter, tnear)"};
    long fragile = 0, boxes = 0;
    for (std::size_t i = 0; i < rec.free_paths.size(); ++i) {
        const ray& r = rec.free_paths[i];
        const answer ref = reference(r, false);
        fragile += ref.fragile;
        boxes += ref.boxes;
        double x = r.x, y = r.y, z = r.z, off = 0.0;
        std::int32_t ipart = 0;
        path_segment(field, searches, x, y, z, rs.free_dirs[i], ipart, search_kind::free_path, r.excluded);
        // quillet searches in double precision: its end points must agree to
        // the rounding of a few additions.
        const bool qsame = same_free_path(ref, ipart, x, y, z, 1e-9, off);
        if (qsame) qf.worst = std::max(qf.worst, off);
        qf.add(i, qsame, ref.fragile);
        if (!qsame && qf.differ <= 5)
            std::printf("    quillet ray %zu: %d at (%.9g %.9g %.9g), reference %d at (%.9g %.9g %.9g)%s\n", i, ipart,
                        x, y, z, ref.ipart, ref.x, ref.y, ref.z, ref.fragile ? " fragile" : "");
        for (bool filter : {true, false}) {
            tally& t = filter ? ef : en;
            const answer e = embree_free_path(r, rs.free_dirs[i], filter);
            const bool same = same_free_path(ref, e.ipart, e.x, e.y, e.z, fragile_gap, off);
            if (same) t.worst = std::max(t.worst, off);
            t.add(i, same, ref.fragile);
            if (!same && !ref.fragile && t.unexplained() <= 5)
                std::printf("    %s ray %zu: %d at (%.9g %.9g %.9g), reference %d at (%.9g %.9g %.9g), half chord %.3g\n",
                            t.name, i, e.ipart, e.x, e.y, e.z, ref.ipart, ref.x, ref.y, ref.z, ref.chord);
        }
    }
    std::printf("  reference: %ld rays fragile in single precision, %.3f boxes a ray\n", fragile,
                double(boxes) / nrays);
    for (const tally* t : {&qf, &ef, &en}) t->print(nrays);
    ok = ok && qf.differ == 0 && ef.unexplained() == 0;

    // Shadow rays: blocked or not. A ray's reference first, then each search.
    auto shadows = [&](const char* what, long n, auto&& ray_at, const char* qname, auto&& quillet_blocked,
                       bool packets) {
        std::printf("%s (%ld rays):\n", what, n);
        std::vector<answer> ref(std::size_t(n), answer{});
        long fragile = 0, blocked = 0, boxes = 0;
        for (long i = 0; i < n; ++i) {
            ref[std::size_t(i)] = reference(ray_at(i), true);
            fragile += ref[std::size_t(i)].fragile;
            blocked += ref[std::size_t(i)].ipart >= 1;
            boxes += ref[std::size_t(i)].boxes;
        }
        std::printf("  reference: %ld blocked, %ld rays fragile in single precision, %.3f boxes a ray\n", blocked,
                    fragile, double(boxes) / double(n));
        tally q{qname}, ef{"Embree (rtcOccluded1, filter)"}, en{"Embree (rtcOccluded1, no filter, tnear)"},
            ep{"Embree (rtcOccluded16 packets, filter)"};
        for (long i = 0; i < n; ++i) {
            const answer& a = ref[std::size_t(i)];
            const ray r = ray_at(i);
            search_direction d;
            prepare_direction(r.ux, r.uy, r.uz, d);
            q.add(std::size_t(i), quillet_blocked(i) == int(a.ipart >= 1), a.fragile);
            const bool bf = embree_shadow(r.x, r.y, r.z, r.excluded, d, true).ipart >= 1;
            const bool bn = embree_shadow(r.x, r.y, r.z, r.excluded, d, false).ipart >= 1;
            ef.add(std::size_t(i), bf == (a.ipart >= 1), a.fragile);
            en.add(std::size_t(i), bn == (a.ipart >= 1), a.fragile);
        }
        q.print(n);
        ef.print(n);
        en.print(n);
        if (packets) {
            for (long p = 0; p < n / ndir; ++p) {
                bool b[ndir];
                embree_packet<16, RTCRay16>(rec.free_paths[std::size_t(p)], &rs.packet_dirs[std::size_t(p * ndir)],
                                            b, rtcOccluded16);
                for (int k = 0; k < ndir; ++k) {
                    const answer& a = ref[std::size_t(p * ndir + k)];
                    ep.add(std::size_t(p * ndir + k), b[k] == (a.ipart >= 1), a.fragile);
                }
            }
            ep.print(n);
        }
        ok = ok && q.differ == 0 && ef.unexplained() == 0 && ep.unexplained() == 0;
    };

    const bool wanted = true;
    shadows("shadow rays", nrays, [&](long i) { return rec.shadows[std::size_t(i)]; },
            "quillet (shadow_packet of one; path_segment)", [&](long i) {
                const ray& r = rec.shadows[std::size_t(i)];
                const search_direction& d = rs.shadow_dirs[std::size_t(i)];
                std::int32_t hit = 0, ipart = 0;
                shadow_packet(field, searches, r.x, r.y, r.z, r.excluded, 1, &d, &wanted, &hit);
                double x = r.x, y = r.y, z = r.z;
                path_segment(field, searches, x, y, z, d, ipart, search_kind::any_blocker, r.excluded);
                // The two must agree; where they do not, quillet is wrong.
                return hit >= 1 && ipart >= 1 ? 1 : hit < 1 && ipart < 1 ? 0 : -1;
            },
            false);

    std::vector<std::int32_t> packet_hits(std::size_t(nrays / ndir * ndir));
    bool all[ndir];
    std::fill(all, all + ndir, true);
    for (int p = 0; p < nrays / ndir; ++p) {
        const ray& r = rec.free_paths[std::size_t(p)];
        shadow_packet(field, searches, r.x, r.y, r.z, r.excluded, ndir, &rs.packet_dirs[std::size_t(p) * ndir], all,
                      &packet_hits[std::size_t(p) * ndir]);
    }
    shadows("packet rays (ten per point)", nrays / ndir * ndir,
            [&](long i) {
                ray r = rec.free_paths[std::size_t(i / ndir)];
                r.ux = rec.ox[std::size_t(i)], r.uy = rec.oy[std::size_t(i)], r.uz = rec.oz[std::size_t(i)];
                return r;
            },
            "quillet (shadow_packet of ten)", [&](long i) { return packet_hits[std::size_t(i)] >= 1 ? 1 : 0; }, true);
    return ok;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 9, passes = 3;
    bool check_only = false, check = true;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (a == "--passes" && i + 1 < argc) {
            passes = std::atoi(argv[++i]);
        } else if (a == "--check") {
            check_only = true;
        } else if (a == "--no-check") {
            check = false;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_embree [--reps N] [--passes N] [--check | --no-check] [--only TEXT]\n");
            return 2;
        }
    }
    if (reps < 1 || passes < 1) {
        std::fprintf(stderr, "bench_embree: --reps and --passes take a whole number of at least 1\n");
        return 2;
    }
    if (const char* t = std::getenv("QUILLET_SIMD"); t && !choose_search_target(t)) {
        std::fprintf(stderr, "bench_embree: QUILLET_SIMD=%s is no instruction set of this machine\n", t);
        return 2;
    }
    bench::load_bench_field(field, QUILLET_SOURCE_DIR);
    searches = search_scratch(field, {box_limit, box_limit, -1, false});
    static const bench::recorded_rays rec = bench::record_rays(field);
    rs.rec = &rec;
    for (const ray& r : rec.free_paths) prepare_direction(r.ux, r.uy, r.uz, rs.free_dirs.emplace_back());
    for (const ray& r : rec.shadows) prepare_direction(r.ux, r.uy, r.uz, rs.shadow_dirs.emplace_back());
    for (std::size_t i = 0; i < rec.ox.size(); ++i)
        prepare_direction(rec.ox[i], rec.oy[i], rec.oz[i], rs.packet_dirs.emplace_back());

    const double t0 = thread_seconds();
    embree_scenes scenes;
    embree = &scenes;
    std::printf("Embree %s, %d spheres (%d particles and %d edge copies), two scenes built in %.3f s CPU;"
                " native packets of 4/8/16: %d/%d/%d; quillet's searches: %s\n",
                RTC_VERSION_STRING, field.npart, field.npartori, field.npart - field.npartori,
                thread_seconds() - t0, scenes.native4, scenes.native8, scenes.native16, search_target_name().c_str());

    const bool ok = !check || check_answers();
    if (check)
        std::printf("answers: %s\n", ok ? "quillet agrees with the reference on every ray; Embree wherever single "
                                          "precision can decide"
                                        : "DISAGREEMENTS (above)");
    if (check_only) return ok ? 0 : 1;

    std::vector<search_case> cases = {
        {"quillet path_segment (free path)", "free", quillet_free_paths, {}},
        {"Embree rtcIntersect1, filter", "free", embree_free_paths<true>, {}},
        {"Embree rtcIntersect1, no filter, tnear", "free", embree_free_paths<false>, {}},
        {"quillet shadow_packet of one (the peel-off's test)", "shadow", quillet_shadow_tests, {}},
        {"quillet path_segment (any blocker)", "shadow", quillet_shadow_segment, {}},
        {"Embree rtcOccluded1, filter", "shadow", embree_shadows<true>, {}},
        {"Embree rtcOccluded1, no filter, tnear", "shadow", embree_shadows<false>, {}},
        {"quillet shadow_packet of ten", "packet", quillet_packets, {}},
        {"quillet path_segment one by one (any blocker)", "packet", quillet_packet_one_by_one, {}},
        {"Embree rtcOccluded16, filter", "packet", [] { return embree_packets<16, RTCRay16>(rtcOccluded16); }, {}},
        {"Embree rtcOccluded8, filter", "packet", [] { return embree_packets<8, RTCRay8>(rtcOccluded8); }, {}},
        {"Embree rtcOccluded4, filter", "packet", [] { return embree_packets<4, RTCRay4>(rtcOccluded4); }, {}},
        {"Embree rtcOccluded1M (stream), filter", "packet", embree_packets_stream, {}},
        {"Embree rtcOccluded1 one by one, filter", "packet", embree_packet_one_by_one, {}},
    };
    std::erase_if(cases, [&](const search_case& c) { return std::string(c.name).find(only) == std::string::npos; });
    std::vector<double> checksum(cases.size());
    for (int rep = 0; rep < reps; ++rep) {
        for (std::size_t j = 0; j < cases.size(); ++j) {
            // Alternate: forward in even repetitions, backward in odd ones.
            const std::size_t c = rep % 2 ? cases.size() - 1 - j : j;
            double sum = 0.0;
            const double start = thread_seconds();
            for (int p = 0; p < passes; ++p) sum = cases[c].pass();
            const double cpu = thread_seconds() - start;
            checksum[c] = sum;
            cases[c].rates.push_back(double(nrays / ndir * ndir) * passes / cpu);
        }
    }
    std::printf("\nrays/s, thread CPU time, %d repetitions of %d passes over 10^5 rays (best, median):\n", reps,
                passes);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const auto& v = cases[c].rates;
        std::printf("  %-7s %-52s %7.3f  %7.3f  ·10^6/s  checksum %.0f\n", cases[c].group, cases[c].name,
                    *std::max_element(v.begin(), v.end()) * 1e-6, median(v) * 1e-6, checksum[c]);
    }
    // The searches of a run (a free path; the peel-off's test of one
    // direction, and of ten) over each of Embree's on the same rays, within
    // each repetition, where the two ran moments apart: these ratios move
    // less with the machine's load than those of the best or median rates.
    std::printf("\nquillet / Embree, the ratio of each repetition (median, least, greatest):\n");
    for (const search_case& q : cases) {
        const std::string qn = q.name;
        if (qn.find("(free path)") == std::string::npos && qn.find("shadow_packet") == std::string::npos) continue;
        for (const search_case& e : cases) {
            if (std::string(e.group) != q.group || std::string(e.name).rfind("Embree", 0) != 0) continue;
            std::vector<double> ratio;
            for (std::size_t r = 0; r < q.rates.size(); ++r) ratio.push_back(q.rates[r] / e.rates[r]);
            std::printf("  %-7s %-52s / %-40s %6.2f %6.2f %6.2f\n", q.group, q.name, e.name, median(ratio),
                        *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()));
        }
    }
    return ok ? 0 : 1;
}
