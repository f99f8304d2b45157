// The scattering laws as one table: a row per law code 1..16 with its name,
// its kind (surface element or sphere; restart at the centre or at the hit
// point), its sampler and evaluator, its parameter check and its table
// set-up. scatter(field), the peel-off, the set-up checks and the name look-up
// all read the row; the row is chosen once per scattering.
//
// Conventions (as in phase_functions.h): cose is the cosine of the
// scattering angle (0 forward; the phase angle is pi - theta); evaluators give
// phasef = P/4 with P of mean 1 over the sphere; samplers draw one deviate and
// write sin and cos of the drawn angle. For the surface laws (codes 1, 2)
// the angle is measured from the outward normal of the hit point instead of
// from the incoming direction.
#pragma once

#include <cstdint>
#include <string>

#include "field/particle_field.h"

namespace quillet {

// The parameters a law reads: ppar1..ppar3 of its particle kind, and
// whether the particle is a haze particle (the tabulated laws keep one table
// per kind).
struct law_params {
    double par1, par2, par3;
    bool haze;
};

struct law_row {
    std::int32_t code;
    const char* name;
    bool surface;         // polar angle about the outward normal (codes 1, 2)
    bool from_centre;     // "-center": the photon restarts at the particle centre
    bool power_law;       // codes 7..10: the power-law table, shared by ring and haze
    bool float_azimuth;   // the azimuth is formed in single precision (codes 11, 12)
    bool one_sided;       // sends nothing out of its back side (code 1)
    void (*sample)(const law_params& p, double& sine, double& cose);
    void (*evaluate)(const law_params& p, double cose, double& phasef);
    // What is wrong with ppar1..3 (empty: nothing); n1..n3 name them.
    std::string (*parameter_problem)(double p1, double p2, double p3, const std::string& n1,
                                     const std::string& n2, const std::string& n3);
    // Builds the law's tables before the photons run (null: none). The
    // power law is built for the ring particles only (the haze shares it).
    void (*set_up)(const law_params& p);
};

constexpr std::int32_t n_law_codes = 16;

// Whether code is one of 1..16.
inline bool is_law_code(std::int32_t code) { return code >= 1 && code <= n_law_codes; }

// The row of a law code 1..16 (the caller has checked the code).
const law_row& law_of(std::int32_t code);

// The law that scatters on particle ipart (ring or haze, by its type), with
// its parameters and single-scattering albedo.
struct particle_law {
    const law_row* row;
    law_params params;
    double ssca;
};
particle_law law_of_particle(const particle_field& field, std::int32_t ipart);

}  // namespace quillet
