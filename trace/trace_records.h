// Records of the ray searches: the current particle of the photon (com12),
// which the scattering step stores and the photon loop hands to the next
// search as the particle it skips in the first periodic box (-999: none), and
// the scratch tables of one search.
#pragma once

#include <cstdint>

#include "field/field_records.h"
#include "field/particle_field.h"

namespace quillet {

constexpr std::int32_t no_particle = -999;

struct com12_t {
    std::int32_t ipart;   // particle of the current scattering, excluded from the next search
};
extern thread_local constinit com12_t com12;

// Working tables of one ray search, written by every call of tab_choose and
// path_slice. They are kept apart from the read-only field so that each
// worker of a threaded photon loop owns one, on the heap (1.6 MB); this
// thread's is *search_scratch_of_thread, the main thread's search_scratch_main.
struct search_scratch_t {
    std::int32_t pottab[max_part + 1];  // candidate particles of the current slice, entries 1..npot
    double ztmin;                       // height range swept by the last nearly horizontal ray
    double ztmax;
    double smin2;                       // last squared distance of a cell centre to the ray
    double twall[5];                    // distances to walls 1..4 of the last slice without a hit
    // Grid cells (columns near_i0..near_i1, rows near_j0..near_j1) whose
    // spheres the shadow packet has tested already: the next slice search
    // passes over them and clears this (near_i0 > near_i1: none).
    std::int32_t near_i0, near_i1, near_j0, near_j1;
    // The spheres of those cells as the packet tests them, seen from its start
    // point: offsets start - centre, squared distance (infinite for the
    // excluded particle, which is never met), squared radius, radius, place
    // in the packed sphere tables and cell; near_n of them.
    static constexpr int near_capacity = 64 + walk_lanes;
    double near_dx[near_capacity], near_dy[near_capacity], near_dz[near_capacity];
    double near_dd[near_capacity], near_r2[near_capacity], near_r[near_capacity];
    std::int32_t near_place[near_capacity], near_cell[near_capacity];
    std::int32_t near_n;
};
extern search_scratch_t search_scratch_main;
extern thread_local constinit search_scratch_t* search_scratch_of_thread;

// How the candidate search chooses the grid cells it tests: only those near
// the ray's horizontal path (the default), or every cell of the grid (the
// straightforward scan, kept as the reference; both find the same particles).
struct search_options_t {
    bool full_scan;
};
extern search_options_t search_options;

}  // namespace quillet
