// What the peel-off reads of a run (the observer directions and its
// switches) and what one worker keeps for it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "scatter/photon.h"
#include "trace/tab_choose.h"

namespace quillet {

// The observer directions of a run as the peel-off reads them, 1-based: the
// cosine of each elevation, the azimuth and the vertical component; the
// directions of one azimuth share its turn (same_fii: the first direction
// with that azimuth). Made once at the set-up, read-only after.
struct observer_directions {
    observer_directions() = default;
    // latobs, fiiobs: degrees, entries 1..ntest.
    observer_directions(std::int32_t ntest, const double* latobs, const double* fiiobs);

    std::int32_t ntest = 0;
    std::vector<double> coslat, fii, obs_z;
    std::vector<std::int32_t> same_fii;
};

// One worker's peel-off storage, sized for the run's directions: the
// directions turned with the current photon's field (obs_x, obs_y: turned by
// rot when a scattering first needs them; a photon that never scatters needs
// none), those directions prepared for the searches (kept while they stay
// the same: prepared once per photon instead of once per scattering), the
// per-direction scratch of one scattering, and the photon's brightness
// toward each direction.
class peel_off_state {
public:
    explicit peel_off_state(const observer_directions& dirs);

    // Starts photon ph: its brightness (this storage) cleared, the
    // directions not yet turned.
    void start(photon& ph);
    // Turns the directions by the photon's rot (once per photon).
    void turn(const observer_directions& dirs, double rot);

    bool turned = false;  // obs_x and obs_y are those of the photon's rot
    std::vector<double> obs_x, obs_y, cos_turn, sin_turn;
    std::vector<double> bphot;  // the current photon's brightness, entries 1..ntest

    // The scratch of one scattering (entries 0..ntest - 1).
    std::vector<double> cosines;
    std::unique_ptr<bool[]> wanted;
    std::vector<std::int32_t> blocker;

    // The turned directions prepared for the searches; prepared_n of them
    // are current.
    const search_direction* prepared(const observer_directions& dirs);

private:
    std::vector<double> prep_x_, prep_y_, prep_z_;
    std::vector<search_direction> prep_;
    std::int32_t prepared_n_ = 0;
};

// What the peel-off reads of the run.
struct peel_off_settings {
    observer_directions dirs;
    std::int32_t nboxvis = 0;      // most boxes of a visibility test; 0: no test
    std::int32_t icheck = 0;       // print level
    bool images = false;           // the maps are kept (nxpix >= 1)
    bool fold = true;              // fold the start point into the cell (no emulation flag B)
    std::int32_t nxpix = 0, nypix = 0;
};

}  // namespace quillet
