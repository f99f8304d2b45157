// Parameter decks for tests: every value of the 33 records with defaults that
// make a small, quick, Sun-lit run (one observer direction, a 2 x 2 photon
// grid, no search grid, no result files but the direction file), turned into
// deck text with one record per line and a short comment after each.
//
// Typical use:
//     deck_values d;
//     d.isquare = 12;
//     run_binary(binary, d.text(), dir.path());
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test_support {

struct deck_direction {
    double lat;
    double fii;  // phase angle, or 1000 + azimuth relative to the Sun
};

struct deck_values {
    std::string posfile = "ring.pos";
    double bsun = 30.0, lonsun = 0.0;
    // Record 3: the list form when ntest > 0 (directions below), the grid
    // form when ntest < 0 (nlat, nfii, latgrid, fiigrid), none when 0.
    std::int32_t ntest = 1;
    std::vector<deck_direction> directions = {{30.0, 40.0}};
    std::int32_t nlat = 0, nfii = 0;
    std::vector<double> latgrid, fiigrid;
    std::int32_t nxphot = 2, nyphot = 2, mx = 1, my = 1;
    std::string parfile = "junk", outfile = "junk", epsfile = "junk", wfile = "result.w";
    std::int32_t method = 2;
    double ppar1 = 0.0, ppar2 = 0.0, ppar3 = 0.0;
    std::string posfile_haze = "junk";
    std::int32_t method_haze = 2;
    double ppar1_haze = 0.0, ppar2_haze = 0.0, ppar3_haze = 0.0;
    double ssca_part = 1.0, ssca_haze = 1.0;
    std::int32_t icheck = -1, idum = -1;
    double sredu = 1.0, zredu = 1.0;
    double sizemin = 0.0, s20 = 0.0, f20 = 1.0;
    std::int32_t isat = 0;
    double distance = 2.0;
    std::int32_t nlat_sat = 4, nfii_sat = 8, model_sat = 1;
    std::int32_t irot = 0, isquare = 1;
    std::string testimage = "test";
    std::int32_t nxpix = 0, nypix = 0;
    std::int32_t idebug = 0, iemulate = 0;

    // The deck as text, one record per line. With `upto` below 33 the deck
    // stops after that record (a short deck).
    std::string text(int upto = 33) const;
};

// Numbers written so that they read back exactly.
std::string deck_number(double v);

}  // namespace quillet::test_support
