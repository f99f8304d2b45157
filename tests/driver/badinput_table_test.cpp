// Bad input, run as users run quillet: one table row per kind of fault (the
// deck, the particle and haze files, the engine parameter file, the phase
// tables, the output folders). Each row must end the run with exit status 1
// and one message on standard error that names the file, the line or record
// and what was expected, and must leave no result file behind, complete or
// partial (no ".part" temporary file either). The list and the messages are
// documented in docs/errors.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/deck_text.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"

using quillet::test_support::deck_values;
using quillet::test_support::process_result;

namespace {

const std::string ring_text =
    "small field\n1\n1.0 2.0 2.0 0.0\n3\n0.5 0.0 0.0 0.0\n0.4 1.0 1.0 0.2\n0.3 -1.0 0.5 -0.1\n";

// A deck that writes every result file: escape, histogram, direction file and
// test image.
deck_values full_deck() {
    deck_values d;
    d.outfile = "out.esc";
    d.epsfile = "out.hist";
    d.wfile = "out.dir";
    d.testimage = "img";
    d.nxpix = 4, d.nypix = 4;
    return d;
}

// The deck text with line `n` (1-based) replaced.
std::string with_line(const std::string& text, int n, const std::string& line) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    lines.at(std::size_t(n - 1)) = line;
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// Bytes of a literal, NULs included.
template <std::size_t N>
std::string bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string phase_table(const std::string& rows_text, int n) {
    return "table\n" + std::to_string(n) + "\n" + rows_text;
}

struct bad_input {
    const char* name;
    std::function<std::string()> deck;       // the deck text
    std::map<std::string, std::string> files;  // input files besides ring.pos (an entry for ring.pos replaces it)
    std::vector<std::string> expected;        // parts of the message, in any order
};

std::string deck_with(const std::function<void(deck_values&)>& change) {
    deck_values d = full_deck();
    change(d);
    return d.text();
}

const std::vector<bad_input>& table() {
    static const std::vector<bad_input> rows = {
        // The deck on standard input.
        {"EmptyDeck", [] { return std::string(); }, {}, {"standard input", "deck record 1 (posfile)", "input ended"}},
        {"TruncatedDeck", [] { return full_deck().text(20); }, {},
         {"standard input, line", "deck record 21 (sredu, zredu)", "input ended"}},
        {"BinaryGarbageDeck", [] { return bytes("\x7f" "ELF\x01\x01\x01\x00\x00\x00\n\xff\xfe\x00\x01\n"); },
         {}, {"standard input, line 2, deck record 2 (bsun, lonsun): expected a number, found '\?\?\?\?'"}},
        {"TextWhereANumberBelongs", [] { return with_line(full_deck().text(), 2, "thirty 0.0"); }, {},
         {"standard input, line 2, deck record 2 (bsun, lonsun): expected a number, found 'thirty'"}},
        {"RealWhereAnIntegerBelongs", [] { return with_line(full_deck().text(), 5, "2.5 2 1 1"); }, {},
         {"standard input, line 5, deck record 8 (nxphot, nyphot, mx, my): expected an integer, found '2.5'"}},
        {"IntegerBeyond32Bits", [] { return with_line(full_deck().text(), 5, "2147483648 2 1 1"); }, {},
         {"line 5, deck record 8", "expected an integer, found '2147483648'"}},
        {"MoreDirectionsStatedThanFollow", [] { return deck_with([](deck_values& d) { d.ntest = 3; }); }, {},
         {"standard input, line 6, deck record 4 (latobs, fiiobs of direction 3): expected a number, found 'junk'"}},
        {"DirectionCountOneOverTheDirectionNumbers", [] {
             return deck_with([](deck_values& d) {
                 d.ntest = 2147483647;
                 d.directions.assign(2, {30.0, 40.0});
             });
         }, {}, {"standard input, line 3, deck record 3 (ntest)", "2147483647 observer directions, more than the "
                 "2147483646 a 32-bit direction number counts"}},
        {"NegativeGridSize", [] {
             return deck_with([](deck_values& d) {
                 d.ntest = -1;
                 d.nlat = -2, d.nfii = 1;
             });
         }, {}, {"line 4, deck record 5 (nlat, nfii)", "must not be negative"}},
        {"GridDirectionsOneOverTheDirectionNumbers", [] {
             return deck_with([](deck_values& d) {
                 d.ntest = -1;
                 d.nlat = 2147483647, d.nfii = 1;
             });
         }, {}, {"line 4, deck record 5 (nlat, nfii)", "nlat*nfii = 2147483647 observer directions, more than the "
                 "2147483646"}},
        {"NegativePhotonGrid", [] { return deck_with([](deck_values& d) { d.nxphot = -4; }); }, {},
         {"line 5, deck record 8 (nxphot, nyphot, mx, my)", "must not be negative"}},
        {"PhotonGridOfZero", [] { return deck_with([](deck_values& d) { d.nyphot = 0; }); }, {},
         {"line 5, deck record 8 (nxphot, nyphot, mx, my)", "launches no photon: both must be at least 1"}},
        {"PhotonsOneOverThePhotonNumbers",
         [] { return deck_with([](deck_values& d) { d.nxphot = 65536, d.nyphot = 32768; }); },
         {}, {"line 5, deck record 8", "nxphot*nyphot = 2147483648 photons, more than the 2147483647"}},
        {"SearchGridOneCellOverTheCellNumbers",
         [] { return deck_with([](deck_values& d) { d.mx = 2147483647, d.my = 1; }); },
         {}, {"line 5, deck record 8", "mx*my = 2147483647 search-grid cells, more than the 2147483646"}},
        {"TestImageOnePixelOverThePixelNumbers",
         [] { return deck_with([](deck_values& d) { d.nxpix = 65536, d.nypix = 32768; }); }, {},
         {"deck record 31 (nxpix, nypix)", "nxpix*nypix = 2147483648 test-image pixels, more than the 2147483647"}},
        {"TestImageWithoutRows", [] { return deck_with([](deck_values& d) { d.nypix = 0; }); }, {},
         {"deck record 31 (nxpix, nypix)", "needs at least 1 row"}},
        {"IsquareOneOverItsLimit", [] { return deck_with([](deck_values& d) { d.isquare = 46341; }); }, {},
         {"deck record 29 (isquare)", "isquare = 46341"}},
        {"SunElevationNaN", [] { return deck_with([](deck_values& d) { d.bsun = NAN; }); }, {},
         {"standard input, line 2, deck record 2 (bsun, lonsun): expected a Sun elevation bsun from -90 to 90 "
          "degrees, found nan"}},
        {"SunElevationInfinite", [] { return deck_with([](deck_values& d) { d.bsun = INFINITY; }); }, {},
         {"line 2, deck record 2 (bsun, lonsun)", "from -90 to 90 degrees, found inf"}},
        {"SunElevationBeyondTheZenith", [] { return deck_with([](deck_values& d) { d.bsun = 90.5; }); }, {},
         {"line 2, deck record 2 (bsun, lonsun)", "found 90.5"}},
        {"SunAzimuthInfinite", [] { return deck_with([](deck_values& d) { d.lonsun = -INFINITY; }); }, {},
         {"line 2, deck record 2 (bsun, lonsun): expected a finite number for the Sun azimuth lonsun, found -inf"}},
        {"ObserverLatitudeNaN", [] { return deck_with([](deck_values& d) { d.directions = {{NAN, 40.0}}; }); }, {},
         {"line 4, deck record 4 (latobs, fiiobs)", "latitude nan"}},
        {"LawParameterNaN", [] { return deck_with([](deck_values& d) { d.ppar1 = NAN; }); }, {},
         {"line 11, deck record 14 (ppar1, ppar2, ppar3): expected a finite number for ppar1, found nan"}},
        {"HazeLawParameterInfinite", [] { return deck_with([](deck_values& d) { d.ppar3_haze = INFINITY; }); }, {},
         {"line 14, deck record 17 (ppar1_haze, ppar2_haze, ppar3_haze)", "ppar3_haze, found inf"}},
        {"HenyeyGreensteinAsymmetryOne", [] { return deck_with([](deck_values& d) { d.method = 3, d.ppar1 = 1.0; }); },
         {},
         {"line 11, deck record 14 (ppar1, ppar2, ppar3): the Henyey-Greenstein asymmetry ppar1 must lie between -1 "
          "and 1 (exclusive), not 1.0"}},
        {"LinearLawBeyondOne", [] { return deck_with([](deck_values& d) { d.method = 6, d.ppar1 = -1.5; }); }, {},
         {"line 11, deck record 14", "linear-law coefficient ppar1", "not -1.5"}},
        {"TwoTermWeightAboveOne",
         [] { return deck_with([](deck_values& d) { d.method = 13, d.ppar1 = 0.5, d.ppar2 = -0.3, d.ppar3 = 1.2; }); },
         {},
         {"line 11, deck record 14", "weight ppar3 of the first Henyey-Greenstein term", "not 1.2"}},
        {"HazePowerLawNotNormalisable",
         [] {
             return deck_with([](deck_values& d) {
                 d.method = 9, d.ppar1 = 1.0, d.posfile_haze = "ring.pos", d.method_haze = 10, d.ppar1_haze = -2.0;
             });
         },
         {},
         {"line 14, deck record 17 (ppar1_haze, ppar2_haze, ppar3_haze)", "power-law exponent ppar1_haze",
          "not -2.0"}},
        // Exponents whose table leaves the range of a double: theta^n vanishes
        // toward forward scattering (n above about 66) or overflows.
        {"PowerLawTableBeyondDoubleRange", [] { return deck_with([](deck_values& d) { d.method = 10, d.ppar1 = 100.0; }); },
         {},
         {"line 11, deck record 14 (ppar1, ppar2, ppar3): the power-law exponent ppar1 = 100.0 gives a law that a "
          "double cannot hold: ", "curvature"}},
        {"PowerLawNormalisationOverflows", [] { return deck_with([](deck_values& d) { d.method = 9, d.ppar1 = 700.0; }); },
         {}, {"line 11, deck record 14", "ppar1 = 700.0", "normalisation c_n = 0.0"}},
        {"AlbedoNaN", [] { return deck_with([](deck_values& d) { d.ssca_part = NAN; }); }, {},
         {"line 15, deck record 18 (ssca_part, ssca_haze): expected a single-scattering albedo ssca_part from 0 to 1, "
          "found nan"}},
        {"AlbedoAboveOne", [] { return deck_with([](deck_values& d) { d.ssca_haze = 1.5; }); }, {},
         {"line 15, deck record 18", "ssca_haze from 0 to 1, found 1.5"}},
        {"AlbedoNegative", [] { return deck_with([](deck_values& d) { d.ssca_part = -0.1; }); }, {},
         {"line 15, deck record 18", "found -0.1"}},
        {"RadiusFactorZero", [] { return deck_with([](deck_values& d) { d.sredu = 0.0; }); }, {},
         {"line 18, deck record 21 (sredu, zredu): expected a radius factor sredu above 0, found 0.0"}},
        {"RadiusFactorNegative", [] { return deck_with([](deck_values& d) { d.sredu = -1.0; }); }, {},
         {"line 18, deck record 21", "sredu above 0, found -1.0"}},
        {"HeightFactorInfinite", [] { return deck_with([](deck_values& d) { d.zredu = INFINITY; }); }, {},
         {"line 18, deck record 21", "zredu of at least 0, found inf"}},
        {"SizeCutNaN", [] { return deck_with([](deck_values& d) { d.sizemin = NAN; }); }, {},
         {"line 19, deck record 22 (sizemin): expected a finite number for sizemin, found nan"}},
        {"EnlargementFactorZero", [] { return deck_with([](deck_values& d) { d.s20 = 0.4, d.f20 = 0.0; }); }, {},
         {"line 20, deck record 23 (s20, f20)", "f20 above 0", "found 0.0"}},
        {"PlanetDistanceNaN", [] { return deck_with([](deck_values& d) { d.isat = 1, d.distance = NAN; }); }, {},
         {"line 22, deck record 25 (distance): expected a finite number for distance, found nan"}},
        {"PlanetZoneGridOfZero", [] {
             return deck_with([](deck_values& d) {
                 d.isat = 1, d.distance = 140.0;
                 d.nlat_sat = 0;
             });
         }, {}, {"line 23, deck record 26 (nlat_sat, nfii_sat)", "at least 1", "nlat_sat = 0"}},
        {"PlanetZonesOneOverCapacity", [] {
             return deck_with([](deck_values& d) {
                 d.isat = 1, d.distance = 140.0;
                 d.nlat_sat = 65536, d.nfii_sat = 32768;
             });
         }, {}, {"line 23, deck record 26 (nlat_sat, nfii_sat)", "nlat_sat*nfii_sat = 2147483648 planet zones, "
                 "more than the 2147483646"}},
        {"PlanetModelUnknown", [] {
             return deck_with([](deck_values& d) {
                 d.isat = 1, d.distance = 140.0;
                 d.model_sat = 7;
             });
         }, {}, {"engine: the planet illumination gave no photon", "model_sat = 7 has no brightness factor"}},

        // The Particle position file.
        {"PositionFileMissing", [] { return deck_with([](deck_values& d) { d.posfile = "missing.pos"; }); }, {},
         {"standard input, line 1, deck record 1 (posfile): cannot open the file missing.pos: No such file or "
          "directory"}},
        {"PositionFileUnreadable", [] { return deck_with([](deck_values& d) { d.posfile = "folder"; }); },
         {{"folder/keep", ""}}, {"line 1, deck record 1 (posfile): cannot open the file folder: it is a folder"}},
        {"PositionFileNameCutBySlash", [] { return deck_with([](deck_values& d) { d.posfile = "folder/ring.pos"; }); },
         {{"folder/ring.pos", ""}},
         {"line 1, deck record 1 (posfile): the name 'folder' ended at a slash", "in quotes"}},
        {"PositionFileEmpty", [] { return full_deck().text(); }, {{"ring.pos", ""}},
         {"ring.pos, record 1 (title): expected a text, but the input ended"}},
        {"PositionFileBinaryGarbage", [] { return full_deck().text(); },
         {{"ring.pos", bytes("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x01\x00")}},
         {"ring.pos, line 3, record 3 (orb, xl, yl, sy): expected a number, found '\?\?\?'"}},
        {"PositionFileTruncated", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n3\n0.5 0.0 0.0 0.0\n0.4 1.0"}},
         {"ring.pos, line 6, particle 2 (radius, x, y, z): expected a number, but the input ended"}},
        {"MoreParticlesStatedThanFollow", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n5\n0.5 0.0 0.0 0.0\n"}},
         {"ring.pos, line 5, particle 2 (radius, x, y, z): expected a number, but the input ended"}},
        {"TextWhereACoordinateBelongs", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\n0.5 abc 0.0 0.0\n"}},
         {"ring.pos, line 5, particle 1 (radius, x, y, z): expected a number, found 'abc'"}},
        {"NegativeParticleCount", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n-1\n"}},
         {"ring.pos, line 4, record 4 (number of particles): expected a particle count of at least 0, found -1"}},
        {"HugeParticleCount", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n2147483647\n0.5 0 0 0\n"}},
         {"ring.pos, line 4, record 4 (number of particles): 2147483647 particles, more than the 2147483630 a "
          "32-bit particle number counts"}},
        {"ParticlesOneOverTheParticleNumbers", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n2147483631\n0.5 0 0 0\n"}},
         {"ring.pos, line 4, record 4 (number of particles): 2147483631 particles, more than the 2147483630"}},
        {"RadiusZero", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\n0 0.0 0.0 0.0\n"}},
         {"ring.pos, line 5, particle 1 (radius, x, y, z): expected a radius above 0 whose square is finite, "
          "found 0.0"}},
        {"RadiusNegative", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\n-0.5 0 0 0\n"}},
         {"ring.pos, line 5, particle 1", "expected a radius above 0", "found -0.5"}},
        {"RadiusNaN", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\nnan 0 0 0\n"}},
         {"ring.pos, line 5, particle 1", "found nan"}},
        {"RadiusWhoseSquareOverflows", [] { return full_deck().text(); },
         {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\n1e200 0 0 0\n"}}, {"ring.pos, line 5, particle 1", "found 1e+200"}},
        {"CoordinateInfinite", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 0.0\n1\n0.5 0 0 inf\n"}},
         {"ring.pos, line 5, particle 1 (radius, x, y, z): expected finite coordinates x, y, z, found 0.0 0.0 inf"}},
        {"CellOfZeroWidth", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 0.0 2.0 0.0\n1\n0.5 0 0 0\n"}},
         {"ring.pos, line 3, record 3 (orb, xl, yl, sy): expected positive half-widths xl and yl, found 0.0 2.0"}},
        {"CellWidthNaN", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 nan 0.0\n1\n0.5 0 0 0\n"}},
         {"ring.pos, line 3, record 3 (orb, xl, yl, sy)", "found 2.0 nan"}},
        {"ShiftNaN", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 nan\n1\n0.5 0 0 0\n"}},
         {"ring.pos, line 3, record 3 (orb, xl, yl, sy): expected a shift sy within 21*yl = 42.0 of 0, found nan"}},
        {"ShiftBeyondTenFolds", [] { return full_deck().text(); }, {{"ring.pos", "t\n1\n1.0 2.0 2.0 1e300\n1\n0.5 0 0 0\n"}},
         {"ring.pos, line 3, record 3", "found 1e+300"}},
        {"RadiusFactorCarriesTheCrossSectionBeyondRange", [] {
             return deck_with([](deck_values& d) { d.sredu = 1e160; });
         }, {}, {"ring.pos: particle 1 of the field has radius", "expected a finite cross-section"}},

        // The haze file.
        {"HazeFileMissing", [] { return deck_with([](deck_values& d) { d.posfile_haze = "haze.pos"; }); }, {},
         {"deck record 15 (posfile_haze): cannot open the file haze.pos: No such file or directory"}},
        {"HazeRadiusZero", [] { return deck_with([](deck_values& d) { d.posfile_haze = "haze.pos"; }); },
         {{"haze.pos", "haze\n1\n1.0 2.0 2.0 0.0\n1\n0.0 0 0 0\n"}},
         {"haze.pos, line 5, particle 1 (radius, x, y, z): expected a radius above 0"}},
        {"HazeParticlesOneOverTheParticleNumbers",
         [] { return deck_with([](deck_values& d) { d.posfile_haze = "haze.pos"; }); },
         {{"haze.pos", "haze\n1\n1.0 2.0 2.0 0.0\n2147483628\n0.1 0 0 0\n"}},
         {"haze.pos, line 4, record 4 (number of particles): 2147483631 particles, more than the 2147483630"}},

        // The engine parameter file.
        {"EngineParameterFileMissing", [] { return deck_with([](deck_values& d) { d.parfile = "missing.par"; }); },
         {}, {"deck record 9 (parfile): cannot open the file missing.par: No such file or directory"}},
        {"EngineAlbedoFactorNaN", [] { return deck_with([](deck_values& d) { d.parfile = "par"; }); },
         {{"par", "nan\n100\n10000 10000\n"}},
         {"par, line 1, engine parameter file record 1 (ssca): expected an albedo factor ssca from 0 to 1, "
          "found nan"}},
        {"EngineAlbedoFactorAboveOne", [] { return deck_with([](deck_values& d) { d.parfile = "par"; }); },
         {{"par", "1.5\n100\n10000 10000\n"}}, {"par, line 1, engine parameter file record 1 (ssca)", "found 1.5"}},
        {"EngineMaxscatNegative", [] { return deck_with([](deck_values& d) { d.parfile = "par"; }); },
         {{"par", "1.0\n-1\n10000 10000\n"}},
         {"par, line 2, engine parameter file record 2 (maxscat): expected a number of scatterings maxscat from "
          "0 to 2147483646, found -1"}},
        {"EngineMaxscatAsText", [] { return deck_with([](deck_values& d) { d.parfile = "par"; }); },
         {{"par", "1.0\nmany\n10000 10000\n"}},
         {"par, line 2, engine parameter file record 2 (maxscat): expected an integer, found 'many'"}},
        {"EngineParameterFileTruncated", [] { return deck_with([](deck_values& d) { d.parfile = "par"; }); },
         {{"par", "1.0\n100\n"}},
         {"par, line 2, engine parameter file record 3 (nbox, nboxvis): expected an integer, but the input ended"}},

        // The phase-function tables (codes 15 and 16).
        {"PhaseTableMissing", [] { return deck_with([](deck_values& d) { d.method = 15; }); }, {},
         {"cannot open the file mcphase.dat: No such file or directory"}},
        {"PhaseTableRowsStatedFarBeyondTheFile", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n180 1\n", 2000000000)}},
         {"mcphase.dat, line 4, table row 3 (phase angle in degrees, phase-function value): expected a number, but "
          "the input ended"}},
        {"PhaseTableOfOneRow", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n", 1)}},
         {"mcphase.dat, line 2, record 2 (n_alpha, the number of table rows)", "at least 2 table rows"}},
        {"MorePhaseRowsStatedThanFollow", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n90 1\n", 3)}},
         {"mcphase.dat, line 4, table row 3 (phase angle in degrees, phase-function value): expected a number, but "
          "the input ended"}},
        {"PhaseValueNaN", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n90 nan\n180 1\n", 3)}},
         {"mcphase.dat, line 4, table row 2", "expected a finite phase-function value, found nan"}},
        {"PhaseAngleBeyond180", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n200 1\n", 2)}},
         {"mcphase.dat, line 4, table row 2", "expected a phase angle from 0 to 180 degrees, found 200.0"}},
        {"PhaseAnglesNotIncreasing", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n90 1\n60 1\n", 3)}},
         {"mcphase.dat, line 5, table row 3", "expected phase angles in increasing order, found 60.0 after 90"}},
        {"PhaseValuesAllZero", [] { return deck_with([](deck_values& d) { d.method = 16; }); },
         {{"mcphase.dat", phase_table("0 0\n90 0\n180 0\n", 3)}},
         {"mcphase.dat, lines 3-4", "increase from row to row"}},
        {"PhaseIntegralOverflows", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1.7e308\n90 1.7e308\n180 1.7e308\n", 3)}},
         {"mcphase.dat, line 5, table row 3: expected phase-function values whose integral of P(alpha) sin(alpha) "
          "is finite, found that it reaches inf at this row (value 1.7e+308)"}},
        // Found by fuzzing: two rows 1.7e-164 rad apart. The integral is
        // 0.5 * 1.687e-164 * 63e66 * sin(1.687e-164) = 9.0e-261, so the second
        // value normalised to a mean of 1 is 1.4e328; the run reported nan.
        {"PhaseValueOnASliverOfAngles", [] { return deck_with([](deck_values& d) { d.method = 16; }); },
         {{"mcphase.dat", phase_table("0 1.5e-5\n9.665e-163 63e66\n", 2)}},
         {"mcphase.dat, line 4, table row 2: expected a phase-function value that can be normalised to a mean of 1 "
          "over the sphere, found 6.3e+67", "turns into inf"}},
        // Normalisable (1.3e300), but the cubic of rows 1.7e-150 rad apart,
        // extended to the angles beyond them, cubes a factor of 1e148.
        {"PhaseSplineNotFiniteBeyondTheRows", [] { return deck_with([](deck_values& d) { d.method = 15; }); },
         {{"mcphase.dat", phase_table("0 1\n1e-148 1\n", 2)}},
         {"mcphase.dat, line 4, table row 2: expected rows whose spline gives a finite phase-function value at every "
          "phase angle from 0 to 180 degrees, found ", "nan at 0.1 degrees", "whose rows span only 0.0 to 1e-148 degrees"}},
        {"HazePhaseValueOnASliverOfAngles", [] {
             return deck_with([](deck_values& d) {
                 d.posfile_haze = "haze.pos";
                 d.method_haze = 15;
             });
         },
         {{"haze.pos", "haze\n1\n1.0 2.0 2.0 0.0\n1\n0.1 0 0 0\n"},
          {"mcphase_haze.dat", phase_table("0 1.5e-5\n9.665e-163 63e66\n", 2)}},
         {"mcphase_haze.dat, line 4, table row 2", "normalised to a mean of 1", "found 6.3e+67"}},
        {"HazePhaseTableMissing", [] {
             return deck_with([](deck_values& d) {
                 d.posfile_haze = "haze.pos";
                 d.method_haze = 15;
             });
         }, {{"haze.pos", "haze\n1\n1.0 2.0 2.0 0.0\n1\n0.1 0 0 0\n"}},
         {"cannot open the file mcphase_haze.dat: No such file or directory"}},

        // Output folders. Tests run as root, for whom a read-only folder is
        // writable: a folder that does not exist, a "folder" that is a
        // regular file, and /proc give real failures.
        {"EscapeFileFolderMissing", [] { return deck_with([](deck_values& d) { d.outfile = "'nodir/out.esc'"; }); },
         {}, {"standard input, line 7, deck record 10 (outfile): cannot create the output file nodir/out.esc: No such "
              "file or directory"}},
        {"HistogramFileFolderMissing", [] { return deck_with([](deck_values& d) { d.epsfile = "'nodir/out.hist'"; }); },
         {}, {"line 8, deck record 11 (epsfile): cannot create the output file nodir/out.hist"}},
        {"DirectionFileUnderARegularFile", [] {
             return deck_with([](deck_values& d) { d.wfile = "'ring.pos/out.dir'"; });
         }, {}, {"line 9, deck record 12 (wfile): cannot create the output file ring.pos/out.dir: Not a directory"}},
        {"TestImageInProc", [] { return deck_with([](deck_values& d) { d.testimage = "'/proc/quillet-test'"; }); },
         {}, {"deck record 30 (testimage): cannot create the output file /proc/quillet-test.TESTIMAGE"}},
        {"CheckFileFolderMissing", [] {
             return deck_with([](deck_values& d) {
                 d.nxpix = 0, d.nypix = 0;
                 d.testimage = "'nodir/img'";
                 d.idebug = 1;
             });
         }, {}, {"deck record 30 (testimage): cannot create the output file nodir/img.CHECK_POS"}},
    };
    return rows;
}

class BadInput : public ::testing::TestWithParam<bad_input> {};

std::set<std::string> tree(const std::string& root) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        names.insert(std::filesystem::relative(e.path(), root).string());
    return names;
}

TEST_P(BadInput, EndsWithOneMessageNamingWhereAndWhatAndLeavesNoResultFile) {
    const bad_input& row = GetParam();
    quillet::test_support::scratch_dir dir;
    dir.write("ring.pos", ring_text);
    for (const auto& [name, text] : row.files) {
        std::filesystem::path p = std::filesystem::path(dir.path()) / name;
        std::filesystem::create_directories(p.parent_path());
        dir.write(name, text);
    }
    const std::set<std::string> before = tree(dir.path());

    process_result r = quillet::test_support::run_binary(QUILLET_BINARY, row.deck(), dir.path());

    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_GT(r.err.size(), 9u);
    EXPECT_EQ(r.err.compare(0, 9, "quillet: "), 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    for (const std::string& part : row.expected) EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
    // No result file, complete or partial, and no temporary file.
    EXPECT_EQ(tree(dir.path()), before) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(table()),
                         [](const ::testing::TestParamInfo<bad_input>& info) { return std::string(info.param.name); });

}  // namespace
