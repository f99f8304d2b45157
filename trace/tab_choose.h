// Grid candidate search: the particles a ray may meet in the central cell.
#pragma once

#include <cstdint>

#include "field/particle_field.h"
#include "trace/search_scratch.h"

namespace quillet {

// What a ray search of the field asks for. Its value is the mode the
// searches test it by: free_path and nearest keep the nearest entry, the
// kinds from first_in_list up are occlusion tests (only blocked or free
// counts; their box limit is nboxvis).
enum class search_kind : std::int32_t {
    nearest = 0,        // the nearest particle entered, no diagnostics
    free_path = 1,      // a photon's free path: the nearest particle entered, with its diagnostics and counts
    first_in_list = 2,  // occlusion: the first particle of the candidate list the ray enters
    any_blocker = 3,    // occlusion: any particle in the way (the walk along the ray may find another one)
    clear_way = 4,      // occlusion whose way a pre-test has shown free: the walls only (path_segment)
};

// A ray direction as the searches use it, prepared once for all the searches
// along it (the shadow tests toward one observer direction share it): the
// unit vector, its horizontal unit direction (ex, ey; 0, 0 for a vertical
// ray) and length h, the reciprocals 1/ux, 1/uy, 1/uz (infinite for a zero
// component), and whether it is nearly horizontal (|uz| < 0.02).
struct search_direction {
    double ux, uy, uz;
    double ex, ey, h;
    double iu[3];
    bool flat;
};
void prepare_direction(double ux, double uy, double uz, search_direction& d);

// The ray as the cell test sees it (cell_walk.h), from a start point and a
// prepared direction, for a traced search or not; false when a nearly
// horizontal ray sweeps no part of the layer (no particle can be met). A
// nearly horizontal ray's height range goes to s.ztmin, s.ztmax.
struct cell_ray;
bool prepare_ray(const particle_field& field, double x0, double y0, double z0, const search_direction& d, bool trace,
                 search_scratch& s, cell_ray& r);

// The candidates, particle numbers in entries 1..npot of s.pottab (which has
// room for every particle of the field).
void tab_choose(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux, double uy,
                double uz, std::int32_t& npot);

// The candidate search and the sphere tests in one pass, for a slice search
// that needs no list: each visited cell's candidates are tested as soon as
// the cell is visited. first_in_list: the first particle met in list
// order ends the walk, the one the list would give; any_blocker: the first
// particle met on a walk along the ray;
// otherwise the nearest entry t < tmin with t <= texit is kept, ties keeping
// the earlier candidate in list order (the list's answer, found along the
// ray, where the walk stops once no cell can hold a nearer entry). The
// particle `excluded` (no_particle: none) is skipped. ipart and tmin change only when a
// particle is met. Returns the candidates tested (added to s.npot_sum).
std::int32_t tab_choose_test(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux,
                             double uy, double uz, search_kind kind, std::int32_t excluded, double texit,
                             std::int32_t& ipart, double& tmin);
// ... along a prepared direction.
std::int32_t tab_choose_test(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                             const search_direction& d, search_kind kind, std::int32_t excluded, double texit,
                             std::int32_t& ipart, double& tmin);

}  // namespace quillet
