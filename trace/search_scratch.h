// The working state of one worker's ray searches: the tables every slice
// search writes, the search counters and what the traces name. The field
// (particle_field) is read-only and shared by the workers of a run; each
// worker owns one search_scratch and hands it to every query it makes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "field/particle_field.h"

namespace quillet {

// How a run searches its field. These are not properties of the field (the
// same field is searched with other limits by the tests and benchmarks, and
// the full scan is the reference the fast search is measured by), and they
// are the same for every worker: the run sets them once, and each worker's
// scratch carries a copy, so that a search reads them from the object it
// writes its counters to.
struct search_settings {
    std::int32_t nbox = 10000;     // most boxes of a photon free path
    std::int32_t nboxvis = 10000;  // most boxes of an occlusion test
    std::int32_t icheck = -1;      // print level: >= 1 reports each free path's boxes and end
    // Test every grid cell instead of only those near the ray (the
    // straightforward scan; both find the same particles).
    bool full_scan = false;
};

// The trace file of the slice searches (idebug >= 1), opened by the first
// traced search and closed by close_slice_trace; one left open when its
// scratch goes (a run that failed) is closed unchecked. A worker of a
// threaded run keeps its records in `capture` instead, block by block, and
// the run adds each block's to the file in block order (append_slice_trace).
class slice_trace {
public:
    slice_trace() = default;
    slice_trace(const slice_trace&) = delete;
    slice_trace& operator=(const slice_trace&) = delete;
    slice_trace(slice_trace&& o) noexcept
        : f(o.f), name(std::move(o.name)), line(std::move(o.line)), capture(o.capture) {
        o.f = nullptr;
    }
    slice_trace& operator=(slice_trace&& o) noexcept;
    ~slice_trace();

    std::FILE* f = nullptr;
    std::string name;
    std::string line;  // reused: the trace allocates only while it grows
    std::string* capture = nullptr;  // not null: the records go here, not to the file
};

struct search_scratch {
    // Room for the candidates of a field of field.npart particles.
    explicit search_scratch(const particle_field& field, const search_settings& settings = {});
    // Room for a field of no particle (an engine that has not set up its
    // field yet).
    search_scratch() = default;
    // A scratch of another worker of the same run: the same room, settings
    // and debug switch, its own tables and zero counters.
    search_scratch for_worker() const;

    search_settings settings;

    // The search counters (64-bit: a long run passes 2^31 candidates).
    std::int64_t npot_sum = 0;    // candidates tested or listed by the grid searches
    std::int64_t ntab_calls = 0;  // grid searches (calls of tab_choose and its walk)
    std::int64_t nseg_calls = 0;  // photon free paths searched by path_segment
    std::int64_t nbox_sum = 0;    // boxes visited by those searches

    // What the traces name: the photon, its path search, and the debug
    // switch (>= 1: every slice search is traced to the file
    // trace_prefix + ".TRACE"; = iphot: the grid search of that photon is
    // traced to the output).
    std::int32_t iphot = 0;
    std::int32_t iscat = 0;
    std::int32_t idebug = 0;
    std::int32_t ibox = 0;  // periodic box of the current segment search
    std::string trace_prefix;
    slice_trace trace;

    // Candidate particles of the current slice, entries 1..npot (room for
    // every particle of the field).
    std::vector<std::int32_t> pottab = std::vector<std::int32_t>(1);
    double ztmin = 0.0;  // height range swept by the last nearly horizontal ray
    double ztmax = 0.0;
    double smin2 = 0.0;      // last squared distance of a cell centre to the ray
    double twall[5] = {};    // distances to walls 1..4 of the last slice without a hit
    // Grid cells (columns near_i0..near_i1, rows near_j0..near_j1) whose
    // spheres the shadow packet has tested already: the next slice search
    // passes over them and clears this (near_i0 > near_i1: none).
    std::int32_t near_i0 = 1, near_i1 = 0, near_j0 = 1, near_j1 = 0;
    // The spheres of those cells as the packet tests them, seen from its start
    // point: offsets start - centre, squared distance (infinite for the
    // excluded particle, which is never met), squared radius, radius, place
    // in the packed sphere tables and cell; near_n of them.
    static constexpr int near_capacity = 64 + walk_lanes;
    double near_dx[near_capacity] = {}, near_dy[near_capacity] = {}, near_dz[near_capacity] = {};
    double near_dd[near_capacity] = {}, near_r2[near_capacity] = {}, near_r[near_capacity] = {};
    std::int32_t near_place[near_capacity] = {}, near_cell[near_capacity] = {};
    std::int32_t near_n = 0;
};

}  // namespace quillet
