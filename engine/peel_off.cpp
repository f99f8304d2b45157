#include "engine/peel_off.h"

#include <algorithm>
#include <cmath>

namespace quillet {

observer_directions::observer_directions(std::int32_t n, const double* latobs, const double* fiiobs)
    : ntest(n), coslat(n + 1, 0.0), fii(n + 1, 0.0), obs_z(n + 1, 0.0), same_fii(n + 1, 0) {
    constexpr double deg_to_rad = 0.017453292519943295;
    for (std::int32_t k = 1; k <= n; ++k) {
        const double lat = latobs[k] * deg_to_rad;
        fii[k] = fiiobs[k] * deg_to_rad;
        coslat[k] = std::cos(lat);
        obs_z[k] = std::sin(lat);
        same_fii[k] = k;
        for (std::int32_t j = 1; j < k; ++j) {
            if (fii[j] == fii[k]) {
                same_fii[k] = j;
                break;
            }
        }
    }
}

peel_off_state::peel_off_state(const observer_directions& dirs)
    : obs_x(dirs.ntest + 1, 0.0),
      obs_y(dirs.ntest + 1, 0.0),
      cos_turn(dirs.ntest + 1, 0.0),
      sin_turn(dirs.ntest + 1, 0.0),
      bphot(dirs.ntest + 1, 0.0),
      cosines(dirs.ntest, 0.0),
      wanted(new bool[std::size_t(dirs.ntest) + 1]()),
      blocker(dirs.ntest + 1, 0),
      prep_x_(dirs.ntest + 1, 0.0),
      prep_y_(dirs.ntest + 1, 0.0),
      prep_z_(dirs.ntest + 1, 0.0),
      prep_(dirs.ntest + 1) {}

void peel_off_state::start(photon& ph) {
    turned = false;
    std::fill(bphot.begin(), bphot.end(), 0.0);
    ph.bphot = bphot.data();
}

void peel_off_state::turn(const observer_directions& dirs, double rot) {
    for (std::int32_t k = 1; k <= dirs.ntest; ++k) {
        const std::int32_t f = dirs.same_fii[k];
        if (f == k) {
            const double a = dirs.fii[k] + rot;
            cos_turn[k] = std::cos(a);
            sin_turn[k] = std::sin(a);
        }
        obs_x[k] = dirs.coslat[k] * cos_turn[f];
        obs_y[k] = dirs.coslat[k] * sin_turn[f];
    }
    turned = true;
}

const search_direction* peel_off_state::prepared(const observer_directions& dirs) {
    const std::int32_t ntest = dirs.ntest;
    for (std::int32_t k = 1; k <= ntest; ++k) {
        const double ox = obs_x[k], oy = obs_y[k], oz = dirs.obs_z[k];
        if (k > prepared_n_ || ox != prep_x_[k] || oy != prep_y_[k] || oz != prep_z_[k]) {
            prep_x_[k] = ox;
            prep_y_[k] = oy;
            prep_z_[k] = oz;
            prepare_direction(ox, oy, oz, prep_[k - 1]);
        }
    }
    if (ntest > prepared_n_) prepared_n_ = ntest;
    return prep_.data();
}

}  // namespace quillet
