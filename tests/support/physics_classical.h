// Classical radiative transfer of a plane-parallel layer of independent
// scatterers, computed here from the textbook formulas and not from the
// simulator's code: phase functions normalised to a mean of 1 over the
// sphere, the single-scattering reflectance, Chandrasekhar's H-function of
// isotropic scattering from its integral equation, and the reflectance of a
// finite isotropic slab from the integral equation of its source function.
// Every reflectance is I/F with pi F the incident flux per unit area normal
// to the beam.
#pragma once

#include <functional>
#include <vector>

namespace quillet::physics {

// Phase functions P(theta) of the scattering angle theta (0 forward), mean 1.
double p_isotropic(double theta);
double p_henyey_greenstein(double theta, double g);
// Lambert sphere: (8 / 3 pi) (sin a + (pi - a) cos a), a = pi - theta.
double p_lambert_sphere(double theta);
// Power law c theta^n, c = 2 / integral_0^pi theta^n sin theta dtheta
// (the integral by Gauss-Legendre quadrature).
double power_law_constant(double n);

// Integral of f over [a, b] by composite Gauss-Legendre, `panels` panels of
// 10 points.
double gauss_integral(const std::function<double(double)>& f, double a, double b, int panels);

// Single-scattering I/F of a layer of optical depth tau:
// (w/4) P mu0 / (mu + mu0) (1 - exp(-tau (1/mu + 1/mu0))).
double single_scattering_if(double w, double p, double mu0, double mu, double tau);

// Scattering angle (radians) between a beam from the Sun at elevation bsun
// and an observer at elevation lat, azimuth dfii from the Sun (degrees).
double scattering_angle(double bsun, double lat, double dfii);

// Chandrasekhar's H-function of isotropic scattering with albedo w < 1,
// solved from 1/H(mu) = sqrt(1 - w) + (w/2) integral_0^1 mu' H(mu') / (mu + mu') dmu'
// on Gauss-Legendre nodes and then evaluated anywhere from the same equation.
class h_function {
public:
    explicit h_function(double w, int nodes = 64);
    double operator()(double mu) const;
    // Zeroth moment, integral_0^1 H dmu; equals (2/w)(1 - sqrt(1 - w)).
    double moment0() const;
    int iterations() const { return iterations_; }

private:
    double w_;
    std::vector<double> x_, wt_, h_;
    int iterations_ = 0;
};

// Semi-infinite layer of isotropic scatterers:
// I/F = (w/4) mu0 / (mu + mu0) H(mu) H(mu0).
double semi_infinite_if(const h_function& h, double w, double mu0, double mu);

// Finite layer of optical depth tau of isotropic scatterers, lit at mu0: the
// source function S solves
//     S(t) = (w/4) exp(-t/mu0) + (w/2) integral_0^tau E1(|t - t'|) S(t') dt'
// (piecewise constant on `cells` layers, collocated at their midpoints,
// kernel integrals exact through E2), and
//     I/F(mu) = integral_0^tau S(t) exp(-t/mu) dt / mu
// for each mu asked for.
std::vector<double> finite_slab_if(double w, double tau, double mu0, const std::vector<double>& mu, int cells);

// Exponential integrals E1, E2 for x >= 0 (E1(0) = infinity, E2(0) = 1).
double expint_e1(double x);
double expint_e2(double x);

}  // namespace quillet::physics
