// quillet-field's generator: draws a particle field for the simulator, spheres
// in one horizontally periodic cell [-xl, xl] x [-yl, yl] (shear sy between
// cell columns), and hands back the particles and the achieved optical depth
// and filling factor. Lengths are in the unit of the Particle position file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

// How the centres are spread in height.
enum class field_profile {
    filling,       // uniform slab whose thickness follows from the filling factor
    thickness,     // uniform slab of a given thickness
    scale_height,  // Gaussian in height with a given scale height
    gauss_filling  // Gaussian whose mid-plane filling factor is given
};

// Source of the uniform deviates. mt19937_64 is the default: the simulator's
// ran1 repeats after a few hundred thousand steps of its first congruential
// generator, and its consecutive draws cluster in 3D (at 10^5 triples about a
// hundred times more near-coincident positions than uniform ones), which
// slows random sequential addition of large fields and leaves the field on a
// coarse lattice. ran1 stays available on request.
enum class field_rng_kind { mt19937_64, ran1 };

struct field_request {
    double xl = 50.0;  // half-widths of the cell
    double yl = 50.0;
    double sy = 0.0;   // y-shift of the neighbouring cell columns
    double orb = 0.0;  // written into the file, not used by the simulator

    // Sizes: one radius, or dn/dr proportional to r^-q on [rmin, rmax].
    bool power_law = false;
    double radius = 1.0;
    double rmin = 0.0, rmax = 0.0, q = 3.0;

    // Amount: a target optical depth, or (number >= 0) a fixed count.
    double tau = 0.5;
    std::int32_t number = -1;

    field_profile profile = field_profile::filling;
    double filling = 0.1;       // volume filling factor D
    double thickness = 0.0;     // layer thickness H
    double scale_height = 0.0;  // standard deviation of the centre heights

    bool overlap = false;              // place independently, overlaps allowed
    field_rng_kind rng = field_rng_kind::mt19937_64;
    std::int32_t seed = 1;             // mt19937_64 seeded with seed, or ran1 with -seed
    std::int64_t max_attempts = 100000;  // per particle, before giving up
};

struct field_particle {
    double r, x, y, z;
};

struct field_result {
    std::vector<field_particle> part;  // in placement order (largest first)
    double area_sum = 0.0;     // sum of pi r^2
    double volume_sum = 0.0;   // sum of 4/3 pi r^3
    double tau = 0.0;          // area_sum / (4 xl yl)
    double filling = 0.0;      // volume_sum / (4 xl yl thickness)
    double thickness = 0.0;    // slab thickness, or sqrt(2 pi) * scale height
    double scale_height = 0.0; // Gaussian profiles only
    double zmin = 0.0, zmax = 0.0;  // lowest bottom and highest top, both starting at 0
    std::int64_t attempts = 0;      // positions drawn in all
    std::int64_t edge_copies = 0;   // images that reach into the central cell
};

// Densest random packing of equal spheres: no random placement gets beyond it.
constexpr double random_close_packing = 0.64;

// Checks the request; throws limit_error with a message naming the option.
void check_field_request(const field_request& req);

// Draws the field. Throws limit_error when the particles cannot be placed
// within max_attempts positions each, or would overflow the simulator's tables.
field_result make_field(const field_request& req);

// Number of periodic images (m, k) != (0, 0), |m|, |k| <= 1, whose sphere
// reaches into the central cell: the edge copies the simulator appends.
std::int64_t count_edge_copies(const std::vector<field_particle>& part, double xl, double yl, double sy);

}  // namespace quillet
