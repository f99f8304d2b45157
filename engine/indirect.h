// Peel-off: at each scattering, the part of the photon's weight that leaves
// straight toward each observer direction, after a visibility test along the
// way out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_records.h"
#include "engine/tallies.h"
#include "field/particle_field.h"
#include "scatter/law_table.h"
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

// Photon ph has just scattered (scatter(field) left its position, the
// particle ph.ipart and its direction before, ph.before) at its search
// ph.iscat, the scattering order (1 = first). Adds to its brightness, to the
// sums t and, with the image switch on, to the maps. check_reverse: whether a
// first scattering searches its reversed incoming path (the "IVIS3" check,
// which never changes a contribution).
void indirect(const particle_field& field, photon& ph, const scattering_laws& laws, const peel_off_settings& set,
              peel_off_state& view, tallies& t, bool check_reverse = true);

}  // namespace quillet
