// Small particle fields for tests: set the field records to a quiet default,
// fill the particle tables directly (with or without the edge copies), build
// the search grid, write Particle position files, draw random fields.
//
// Typical use:
//     fixture::reset_field();
//     fixture::set_field({{1.0, 0.0, 0.0, 0.0}}, 10.0, 10.0, 0.0);  // one sphere of radius 1
//     fixture::set_grid(4, 4);
//     path_segment(field, searches, x, y, z, ux, uy, uz, ipart, search_kind::free_path, no_particle);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "field/particle_field.h"

namespace quillet {

// The field of the tests: the fixtures below build it, the tests search it
// (with the scratch of search_fixture.h).
extern particle_field field;

}  // namespace quillet

namespace quillet::fixture {

// One particle as a position file lists it: radius, centre.
struct sphere {
    double r, x, y, z;
};

// Puts every record and switch that the field and the searches read into a
// quiet state: an empty field (npart = 0) in a 1 x 1 cell without shear, no
// grid (mx = my = 1), sredu = zredu = 1, no size cut or enlargement,
// icheck = -1 (no report lines), idebug = 0, no grid layout; the search
// fixture (search_fixture.h) resets its scratch too. (The searches take the
// excluded particle as an argument: no_particle when there is none.)
void reset_field();

// Fills the particle tables directly (no file, no report): ring particles
// first (itype 1), then haze particles (itype 2), then, when `copies` is true,
// the edge copies exactly as part_read_2pos appends them. Sets the cell
// (xl, yl, sy; sy must already lie in [-yl, yl]), zmin/zmax from the particles
// (both starting at 0), tau, npart and npartori. Leaves the grid alone:
// call set_grid afterwards.
void set_field(const std::vector<sphere>& ring, double xl, double yl, double sy, bool copies = true,
               const std::vector<sphere>& haze = {});

// Sets mx, my and builds the search grid with tab_init when both exceed 1
// (as the engine does); mx = my = 1 means every particle is tested.
void set_grid(std::int32_t mx, std::int32_t my, const field_build_options& options = {});

// Called by reset_field (reset: true), set_field and set_grid when they have
// changed the field; the search fixture sets it, to keep its scratch fitted
// to the field.
extern void (*field_changed)(bool reset);

// A path in a temporary directory made for this test process (removed at exit).
std::string scratch_path(const std::string& name);

// Writes a Particle position file (or a haze file: same layout): title, a
// line "1", "orb xl yl sy", the count, then one "radius x y z" line each.
// Numbers are written so that they read back exactly.
void write_position_file(const std::string& path, const std::vector<sphere>& parts, double xl, double yl, double sy,
                         const std::string& title = "test-field", double orb = 1.0);

// n spheres with radii uniform in [rmin, rmax], centres uniform in the cell
// [-xl, xl] x [-yl, yl] and in z uniform in [-zhalf, zhalf], drawn with ran1
// from its own state seeded by `seed` (< 0), so the run's global sequence is
// not disturbed.
std::vector<sphere> random_spheres(int n, double xl, double yl, double rmin, double rmax, double zhalf,
                                   std::int32_t seed);

}  // namespace quillet::fixture
