// Drawing a particle field: radii first (one radius, or a power law sampled by
// inverse CDF until the target optical depth is reached), then positions by
// random sequential addition, largest particles first, each new sphere tested
// against its neighbours through the periodic cell with its shear.
#include "tools/field_generator.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <sstream>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"

namespace quillet {

namespace {

constexpr double pi = std::numbers::pi;
constexpr double sqrt_2pi = 2.5066282746310002;

std::string num(double v) { return free_format(v); }

// Uniform deviates in [0, 1] from the chosen generator. The mt19937_64 word is
// turned into a double by its top 53 bits, so the sequence is the same on
// every platform (the standard fixes mt19937_64's output for a seed).
class field_rng {
public:
    field_rng(field_rng_kind kind, std::int32_t seed)
        : kind_(kind), mt_(std::uint64_t(seed)), idum_(-seed) {}
    double next() {
        if (kind_ == field_rng_kind::ran1) return double(ran1(rs_, idum_));
        return double(mt_() >> 11) * 0x1.0p-53;
    }

private:
    field_rng_kind kind_;
    std::mt19937_64 mt_;
    ran1_state rs_;
    std::int32_t idum_;
};

double largest_radius(const field_request& req) { return req.power_law ? req.rmax : req.radius; }

// The shear as the simulator folds it into [-yl, yl].
double fold_sy(double sy, double yl) {
    for (int i = 0; i < 10; ++i) {
        if (sy > yl) sy -= 2.0 * yl;
        if (sy < -yl) sy += 2.0 * yl;
    }
    return sy;
}

// Inverse of the cumulative distribution of dn/dr ~ r^-q on [rmin, rmax].
double power_law_radius(const field_request& req, double u) {
    double r;
    if (std::fabs(req.q - 1.0) < 1e-12) {
        r = req.rmin * std::pow(req.rmax / req.rmin, u);
    } else {
        double e = 1.0 - req.q;
        double a = std::pow(req.rmin, e), b = std::pow(req.rmax, e);
        r = std::pow(a + u * (b - a), 1.0 / e);
    }
    return std::clamp(r, req.rmin, req.rmax);
}

// Neighbour search for random sequential addition. Radii are grouped into
// classes a factor two apart, each with its own grid of bins at least one
// class diameter wide, so that a small sphere looks at a few bins of every
// class and a wide size range costs no more than a narrow one.
class overlap_index {
public:
    overlap_index(const std::vector<double>& radii, double xl, double yl, double sy)
        : xl_(xl), yl_(yl), sy_(sy) {
        if (radii.empty()) return;
        rtop_ = *std::max_element(radii.begin(), radii.end());
        std::vector<std::int64_t> count(max_classes, 0);
        std::vector<double> rcls(max_classes, 0.0);
        for (double r : radii) {
            int k = class_of(r);
            ++count[k];
            rcls[k] = std::max(rcls[k], r);
        }
        slot_.assign(max_classes, -1);
        for (int k = 0; k < max_classes; ++k) {
            if (count[k] == 0) continue;
            grid g;
            g.rcls = rcls[k];
            double b = 2.0 * rcls[k];
            std::int64_t nx = std::clamp<std::int64_t>(std::int64_t(2.0 * xl / b), 1, 1 << 14);
            std::int64_t ny = std::clamp<std::int64_t>(std::int64_t(2.0 * yl / b), 1, 1 << 14);
            // No more bins than a few per particle of the class.
            while (nx * ny > 4 * count[k] + 64) {
                nx = std::max<std::int64_t>(1, nx / 2);
                ny = std::max<std::int64_t>(1, ny / 2);
            }
            g.nx = int(nx);
            g.ny = int(ny);
            g.bx = 2.0 * xl / double(nx);
            g.by = 2.0 * yl / double(ny);
            g.head.assign(std::size_t(nx * ny), -1);
            slot_[k] = int(grids_.size());
            grids_.push_back(std::move(g));
        }
        next_.reserve(radii.size());
        stored_.reserve(radii.size());
    }

    bool overlaps(const field_particle& p) const {
        for (const grid& g : grids_) {
            if (g.placed == 0) continue;
            double reach = p.r + g.rcls;
            for (int m = -1; m <= 1; ++m) {
                double x = p.x + m * 2.0 * xl_;
                if (x + reach < -xl_ || x - reach > xl_) continue;
                for (int k = -2; k <= 2; ++k) {
                    double y = p.y + k * 2.0 * yl_ + m * sy_;
                    if (y + reach < -yl_ || y - reach > yl_) continue;
                    int ix0 = bin(x - reach, xl_, g.bx, g.nx), ix1 = bin(x + reach, xl_, g.bx, g.nx);
                    int iy0 = bin(y - reach, yl_, g.by, g.ny), iy1 = bin(y + reach, yl_, g.by, g.ny);
                    for (int ix = ix0; ix <= ix1; ++ix)
                        for (int iy = iy0; iy <= iy1; ++iy)
                            for (int j = g.head[std::size_t(ix) * g.ny + iy]; j >= 0; j = next_[j]) {
                                const field_particle& s = stored_[j];
                                double dx = x - s.x, dy = y - s.y, dz = p.z - s.z, d = p.r + s.r;
                                if (dx * dx + dy * dy + dz * dz < d * d) return true;
                            }
                }
            }
        }
        return false;
    }

    void insert(const field_particle& p) {
        grid& g = grids_[slot_[class_of(p.r)]];
        std::size_t b = std::size_t(bin(p.x, xl_, g.bx, g.nx)) * g.ny + bin(p.y, yl_, g.by, g.ny);
        int j = int(stored_.size());
        stored_.push_back(p);
        next_.push_back(g.head[b]);
        g.head[b] = j;
        ++g.placed;
    }

private:
    static constexpr int max_classes = 32;
    struct grid {
        double rcls = 0.0;  // largest radius of the class
        int nx = 1, ny = 1;
        double bx = 0.0, by = 0.0;
        std::vector<int> head;  // first particle of each bin, -1 for none
        std::int64_t placed = 0;
    };

    int class_of(double r) const {
        int k = int(std::floor(std::log2(rtop_ / r)));
        return std::clamp(k, 0, max_classes - 1);
    }
    static int bin(double v, double half, double width, int n) {
        double f = std::floor((v + half) / width);
        if (f < 0.0) return 0;
        if (f > double(n - 1)) return n - 1;
        return int(f);
    }

    double xl_, yl_, sy_;
    double rtop_ = 0.0;
    std::vector<int> slot_;
    std::vector<grid> grids_;
    std::vector<int> next_;
    std::vector<field_particle> stored_;
};

std::vector<double> draw_radii(const field_request& req, field_rng& rng) {
    const double area = 4.0 * req.xl * req.yl;
    std::vector<double> radii;
    auto too_many = [&](double n) {
        std::ostringstream m;
        const double limit = double(particle_number_limit);
        m << "the request needs "
          << (n > limit + 0.5 && n < limit + 1.5 ? "more than " + std::to_string(particle_number_limit)
                                                  : n > 1e12 ? std::string("more than 10^12")
                                                             : std::to_string(std::int64_t(n)))
          << " particles; the simulator counts at most " << particle_number_limit
          << " (a 32-bit particle number, edge copies included): lower the optical depth, widen the sizes or "
             "shrink the cell";
        throw limit_error(m.str());
    };
    if (!req.power_law) {
        double n = req.number >= 0 ? double(req.number)
                                   : std::round(req.tau * area / (pi * req.radius * req.radius));
        if (n > double(particle_number_limit)) too_many(n);
        radii.assign(std::size_t(n), req.radius);
        return radii;
    }
    if (req.number >= 0) {
        if (req.number > particle_number_limit) too_many(req.number);
        for (std::int32_t i = 0; i < req.number; ++i) radii.push_back(power_law_radius(req, rng.next()));
        return radii;
    }
    // Add particles until their cross-sections reach the target.
    double target = req.tau * area, sum = 0.0;
    while (sum < target) {
        if (radii.size() >= std::size_t(particle_number_limit)) too_many(double(particle_number_limit) + 1);
        double r = power_law_radius(req, rng.next());
        radii.push_back(r);
        sum += pi * r * r;
    }
    return radii;
}

}  // namespace

void check_field_request(const field_request& req) {
    auto bad = [](const std::string& m) { throw limit_error(m); };
    auto finite = [](double v) { return std::isfinite(v); };
    if (!finite(req.xl) || req.xl <= 0.0) bad("--xl must be a positive length, not " + num(req.xl));
    if (!finite(req.yl) || req.yl <= 0.0) bad("--yl must be a positive length, not " + num(req.yl));
    if (!finite(req.sy)) bad("--sy must be a finite length");
    if (!finite(req.orb)) bad("--orb must be a finite number");
    if (req.power_law) {
        if (!finite(req.rmin) || req.rmin <= 0.0) bad("--rmin must be a positive radius, not " + num(req.rmin));
        if (!finite(req.rmax) || req.rmax < req.rmin)
            bad("--rmax must be a radius not below --rmin (" + num(req.rmin) + "), not " + num(req.rmax));
        if (!finite(req.q)) bad("--q must be a finite power-law index");
    } else if (!finite(req.radius) || req.radius <= 0.0) {
        bad("--radius must be a positive radius, not " + num(req.radius));
    }
    double rtop = largest_radius(req);
    if (2.0 * rtop > std::min(req.xl, req.yl))
        bad("the largest radius " + num(rtop) + " must not exceed a quarter of the cell width (xl = " +
            num(req.xl) + ", yl = " + num(req.yl) + ")");
    if (req.number < 0 && (!finite(req.tau) || req.tau < 0.0))
        bad("--tau must be a non-negative optical depth, not " + num(req.tau));
    switch (req.profile) {
    case field_profile::filling:
    case field_profile::gauss_filling:
        if (!finite(req.filling) || req.filling <= 0.0)
            bad("--filling must be a positive volume filling factor, not " + num(req.filling));
        break;
    case field_profile::thickness:
        if (!finite(req.thickness) || req.thickness <= 0.0)
            bad("--thickness must be a positive length, not " + num(req.thickness));
        if (req.thickness < 2.0 * rtop)
            bad("--thickness " + num(req.thickness) + " is less than the largest diameter " + num(2.0 * rtop));
        break;
    case field_profile::scale_height:
        if (!finite(req.scale_height) || req.scale_height <= 0.0)
            bad("--scale-height must be a positive length, not " + num(req.scale_height));
        break;
    }
    if (!req.overlap && (req.profile == field_profile::filling || req.profile == field_profile::gauss_filling) &&
        req.filling > random_close_packing)
        bad("filling factor " + num(req.filling) + " is denser than random close packing of spheres (" +
            num(random_close_packing) + "): non-overlapping particles cannot be placed (use --overlap)");
    if (req.seed < 1 || req.seed > 999999999) bad("--seed must be a whole number from 1 to 999999999");
    if (req.max_attempts < 1) bad("--max-attempts must be at least 1");
}

field_result make_field(const field_request& req) {
    check_field_request(req);
    const double area = 4.0 * req.xl * req.yl;
    const double sy = fold_sy(req.sy, req.yl);

    field_rng rng(req.rng, req.seed);
    std::vector<double> radii = draw_radii(req, rng);
    // Largest first: random sequential addition packs a size distribution far
    // better that way, and the neighbour search then never meets a sphere
    // larger than the class it looks in.
    std::stable_sort(radii.begin(), radii.end(), std::greater<double>());

    field_result res;
    for (double r : radii) {
        res.area_sum += pi * r * r;
        res.volume_sum += 4.0 / 3.0 * pi * r * r * r;
    }
    res.tau = res.area_sum / area;
    const double rbig = radii.empty() ? 0.0 : radii.front();

    bool gaussian = false;
    switch (req.profile) {
    case field_profile::filling:
        res.thickness = res.volume_sum / (area * req.filling);
        break;
    case field_profile::thickness:
        res.thickness = req.thickness;
        break;
    case field_profile::scale_height:
        gaussian = true;
        res.scale_height = req.scale_height;
        break;
    case field_profile::gauss_filling:
        gaussian = true;
        res.scale_height = res.volume_sum / (area * sqrt_2pi * req.filling);
        break;
    }
    if (gaussian) res.thickness = sqrt_2pi * res.scale_height;
    res.filling = res.thickness > 0.0 ? res.volume_sum / (area * res.thickness) : 0.0;
    if (radii.empty()) res.filling = 0.0;

    if (!radii.empty() && !gaussian && res.thickness < 2.0 * rbig)
        throw limit_error("the layer thickness " + num(res.thickness) + " that the filling factor " +
                          num(req.filling) + " gives is less than the largest diameter " + num(2.0 * rbig) +
                          ": lower the filling factor or give the layer a --thickness");
    if (!req.overlap && res.filling > random_close_packing)
        throw limit_error("filling factor " + num(res.filling) +
                          " is denser than random close packing of spheres (" + num(random_close_packing) +
                          "): non-overlapping particles cannot be placed (use a thicker layer or --overlap)");

    overlap_index index(req.overlap ? std::vector<double>{} : radii, req.xl, req.yl, sy);
    res.part.reserve(radii.size());
    for (std::size_t i = 0; i < radii.size(); ++i) {
        field_particle p{radii[i], 0.0, 0.0, 0.0};
        std::int64_t tries = 0;
        for (;;) {
            if (tries == req.max_attempts) {
                std::ostringstream m;
                m << "cannot place particle " << i + 1 << " of " << radii.size() << " (radius " << num(p.r)
                  << ") after " << req.max_attempts << " attempts: the layer is too crowded for random "
                  << "sequential addition (filling factor " << num(res.filling)
                  << "; equal spheres jam near 0.38, less in a thin layer). Lower the filling factor, "
                  << "thicken the layer, or use --overlap";
                throw limit_error(m.str());
            }
            ++tries;
            // Draw order per attempt: x, y, then the height.
            p.x = (2.0 * rng.next() - 1.0) * req.xl;
            p.y = (2.0 * rng.next() - 1.0) * req.yl;
            if (gaussian) {
                double u1 = rng.next();
                double u2 = rng.next();
                if (u1 <= 0.0) u1 = rng.next();
                if (u1 <= 0.0) u1 = 1e-300;
                p.z = res.scale_height * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * pi * u2);
            } else {
                // The whole sphere lies inside the slab [-H/2, H/2].
                double half = 0.5 * res.thickness - p.r;
                p.z = (2.0 * rng.next() - 1.0) * half;
            }
            if (req.overlap || !index.overlaps(p)) break;
        }
        res.attempts += tries;
        if (!req.overlap) index.insert(p);
        res.part.push_back(p);
        res.zmin = std::min(res.zmin, p.z - p.r);
        res.zmax = std::max(res.zmax, p.z + p.r);
    }
    res.edge_copies = count_edge_copies(res.part, req.xl, req.yl, sy);
    return res;
}

std::int64_t count_edge_copies(const std::vector<field_particle>& part, double xl, double yl, double sy) {
    sy = fold_sy(sy, yl);
    std::int64_t c = 0;
    for (const field_particle& p : part)
        for (int m = -1; m <= 1; ++m)
            for (int k = -1; k <= 1; ++k) {
                if (m == 0 && k == 0) continue;
                double x = p.x + m * 2.0 * xl;
                double y = p.y + k * 2.0 * yl + m * sy;
                if (std::fabs(x) <= p.r + xl && std::fabs(y) <= p.r + yl) ++c;
            }
    return c;
}

}  // namespace quillet
