// One scattering: albedo, continue from hit point or centre, new direction
// drawn from the particle's law (polar angle first, then azimuth), counters.
#pragma once

#include <cstdint>
#include <string>

#include "field/particle_field.h"
#include "numeric/ran1.h"
#include "scatter/photon.h"
#include "scatter/law_table.h"

namespace quillet {

// Names of the law codes 1..16 ("unknown" for any other code).
const char* method_name(std::int32_t code);

// Rejects, before any photon runs, law codes that no law answers to: a ring
// code outside 1..16, a haze code outside 1..16 when a haze file is in use, and
// a haze power law (7..10) without a ring power law to share the table with.
// Throws limit_error with a message naming the code.
void check_law_codes(std::int32_t method, std::int32_t method_haze, bool haze_in_use);

// What is wrong with the parameters of law `code` (empty when nothing is):
// a Henyey-Greenstein asymmetry outside (-1, 1), a linear-law b outside
// [-1, 1] (the law would turn negative), a two-term weight outside [0, 1], a
// power-law exponent not above -2 (the law could not be normalised). `suffix`
// names the set in the message: "" for ppar1.., "_haze" for ppar1_haze...
std::string law_parameter_problem(std::int32_t code, double ppar1, double ppar2, double ppar3,
                                  const std::string& suffix);

// The photon ph scatters on particle ph.ipart, at its position (the hit
// point: kept, or moved to the centre for "-center" codes): its weight takes
// the albedo, its direction before is kept in ph.before, the new direction
// is drawn from its stream (the polar angle first, then the azimuth) and the
// ring or haze counter goes up.
void scatter(const particle_field& field, photon& ph, const scattering_laws& laws);

}  // namespace quillet
