// Planet-shine as a photon source. The planet is cut into latitude rows and
// longitude columns; every zone that is sunlit and above the particle field's
// horizon sends a flux onto the ring plane given by the selected photometric
// model, and the photon budget is shared among the zones in proportion to it.
// Frame: planet-centred, z the pole, x from the planet's centre toward the
// particle field at (distance, 0, 0). Angles in radians unless named degrees.
#include "planet/saturn_illumination.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <string>

#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/spline.h"
#include "numeric/tim.h"
#include "planet/planet_zones.h"

namespace quillet {

namespace {

constexpr double deg_to_rad = 0.017453293;
constexpr double rad_to_deg = 57.29577951;
constexpr double pi_sat = 3.141592654;
constexpr double two_pi_sat = 6.283185308;
constexpr double half_pi_sat = 1.570796327;

constexpr int n_nodes = 6;

// Phase-angle nodes (degrees) and the A and B tables of the four laws:
// 1 blue belts, 2 blue zones, 3 red belts, 4 red zones. Index 0 unused.
const double xxtab[n_nodes + 1] = {0.0, 0.0, 30.0, 60.0, 90.0, 120.0, 150.0};
const double atab[5][n_nodes + 1] = {
    {},
    {0.0, 0.6736, 0.6197, 0.5726, 0.5948, 0.7869, 2.1323},
    {0.0, 0.595, 0.5659, 0.5406, 0.529, 0.6015, 1.5886},
    {0.0, 1.6854, 1.5946, 1.4529, 1.3386, 1.3653, 2.2539},
    {0.0, 1.6911, 1.5995, 1.4567, 1.3436, 1.368, 2.2021},
};
const double btab[5][n_nodes + 1] = {
    {},
    {0.0, 1.1339, 1.1254, 1.1552, 1.197, 1.2385, 1.4539},
    {0.0, 1.0948, 1.0938, 1.1372, 1.1606, 1.1636, 1.3727},
    {0.0, 1.4812, 1.4779, 1.4586, 1.4224, 1.3637, 1.3385},
    {0.0, 1.4825, 1.4794, 1.4592, 1.4221, 1.3618, 1.3341},
};

// Zone brightness term of law t: A * x^B / mue with x = mue*mu0/(mue + mu0).
double law_term(const planet_laws& laws, int t, double alpha, double mue, double mu0) {
    double a = 0.0, b = 0.0;
    laws.planet_law(t, alpha, a, b);
    double x = mue * mu0 / (mue + mu0);
    return a * std::pow(x, b) / mue;
}

}  // namespace

double zone_latitude(std::int32_t i, std::int32_t nlat_sat) {
    double dtheta = pi_sat / nlat_sat;
    return i * dtheta + (-half_pi_sat - dtheta / 2.0);
}

double zone_longitude(std::int32_t j, std::int32_t nfii_sat) {
    double dfii = two_pi_sat / nfii_sat;
    return double(float(j) - 0.5f) * dfii;
}

planet_laws::planet_laws() {
    static_assert(sizeof(atab_y2[0]) == sizeof(xxtab), "one second derivative per node");
    for (int t = 1; t <= 4; ++t) {
        spline(xxtab, atab[t], n_nodes, spline_natural, spline_natural, atab_y2[t]);
        spline(xxtab, btab[t], n_nodes, spline_natural, spline_natural, btab_y2[t]);
    }
}

void planet_laws::planet_law(int t, double alpha, double& a, double& b) const {
    splint(xxtab, atab[t], atab_y2[t], n_nodes, alpha, a);
    splint(xxtab, btab[t], btab_y2[t], n_nodes, alpha, b);
}

void share_planet_photons(planet_photons& p, double distance, double rsat, std::int32_t nphot_ori) {
    const std::int32_t nlat_sat = p.nlat_sat, nfii_sat = p.nfii_sat;
    const double flux_sat = p.flux_sat;
    std::int64_t n = 0;
    // The zones' shares, each rounded down, add up to at most nphot_ori.
    for (std::vector<double>* v : {&p.xsat, &p.ysat, &p.zsat}) {
        v->assign(1, 0.0);
        v->reserve(std::size_t(std::max(nphot_ori, 0)) + 1);
    }
    p.nphot_sat = 0;
    for (std::int32_t i = 1; i <= nlat_sat; ++i) {
        double theta = zone_latitude(i, nlat_sat);
        double ct = std::cos(theta), st = std::sin(theta);
        for (std::int32_t j = 1; j <= nfii_sat; ++j) {
            double f = p.flux_of(i, j);
            if (!(f > 0.0)) continue;
            std::int32_t count = std::int32_t(f * (nphot_ori * (1.0 / flux_sat)));
            if (count < 1) continue;
            if (n + count > INT32_MAX)
                throw limit_error("saturn_illumination: the planet photons exceed the " +
                                  std::to_string(INT32_MAX) + " a run can count");
            double fii = zone_longitude(j, nfii_sat);
            double px = rsat * (ct * std::cos(fii));
            double py = rsat * (ct * std::sin(fii));
            double pz = rsat * st;
            double dx = distance - px, dy = -py, dz = -pz;
            double dlen = std::sqrt(dx * dx + dy * dy + dz * dz);
            // The direction from the particle field toward the zone is -d/|d|.
            double ux = (px - distance) / dlen, uy = py / dlen, uz = pz / dlen;
            p.add_photons(count, ux, uy, uz);
            n += count;
        }
    }
}

planet_photons saturn_illumination(double bsun, double lonsun, std::int32_t nphot_ori, const planet_settings& s) {
    double cpu1 = 0.0, cpu2 = 0.0;
    tim(cpu1);

    const std::int32_t isat = s.isat;
    const double distance = s.distance;
    const double rsat = s.rsat;
    const std::int32_t nlat_sat = s.nlat_sat;
    const std::int32_t nfii_sat = s.nfii_sat;
    const std::int32_t model_sat = s.model_sat;

    if (std::int64_t(nlat_sat) * nfii_sat > planet_zone_limit)
        throw limit_error("saturn_illumination: the planet zone grid nlat_sat x nfii_sat = " +
                          std::to_string(nlat_sat) + " x " + std::to_string(nfii_sat) + " has more than the " +
                          std::to_string(planet_zone_limit) + " zones a 32-bit zone number counts");
    std::optional<planet_laws> laws;
    if (model_sat > 1) laws.emplace();

    const double b = bsun * deg_to_rad, l = lonsun * deg_to_rad;
    const double sinb = std::sin(b), cosb = std::cos(b);
    const double sinl = std::sin(l), cosl = std::cos(l);
    const double sx = cosb * cosl, sy = cosb * sinl, sz = sinb;
    planet_photons p;
    p.nlat_sat = std::max(nlat_sat, 0);
    p.nfii_sat = std::max(nfii_sat, 0);
    p.zone_flux.assign(std::size_t(p.nlat_sat) * std::size_t(p.nfii_sat), 0.0);
    double flux_sat = 0.0;

    if (nlat_sat >= 1) {
        const double dtheta = pi_sat / nlat_sat;
        const double dfii = nfii_sat >= 1 ? two_pi_sat / nfii_sat : 0.0;
        for (std::int32_t i = 1; i <= nlat_sat; ++i) {
            double theta = zone_latitude(i, nlat_sat);
            if ((isat == 2 && theta >= 0.0) || (isat == 3 && theta <= 0.0)) continue;
            double ct = std::cos(theta), st = std::sin(theta);
            for (std::int32_t j = 1; j <= nfii_sat; ++j) {
                double fii = zone_longitude(j, nfii_sat);
                double nx = ct * std::cos(fii), ny = ct * std::sin(fii), nz = st;
                double f = 0.0;
                double mu0 = nx * sx + ny * sy + nz * sz;
                if (mu0 > 0.0) {
                    double px = rsat * nx, py = rsat * ny, pz = rsat * nz;
                    double dx = distance - px, dy = -py, dz = -pz;
                    double dlen = std::sqrt(dx * dx + dy * dy + dz * dz);
                    double ex = dx / dlen, ey = dy / dlen, ez = dz / dlen;
                    double mue = nx * ex + ny * ey + nz * ez;
                    if (mue > 0.0) {
                        // Zone area projected toward the field, times the cosine of
                        // incidence on the ring plane, over the squared distance.
                        double g = rsat * rsat * ct * dtheta * dfii * mue * (std::abs(pz) / dlen) /
                                   (dlen * dlen);
                        if (model_sat == 1) {
                            f = mu0 * g;
                        } else {
                            double alpha = rad_to_deg * std::acos(ex * sx + ey * sy + ez * sz);
                            auto t = [&](int law) { return law_term(*laws, law, alpha, mue, mu0); };
                            switch (model_sat) {
                                case 2: f = g * (0.5 * t(3) + 0.5 * t(4)); break;
                                case 3: f = g * (0.5 * t(1) + 0.5 * t(2)); break;
                                case 4: f = g * (0.25 * (t(1) + t(2) + t(3) + t(4))); break;
                                case 5: f = g * (0.25 * t(4) + 0.75 * t(2)); break;
                                case 6: f = g * (0.25 * t(3) + 0.75 * t(1)); break;
                                case 11: f = g * t(3); break;
                                case 12: f = g * t(1); break;
                                case 13: f = g * t(4); break;
                                case 14: f = g * t(2); break;
                                default: f = 0.0; break;
                            }
                        }
                    }
                }
                p.flux_of(i, j) = f;
                flux_sat += f;
            }
        }
        p.flux_sat = flux_sat;
        if (flux_sat > 0.0) share_planet_photons(p, distance, rsat, nphot_ori);
    }
    p.flux_sat = flux_sat;

    tim(cpu2);
    say("SATURN: fii,flux,nphot,cpu", lonsun, flux_sat, p.nphot_sat, cpu2 - cpu1);
    return p;
}

}  // namespace quillet
