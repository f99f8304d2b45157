// The scattering laws as one table: a row per law code 1..16 with its name,
// its kind (surface element or sphere; restart at the centre or at the hit
// point), its sampler and evaluator, its parameter check and its table
// set-up. scatter(field), the peel-off, the set-up checks and the name look-up
// all read the row; the row is chosen once per scattering.
//
// Conventions (as in phase_functions.h): cose is the cosine of the
// scattering angle (0 forward; the phase angle is pi - theta); evaluators give
// phasef = P/4 with P of mean 1 over the sphere; samplers draw one deviate
// from the photon's draws and write sin and cos of the drawn angle. For the surface laws (codes 1, 2)
// the angle is measured from the outward normal of the hit point instead of
// from the incoming direction.
#pragma once

#include <cstdint>
#include <string>

#include "field/particle_field.h"
#include "numeric/ran1.h"
#include "scatter/law_tables.h"

namespace quillet {

// The parameters a law reads: ppar1..ppar3 of its particle kind, whether the
// particle is a haze particle (the tabulated laws keep one table per kind),
// and the run's tables.
struct law_params {
    double par1, par2, par3;
    bool haze;
    const law_tables* tables = nullptr;
};

struct law_row {
    std::int32_t code;
    const char* name;
    bool surface;         // polar angle about the outward normal (codes 1, 2)
    bool from_centre;     // "-center": the photon restarts at the particle centre
    bool power_law;       // codes 7..10: the power-law table, shared by ring and haze
    bool float_azimuth;   // the azimuth is formed in single precision (codes 11, 12)
    bool one_sided;       // sends nothing out of its back side (code 1)
    void (*sample)(const law_params& p, random_draws& rng, double& sine, double& cose);
    void (*evaluate)(const law_params& p, double cose, double& phasef);
    // What is wrong with ppar1..3 (empty: nothing); n1..n3 name them.
    std::string (*parameter_problem)(double p1, double p2, double p3, const std::string& n1,
                                     const std::string& n2, const std::string& n3);
    // Builds the law's tables into t before the photons run (null: none);
    // code and icheck for its set-up report. The power law is built for the
    // ring particles only (the haze shares it).
    void (*set_up)(law_tables& t, const law_params& p, std::int32_t code, std::int32_t icheck);
};

constexpr std::int32_t n_law_codes = 16;

// Whether code is one of 1..16.
inline bool is_law_code(std::int32_t code) { return code >= 1 && code <= n_law_codes; }

// The row of a law code 1..16 (the caller has checked the code).
const law_row& law_of(std::int32_t code);

// The law that scatters on a particle of one kind, with its parameters and
// single-scattering albedo.
struct particle_law {
    const law_row* row;
    law_params params;
    double ssca;
};

// The laws of one run: the ring and the haze particles' law with their
// parameters and albedos, and the tables of those that need one. Built and
// checked once before the photons run (the haze law only when a haze file is
// in use), read-only after and shared by every worker.
class scattering_laws {
public:
    struct settings {
        std::int32_t method = 0;
        double ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
        std::int32_t method_haze = 0;
        double ppar1_haze = 0.0, ppar2_haze = 0.0, ppar3_haze = 0.0;
        double ssca_part = 0.0, ssca_haze = 0.0;
        bool haze_in_use = false;
        std::int32_t icheck = 0;  // trace level of the tables' set-up report
        bool operator==(const settings&) const = default;
    };
    // Checks the codes (check_law_codes) and builds the tables: the
    // power-law table for a ring power law, the tabulated laws from
    // "mcphase.dat" and "mcphase_haze.dat".
    explicit scattering_laws(const settings& s);
    scattering_laws(const scattering_laws&) = delete;  // the laws point into their tables
    scattering_laws& operator=(const scattering_laws&) = delete;

    // The law of a particle of kind itype (1 ring, 2 haze). Throws
    // limit_error for a kind whose code is not a law's (never one of a run
    // that passed check_law_codes).
    const particle_law& law_of_kind(std::int32_t itype, std::int32_t ipart) const {
        const particle_law& law = itype == 2 ? haze_ : ring_;
        if (law.row->code == 0) [[unlikely]]
            refuse_code(ipart);
        return law;
    }
    // The law of the particle of entry ipart of the field (named by its
    // number in the message).
    const particle_law& law_of_kind(const particle_field& field, std::int32_t ipart) const {
        const particle_law& law = field.itype[std::size_t(ipart)] == 2 ? haze_ : ring_;
        if (law.row->code == 0) [[unlikely]]
            refuse_code(field.file_number(ipart));
        return law;
    }
    const law_tables& tables() const { return tables_; }
    std::int32_t icheck() const { return icheck_; }  // trace level of the scattering step

private:
    [[noreturn]] void refuse_code(std::int32_t ipart) const;
    std::int32_t method_, method_haze_, icheck_;
    law_tables tables_;
    particle_law ring_, haze_;
};

}  // namespace quillet
