#include "support/physics_classical.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace quillet::physics {

namespace {

constexpr double pi = std::numbers::pi;
constexpr double deg = pi / 180.0;

// Gauss-Legendre nodes and weights on [-1, 1] (Newton on P_n).
void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w) {
    x.assign(std::size_t(n), 0.0);
    w.assign(std::size_t(n), 0.0);
    for (int i = 0; i < n; ++i) {
        double z = std::cos(pi * (i + 0.75) / (n + 0.5));
        double dp = 0.0;
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = 0.0;
            for (int k = 1; k <= n; ++k) {
                double p2 = p1;
                p1 = p0;
                p0 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p2) / k;
            }
            dp = n * (z * p0 - p1) / (z * z - 1.0);
            double dz = p0 / dp;
            z -= dz;
            if (std::abs(dz) < 1e-15) break;
        }
        x[std::size_t(i)] = z;
        w[std::size_t(i)] = 2.0 / ((1.0 - z * z) * dp * dp);
    }
}

}  // namespace

double p_isotropic(double) { return 1.0; }

double p_henyey_greenstein(double theta, double g) {
    double t = 1.0 + g * g - 2.0 * g * std::cos(theta);
    return (1.0 - g * g) / (t * std::sqrt(t));
}

double p_lambert_sphere(double theta) {
    double a = pi - theta;
    return 8.0 / (3.0 * pi) * (std::sin(a) + (pi - a) * std::cos(a));
}

double gauss_integral(const std::function<double(double)>& f, double a, double b, int panels) {
    static std::vector<double> x, w;
    if (x.empty()) gauss_legendre(10, x, w);
    double sum = 0.0, h = (b - a) / panels;
    for (int p = 0; p < panels; ++p) {
        double lo = a + p * h;
        for (std::size_t i = 0; i < x.size(); ++i) sum += 0.5 * h * w[i] * f(lo + 0.5 * h * (x[i] + 1.0));
    }
    return sum;
}

double power_law_constant(double n) {
    double integral = gauss_integral([n](double t) { return std::pow(t, n) * std::sin(t); }, 0.0, pi, 200);
    return 2.0 / integral;
}

double single_scattering_if(double w, double p, double mu0, double mu, double tau) {
    return 0.25 * w * p * mu0 / (mu + mu0) * (1.0 - std::exp(-tau * (1.0 / mu + 1.0 / mu0)));
}

double scattering_angle(double bsun, double lat, double dfii) {
    // Unit vectors toward the Sun and toward the observer; the beam travels
    // along minus the first.
    double sx = std::cos(bsun * deg), sz = std::sin(bsun * deg);
    double ox = std::cos(lat * deg) * std::cos(dfii * deg), oy = std::cos(lat * deg) * std::sin(dfii * deg);
    double oz = std::sin(lat * deg);
    double c = -(sx * ox + sz * oz);
    double cross = std::sqrt((0.0 * oz - sz * oy) * (0.0 * oz - sz * oy) + (sz * ox - sx * oz) * (sz * ox - sx * oz) +
                             (sx * oy) * (sx * oy));
    return std::atan2(cross, c);
}

h_function::h_function(double w, int nodes) : w_(w) {
    if (!(w > 0.0 && w < 1.0)) throw std::invalid_argument("h_function: albedo must lie in (0, 1)");
    std::vector<double> x, wt;
    gauss_legendre(nodes, x, wt);
    x_.resize(x.size());
    wt_.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        x_[i] = 0.5 * (x[i] + 1.0);
        wt_[i] = 0.5 * wt[i];
    }
    h_.assign(x_.size(), 1.0);
    const double root = std::sqrt(1.0 - w);
    for (iterations_ = 1; iterations_ <= 10000; ++iterations_) {
        double change = 0.0;
        std::vector<double> next(h_.size());
        for (std::size_t i = 0; i < x_.size(); ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j < x_.size(); ++j) s += wt_[j] * x_[j] * h_[j] / (x_[i] + x_[j]);
            next[i] = 1.0 / (root + 0.5 * w * s);
            change = std::max(change, std::abs(next[i] - h_[i]));
        }
        h_ = next;
        if (change < 1e-14) break;
    }
}

double h_function::operator()(double mu) const {
    double s = 0.0;
    for (std::size_t j = 0; j < x_.size(); ++j) s += wt_[j] * x_[j] * h_[j] / (mu + x_[j]);
    return 1.0 / (std::sqrt(1.0 - w_) + 0.5 * w_ * s);
}

double h_function::moment0() const {
    double s = 0.0;
    for (std::size_t j = 0; j < x_.size(); ++j) s += wt_[j] * h_[j];
    return s;
}

double semi_infinite_if(const h_function& h, double w, double mu0, double mu) {
    return 0.25 * w * mu0 / (mu + mu0) * h(mu) * h(mu0);
}

double expint_e1(double x) {
    if (x <= 0.0) return std::numeric_limits<double>::infinity();
    if (x <= 1.0) {
        // -gamma - ln x - sum_{k>=1} (-x)^k / (k k!)
        double sum = 0.0, term = 1.0;
        for (int k = 1; k < 60; ++k) {
            term *= -x / k;
            sum += term / k;
            if (std::abs(term / k) < 1e-18) break;
        }
        return -0.57721566490153286 - std::log(x) - sum;
    }
    // Continued fraction (modified Lentz).
    double b = x + 1.0, c = 1e300, d = 1.0 / b, h = d;
    for (int i = 1; i < 1000; ++i) {
        double a = -double(i) * i;
        b += 2.0;
        d = 1.0 / (a * d + b);
        c = b + a / c;
        double del = c * d;
        h *= del;
        if (std::abs(del - 1.0) < 1e-16) break;
    }
    return h * std::exp(-x);
}

double expint_e2(double x) {
    if (x <= 0.0) return 1.0;
    return std::exp(-x) - x * expint_e1(x);
}

std::vector<double> finite_slab_if(double w, double tau, double mu0, const std::vector<double>& mu, int cells) {
    const double d = tau / cells;
    const auto n = static_cast<std::size_t>(cells);
    // Kernel (1/2) integral over a cell of E1(|t_i - t'|), by the distance in cells.
    std::vector<double> k(n);
    k[0] = 1.0 - expint_e2(0.5 * d);
    for (int m = 1; m < cells; ++m) k[std::size_t(m)] = 0.5 * (expint_e2((m - 0.5) * d) - expint_e2((m + 0.5) * d));
    std::vector<double> s0(n), s(n), next(n);
    for (int i = 0; i < cells; ++i) {
        // Cell average of the direct term.
        double a = i * d, b = a + d;
        s0[std::size_t(i)] = 0.25 * w * mu0 * (std::exp(-a / mu0) - std::exp(-b / mu0)) / d;
    }
    s = s0;
    for (int it = 0; it < 100000; ++it) {
        double change = 0.0;
        for (int i = 0; i < cells; ++i) {
            double sum = 0.0;
            for (int j = 0; j < cells; ++j) sum += k[std::size_t(std::abs(i - j))] * s[std::size_t(j)];
            next[std::size_t(i)] = s0[std::size_t(i)] + w * sum;
            change = std::max(change, std::abs(next[std::size_t(i)] - s[std::size_t(i)]));
        }
        s.swap(next);
        if (change < 1e-15) break;
    }
    std::vector<double> out;
    for (double m : mu) {
        double sum = 0.0;
        for (int i = 0; i < cells; ++i) {
            double a = i * d, b = a + d;
            sum += s[std::size_t(i)] * (std::exp(-a / m) - std::exp(-b / m));
        }
        out.push_back(sum);
    }
    return out;
}

}  // namespace quillet::physics
