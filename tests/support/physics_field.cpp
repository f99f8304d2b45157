#include "support/physics_field.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace quillet::physics {

namespace {

// y folded into [-yl, yl).
double fold_y(double y, double yl) { return y - 2.0 * yl * std::floor((y + yl) / (2.0 * yl)); }

// Squared horizontal distance between two centres of the periodic field:
// the nearest image of b, whose copies sit at b + m (2 xl, sy) + k (0, 2 yl).
double periodic_d2(double ax, double ay, double bx, double by, double xl, double yl, double sy) {
    double best = 1e300;
    for (int m = -1; m <= 1; ++m) {
        double dx = ax - (bx + m * 2.0 * xl);
        double dy = fold_y(ay - (by + m * sy), yl);
        best = std::min(best, dx * dx + dy * dy);
    }
    return best;
}

}  // namespace

slab_field make_slab(const slab_request& req) {
    slab_field out;
    const double area = 4.0 * req.xl * req.yl;
    const long n = std::lround(req.tau * area / (std::numbers::pi * req.r * req.r));
    out.h = 4.0 * req.tau * req.r / (3.0 * req.filling);
    out.field.xl = req.xl;
    out.field.yl = req.yl;
    out.field.sy = req.sy;
    std::mt19937_64 gen(req.seed);
    std::uniform_real_distribution<double> ux(-req.xl, req.xl), uy(-req.yl, req.yl), uz(-out.h / 2, out.h / 2);
    const double d2min = 4.0 * req.r * req.r;
    out.field.particles.reserve(std::size_t(n));
    for (long i = 0; i < n; ++i) {
        int tries = 0;
        for (;;) {
            double x = ux(gen), y = uy(gen), z = uz(gen);
            bool free = true;
            if (!req.overlap) {
                for (const sphere& s : out.field.particles) {
                    double dz = z - s.z;
                    if (dz * dz >= d2min) continue;
                    if (dz * dz + periodic_d2(x, y, s.x, s.y, req.xl, req.yl, req.sy) < d2min) {
                        free = false;
                        break;
                    }
                }
            }
            if (free) {
                out.field.particles.push_back({req.r, x, y, z});
                break;
            }
            if (++tries >= 100000) throw std::runtime_error("make_slab: no room for another sphere");
        }
    }
    double zlo = 0.0, zhi = 0.0;
    for (const sphere& s : out.field.particles) {
        zlo = std::min(zlo, s.z - s.r);
        zhi = std::max(zhi, s.z + s.r);
    }
    out.zmin = zlo;
    out.zmax = zhi;
    out.tau = double(n) * std::numbers::pi * req.r * req.r / area;
    out.filling = double(n) * 4.0 / 3.0 * std::numbers::pi * req.r * req.r * req.r / (area * out.h);
    return out;
}

double unblocked_fraction(const field_spec& f, double ex, double ey, double ez, double pixel) {
    const int nx = int(std::ceil(2.0 * f.xl / pixel)), ny = int(std::ceil(2.0 * f.yl / pixel));
    const double px = 2.0 * f.xl / nx, py = 2.0 * f.yl / ny;
    std::vector<unsigned char> shade(std::size_t(nx) * std::size_t(ny), 0);
    for (const sphere& s : f.particles) {
        // Where the line through the centre along e meets z = 0.
        const double t = s.z / ez;
        const double cx0 = s.x - t * ex, cy0 = s.y - t * ey;
        // The shadow is an ellipse with half-axes r and r / |ez|.
        const double reach = s.r / std::abs(ez);
        const int m0 = int(std::ceil((-f.xl - reach - cx0) / (2.0 * f.xl)));
        const int m1 = int(std::floor((f.xl + reach - cx0) / (2.0 * f.xl)));
        for (int m = m0; m <= m1; ++m) {
            const double cx = cx0 + m * 2.0 * f.xl;
            const double cyy = cy0 + m * f.sy;
            const int k0 = int(std::ceil((-f.yl - reach - cyy) / (2.0 * f.yl)));
            const int k1 = int(std::floor((f.yl + reach - cyy) / (2.0 * f.yl)));
            for (int k = k0; k <= k1; ++k) {
                const double cy = cyy + k * 2.0 * f.yl;
                int i0 = std::max(0, int(std::floor((cx - reach + f.xl) / px - 0.5)));
                int i1 = std::min(nx - 1, int(std::ceil((cx + reach + f.xl) / px - 0.5)));
                int j0 = std::max(0, int(std::floor((cy - reach + f.yl) / py - 0.5)));
                int j1 = std::min(ny - 1, int(std::ceil((cy + reach + f.yl) / py - 0.5)));
                for (int j = j0; j <= j1; ++j) {
                    const double dy = (-f.yl + (j + 0.5) * py) - cy;
                    for (int i = i0; i <= i1; ++i) {
                        const double dx = (-f.xl + (i + 0.5) * px) - cx;
                        const double along = dx * ex + dy * ey;
                        // Squared distance of the sphere centre from the line.
                        if (dx * dx + dy * dy - along * along < s.r * s.r)
                            shade[std::size_t(j) * std::size_t(nx) + std::size_t(i)] = 1;
                    }
                }
            }
        }
    }
    std::size_t dark = 0;
    for (unsigned char v : shade) dark += v;
    return 1.0 - double(dark) / double(shade.size());
}

}  // namespace quillet::physics

namespace quillet::physics {

namespace {

struct vec3 {
    double x, y, z;
};
vec3 operator+(vec3 a, vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
vec3 operator-(vec3 a, vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
vec3 operator*(double s, vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(vec3 a, vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Squared distance of c from the half-line p + t u, t >= 0 (u a unit vector).
double half_line_d2(vec3 c, vec3 p, vec3 u) {
    vec3 d = c - p;
    double t = std::max(0.0, dot(d, u));
    vec3 q = d - t * u;
    return dot(q, q);
}

}  // namespace

double shared_shadow_volume(double alpha, bool from_centre, int samples, std::uint64_t seed) {
    // The way in points toward the Sun along u_in = z; the way out toward the
    // observer along u_out, at angle alpha from it in the x-z plane.
    const vec3 u_in{0.0, 0.0, 1.0};
    const vec3 u_out{std::sin(alpha), 0.0, std::cos(alpha)};
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u01(0.0, 1.0);
    // The counted region lies within 1 of the way in and, for angles that are
    // not tiny, within about 2 / sin(alpha) + 3 of its end: sample the box
    // around that stretch of the way in.
    const double reach = std::min(2.0 / std::max(std::sin(alpha), 1e-3) + 3.0, 2000.0);
    const double box = 2.0 * 2.0 * (reach + 1.0);  // x, y in [-1, 1], z in [-1, reach]
    double sum = 0.0;
    for (int i = 0; i < samples; ++i) {
        vec3 p{0.0, 0.0, 0.0};  // end of the way in
        vec3 s{0.0, 0.0, 0.0};  // start of the way out
        if (from_centre) {
            // Impact point uniform over the disc seen from the Sun, on the
            // sunlit surface of the sphere centred at the origin.
            double rho = std::sqrt(u01(gen)), phi = 2.0 * std::numbers::pi * u01(gen);
            p = {rho * std::cos(phi), rho * std::sin(phi), std::sqrt(std::max(0.0, 1.0 - rho * rho))};
        }
        vec3 c = p + vec3{-1.0 + 2.0 * u01(gen), -1.0 + 2.0 * u01(gen), -1.0 + (reach + 1.0) * u01(gen)};
        if (half_line_d2(c, p, u_in) >= 1.0) continue;  // outside the capsule of the way in
        vec3 d = c - s;
        double along = dot(d, u_out);
        if (along < 0.0 || dot(d, d) < 1.0) continue;  // behind S, or its sphere holds S
        vec3 q = d - along * u_out;
        if (dot(q, q) < 1.0) sum += 1.0;
    }
    return 2.0 * std::numbers::pi / 3.0 + box * sum / samples;
}

}  // namespace quillet::physics
