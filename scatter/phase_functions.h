// Closed-form scattering laws. Conventions: cose is the cosine of the
// scattering angle theta between the directions before and after scattering
// (theta = 0 forward; the phase angle is pi - theta). Evaluators return
// phasef = P/4 with P normalised to a mean of 1 over the sphere, so phasef
// integrates to pi over the sphere. Samplers draw one deviate from the
// photon's draws and write sin and cos of the drawn theta.
#pragma once

#include "numeric/ran1.h"

namespace quillet {

void p_lambert(double cose, double& phasef);
void e_lambert(double& sine, double& cose, random_draws& rng);

void p_hg(double cose, double& phasef, double g);
void e_hg(double& sine, double& cose, double g, random_draws& rng);

void p_hg2(double cose, double& phasef, double g1, double g2, double w);
void e_hg2(double& sine, double& cose, double g1, double g2, double w, random_draws& rng);

void p_euler(double cose, double& phasef, double b);
void e_euler(double& sine, double& cose, double b, random_draws& rng);

}  // namespace quillet
