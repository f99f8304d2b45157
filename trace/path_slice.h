// Slice search: the first particle (or the wall) a ray meets in the central cell.
#pragma once

#include <cstdint>
#include <string_view>

#include "field/particle_field.h"
#include "trace/search_scratch.h"
#include "trace/tab_choose.h"

namespace quillet {

// kind (search_kind): free_path (nearest particle, diagnostics);
// first_in_list (occlusion test: the first particle of the candidate list
// met); any_blocker (occlusion test where any particle in the way will do:
// the walk along the ray may find another one than the list; the answer
// blocked or free is the same); nearest (nearest particle, no diagnostics).
// (clear_way, an occlusion test whose way a pre-test has shown free, is a
// kind of path_segment only: it finds the walls only and counts each box's
// slice search as made.)
// ipart: particle number >= 1, or a wall code -1..-4; tmin: distance.
// The particle `excluded` is skipped (no_particle: none). A particle whose
// entry point lies within 1e-9 of its radius from the start point counts as
// not met when the start point lies on it: always when the search starts at a
// scattering point (a particle excluded; rounding would otherwise let it
// find a periodic copy of the particle it has just left), and within the rounding of the coordinates
// when it starts elsewhere (a launch point, or the wall where it entered this
// box), so that a sphere entered just beyond a wall is met in the next box.
// The wall of the central cell a ray from (x0, y0) along d reaches first (x
// walls before y walls on a tie): its code -1..-4, its distance in texit,
// the distances of all four (no_wall where the ray runs away from one) in
// twall[1..4].
inline constexpr double no_wall = 1.0e6;
inline std::int32_t first_wall(const particle_field& field, double x0, double y0, const search_direction& d,
                               double* twall, double& texit) {
    twall[1] = d.ux > 0.0 ? (field.xl - x0) * d.iu[0] : no_wall;
    twall[2] = d.ux < 0.0 ? -(field.xl + x0) * d.iu[0] : no_wall;
    twall[3] = d.uy > 0.0 ? (field.yl - y0) * d.iu[1] : no_wall;
    twall[4] = d.uy < 0.0 ? -(field.yl + y0) * d.iu[1] : no_wall;
    texit = 2.0 * no_wall;
    std::int32_t iwall = 0;
    for (std::int32_t w = 1; w <= 4; ++w) {
        if (twall[w] < texit) {
            texit = twall[w];
            iwall = -w;
        }
    }
    return iwall;
}
void path_slice(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux, double uy,
                double uz, std::int32_t& ipart, double& tmin, search_kind kind, std::int32_t excluded);
// ... along a prepared direction (the same answer).
void path_slice(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                const search_direction& d, std::int32_t& ipart, double& tmin, search_kind kind,
                std::int32_t excluded);

// With s.idebug >= 1 every slice search is traced to the file named by
// s.trace_prefix followed by ".TRACE", opened on the first search of the
// run. This closes it (the engine calls it at the end of the run); it throws
// output_error when the trace could not be written completely. Harmless when
// no trace is open.
void close_slice_trace(search_scratch& s);
// Adds records kept by a worker (slice_trace::capture) to the trace file.
void append_slice_trace(search_scratch& s, std::string_view records);

}  // namespace quillet
