// Reading the parameter deck: the three forms of the observer directions,
// the shared records, the name look-ups, the reading rules on real records,
// malformed and short decks, and every capacity the run cannot exceed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deck_reading.h"
#include "driver/parameter_deck.h"
#include "field/field_records.h"
#include "format/run_error.h"
#include "support/deck_text.h"

using namespace quillet;
using test_support::deck_values;
using test_support::fresh_parameters;
using test_support::message_of;
using test_support::read_deck_text;
using test_support::split_lines;

namespace {
bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
}  // namespace

TEST(ParameterDeck, ListFormFillsEveryRecordAndTheSharedRecords) {
    deck_values d;
    d.posfile = "ring.pos";
    d.bsun = 30.0, d.lonsun = 10.0;
    d.ntest = 3;
    d.directions = {{30.0, 40.0}, {30.0, 1180.0}, {30.0, 0.0}};
    d.nxphot = 3, d.nyphot = 4, d.mx = 10, d.my = 12;
    d.parfile = "par.dat", d.outfile = "esc.out", d.epsfile = "eps.out", d.wfile = "w.out";
    d.method = 4, d.ppar1 = 0.25, d.ppar2 = -0.5, d.ppar3 = 1.5;
    d.posfile_haze = "haze.pos", d.method_haze = 13, d.ppar1_haze = 0.1, d.ppar2_haze = 0.2, d.ppar3_haze = 0.3;
    d.ssca_part = 0.6, d.ssca_haze = 0.9;
    d.icheck = 1, d.idum = -12345;
    d.sredu = 0.8, d.zredu = 0.7, d.sizemin = 0.05, d.s20 = 0.1, d.f20 = 2.0;
    d.isat = 2, d.distance = 120.8, d.nlat_sat = 20, d.nfii_sat = 40, d.model_sat = 3;
    d.irot = 1, d.isquare = 12, d.testimage = "img", d.nxpix = 512, d.nypix = 256, d.idebug = 7, d.iemulate = 3;
    auto p = fresh_parameters();
    std::vector<std::string> lines = split_lines(read_deck_text(d.text(), *p));

    EXPECT_EQ(p->posfile.trimmed(), "ring.pos");
    EXPECT_EQ(p->bsun, 30.0);
    EXPECT_EQ(p->lonsun, 10.0);
    EXPECT_EQ(p->ntest, 3);
    EXPECT_EQ(p->latobs[1], 30.0);
    EXPECT_EQ(p->latobs[3], 30.0);
    EXPECT_EQ(p->fiiobs[2], 190.0);  // converted: lonsun + 180
    EXPECT_EQ(p->fiiobs[3], 10.0);   // phase angle 0 at another latitude: Delta = 0
    EXPECT_EQ(p->nxphot, 3);
    EXPECT_EQ(p->nyphot, 4);
    EXPECT_EQ(p->mx, 10);
    EXPECT_EQ(p->my, 12);
    EXPECT_EQ(p->parfile.trimmed(), "par.dat");
    EXPECT_EQ(p->outfile.trimmed(), "esc.out");
    EXPECT_EQ(p->epsfile.trimmed(), "eps.out");
    EXPECT_EQ(p->wfile.trimmed(), "w.out");
    EXPECT_EQ(p->method, 4);
    EXPECT_EQ(p->method_name.trimmed(), "HG-sphere-point");
    EXPECT_EQ(p->ppar1, 0.25);
    EXPECT_EQ(p->ppar2, -0.5);
    EXPECT_EQ(p->ppar3, 1.5);
    EXPECT_EQ(p->posfile_haze.trimmed(), "haze.pos");
    EXPECT_EQ(p->method_haze, 13);
    EXPECT_EQ(p->method_name_haze.trimmed(), "HG2-sphere-center");
    EXPECT_EQ(p->ppar1_haze, 0.1);
    EXPECT_EQ(p->ppar2_haze, 0.2);
    EXPECT_EQ(p->ppar3_haze, 0.3);
    EXPECT_EQ(p->ssca_part, 0.6);
    EXPECT_EQ(p->ssca_haze, 0.9);
    EXPECT_EQ(p->icheck, 1);
    EXPECT_EQ(p->idum, -12345);
    EXPECT_EQ(p->sredu, 0.8);
    EXPECT_EQ(p->zredu, 0.7);
    EXPECT_EQ(p->sizemin, 0.05);
    EXPECT_EQ(p->s20, 0.1);
    EXPECT_EQ(p->f20, 2.0);
    EXPECT_EQ(p->planet.isat, 2);
    EXPECT_EQ(p->planet.distance, 120.8);
    EXPECT_EQ(p->planet.rsat, 60.4);
    EXPECT_EQ(p->planet.nlat_sat, 20);
    EXPECT_EQ(p->planet.nfii_sat, 40);
    EXPECT_EQ(p->planet.model_sat, 3);
    EXPECT_EQ(p->model_sat_name.trimmed(), "BLUE 0.5*zones+0.5*belts");
    EXPECT_EQ(p->irot, 1);
    EXPECT_EQ(p->isquare, 12);
    EXPECT_EQ(p->testimage.trimmed(), "img");
    EXPECT_EQ(p->nxpix, 512);
    EXPECT_EQ(p->nypix, 256);
    EXPECT_EQ(p->idebug, 7);
    EXPECT_EQ(p->iemulate, 3);
    // nphot is no deck value: it stays zero until the driver seeds it.
    EXPECT_EQ(p->nphot, 0);

    // Three direction lines, then the record 8 echo.
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "   lat,fii,alpha  30.000  56.523   40.000000");
    EXPECT_EQ(lines[1], "   lat,fii,alpha  30.000 190.000  120.000000");
    EXPECT_EQ(lines[2], "   lat,fii,alpha  30.000  10.000    0.000000");
    EXPECT_EQ(lines[3], "3 4 10 12");
}

TEST(ParameterDeck, GridFormExpandsLatitudeFastest) {
    deck_values d;
    d.bsun = 0.0, d.lonsun = 0.0;
    d.ntest = -1;
    d.nlat = 2, d.nfii = 3;
    d.latgrid = {10.0, 20.0};
    d.fiigrid = {1000.0, 1010.0, 1020.0};  // relative azimuths 0, 10, 20
    auto p = fresh_parameters();
    std::vector<std::string> lines = split_lines(read_deck_text(d.text(), *p));
    EXPECT_EQ(p->ntest, 6);
    const double lat[] = {10.0, 20.0, 10.0, 20.0, 10.0, 20.0};
    const double fii[] = {0.0, 0.0, 10.0, 10.0, 20.0, 20.0};
    for (int k = 1; k <= 6; ++k) {
        EXPECT_EQ(p->latobs[k], lat[k - 1]) << k;
        EXPECT_EQ(p->fiiobs[k], fii[k - 1]) << k;
    }
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "   lat,fii,alpha  10.000   0.000   10.000000");
    // cos(alpha) = cos 20 deg * cos 10 deg for the Sun on the horizon.
    EXPECT_EQ(lines[3], "   lat,fii,alpha  20.000  10.000   22.268744");
    EXPECT_EQ(lines[6], "2 2 1 1");
}

TEST(ParameterDeck, GridWithAnEmptySideHasNoDirections) {
    deck_values d;
    d.ntest = -5;
    d.nlat = 0, d.nfii = 2;
    d.fiigrid = {1000.0, 1010.0};
    auto p = fresh_parameters();
    std::vector<std::string> lines = split_lines(read_deck_text(d.text(), *p));
    EXPECT_EQ(p->ntest, 0);
    ASSERT_EQ(lines.size(), 1u);  // only the record 8 echo
    EXPECT_EQ(lines[0], "2 2 1 1");
    EXPECT_EQ(p->nxphot, 2);  // the two fiigrid lines were read as record 7
}

TEST(ParameterDeck, NegativeGridSizeIsRejected) {
    deck_values d;
    d.ntest = -1;
    d.nlat = -2, d.nfii = -3;
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_TRUE(contains(msg, "deck record 5 (nlat, nfii)")) << msg;
    EXPECT_TRUE(contains(msg, "must not be negative")) << msg;
}

TEST(ParameterDeck, NoObserverDirectionWhenNtestIsZero) {
    deck_values d;
    d.ntest = 0;
    auto p = fresh_parameters();
    std::vector<std::string> lines = split_lines(read_deck_text(d.text(), *p));
    EXPECT_EQ(p->ntest, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "2 2 1 1");
    EXPECT_EQ(p->wfile.trimmed(), "result.w");
}

TEST(ParameterDeck, CommentsAfterTheValuesReadTheSame) {
    deck_values d;
    d.ntest = 2;
    d.directions = {{30.0, 40.0}, {10.0, 1090.0}};
    d.isat = 1;
    std::string plain;
    for (const std::string& line : split_lines(d.text())) plain += line.substr(0, line.find("    ")) + "\n";
    ASSERT_NE(plain, d.text());
    auto a = fresh_parameters(), b = fresh_parameters();
    std::string out_a = read_deck_text(d.text(), *a);
    std::string out_b = read_deck_text(plain, *b);
    EXPECT_EQ(out_a, out_b);
    EXPECT_EQ(a->posfile, b->posfile);
    EXPECT_EQ(a->fiiobs[2], b->fiiobs[2]);
    EXPECT_EQ(a->wfile, b->wfile);
    EXPECT_EQ(a->iemulate, b->iemulate);
    EXPECT_EQ(a->testimage, b->testimage);
}

TEST(ParameterDeck, RecordsMaySpanLinesUseNullsSlashesRepeatsAndQuotes) {
    deck_values d;
    std::vector<std::string> lines = split_lines(d.text());
    // Record 1 quoted with a slash and a blank; record 8 over two lines with a
    // null (nyphot keeps 0); record 14 ended early by a slash; record 17 by a repeat.
    lines[0] = "'data/my ring.pos'  the particle file";
    lines[4] = "5,,\n  3 3";
    lines[10] = "0.75 /";
    lines[13] = "3*0.5";
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    auto p = fresh_parameters();
    read_deck_text(text, *p);
    EXPECT_EQ(p->posfile.trimmed(), "data/my ring.pos");
    EXPECT_EQ(p->nxphot, 5);
    EXPECT_EQ(p->nyphot, 0);
    EXPECT_EQ(p->mx, 3);
    EXPECT_EQ(p->my, 3);
    EXPECT_EQ(p->ppar1, 0.75);
    EXPECT_EQ(p->ppar2, 0.0);
    EXPECT_EQ(p->ppar3, 0.0);
    EXPECT_EQ(p->ppar1_haze, 0.5);
    EXPECT_EQ(p->ppar3_haze, 0.5);
    EXPECT_EQ(p->iemulate, 0);
    EXPECT_EQ(p->testimage.trimmed(), "test");
}

TEST(ParameterDeck, MethodAndModelNamesComeFromTheirTables) {
    const char* methods[] = {"LAMBERT-element",       "ISOTROPIC-sphere",      "HG-sphere-center",
                             "HG-sphere-point",       "EULER-sphere-center",   "EULER-sphere-point",
                             "CALLISTO-sphere-center", "CALLISTO-sphere-point", "POWER-sphere-center",
                             "POWER-sphere-point",    "LAMBERT-sphere-center", "LAMBERT-sphere-point",
                             "HG2-sphere-center",     "HG2-sphere-point",      "TABLE-sphere-center",
                             "TABLE-sphere-point"};
    for (int m = 1; m <= 16; ++m) EXPECT_EQ(method_name_of(m).trimmed(), methods[m - 1]) << m;
    for (int m : {0, 17, -1, 100}) EXPECT_EQ(method_name_of(m).trimmed(), "unknown") << m;
    const char* models[] = {"Lambert-planet",           "RED  0.5*zones+0.5*belts",     "BLUE 0.5*zones+0.5*belts",
                            "RED+BLUE 0.5*zones+0.5*belts", "ZONES 0.75*blue+0.25*red", "BELTS 0.75*blue+0.25*red"};
    for (int m = 1; m <= 6; ++m) EXPECT_EQ(model_sat_name_of(m).trimmed(), models[m - 1]) << m;
    for (int m : {0, 7, 12, -3}) EXPECT_EQ(model_sat_name_of(m).view(), std::string(30, ' ')) << m;
}

TEST(ParameterDeck, UnknownMethodCodeIsKeptAndNamedUnknown) {
    deck_values d;
    d.method = 17;
    d.method_haze = 0;
    auto p = fresh_parameters();
    read_deck_text(d.text(), *p);
    EXPECT_EQ(p->method, 17);
    EXPECT_EQ(p->method_name.trimmed(), "unknown");
    EXPECT_EQ(p->method_haze, 0);
    EXPECT_EQ(p->method_name_haze.trimmed(), "unknown");
}

TEST(ParameterDeck, PlanetRecordsAreReadAlsoWhenTheSunIsTheSource) {
    deck_values d;
    d.isat = 0;
    d.distance = 140.0, d.nlat_sat = 7, d.nfii_sat = 9, d.model_sat = 5;
    auto p = fresh_parameters();
    read_deck_text(d.text(), *p);
    EXPECT_EQ(p->planet.distance, 140.0);
    EXPECT_EQ(p->planet.nlat_sat, 7);
    EXPECT_EQ(p->planet.nfii_sat, 9);
    EXPECT_EQ(p->model_sat_name.trimmed(), "ZONES 0.75*blue+0.25*red");
    // Without records 25 to 27 the deck is short.
    std::string text;
    std::vector<std::string> lines = split_lines(d.text());
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (i < 21 || i > 23) text += lines[i] + "\n";  // records 25 to 27 dropped
    auto q = fresh_parameters();
    EXPECT_FALSE(message_of<input_error>([&] { read_deck_text(text, *q); }).empty());
}

TEST(ParameterDeck, MalformedRecordNamesRecordLineAndText) {
    deck_values d;
    std::vector<std::string> lines = split_lines(d.text());
    lines[4] = "2 x 1 1";  // record 8 on line 5
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(text, *p); });
    EXPECT_EQ(msg, "standard input, line 5, deck record 8 (nxphot, nyphot, mx, my): expected an integer, found 'x'");
    // The direction line printed before record 8 stays.
    EXPECT_EQ(test_support::captured_before_throw(), "   lat,fii,alpha  30.000  46.523   40.000000\n");
}

TEST(ParameterDeck, RealWhereAnIntIsExpectedIsRejected) {
    deck_values d;
    std::vector<std::string> lines = split_lines(d.text());
    lines[25] = "12.0   isquare";  // record 29
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(text, *p); });
    EXPECT_EQ(msg, "standard input, line 26, deck record 29 (isquare): expected an integer, found '12.0'");
}

TEST(ParameterDeck, ShortDeckNamesTheRecordItStoppedIn) {
    deck_values d;
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(20), *p); });
    EXPECT_TRUE(contains(msg, "standard input")) << msg;
    EXPECT_TRUE(contains(msg, "deck record 21 (sredu, zredu)")) << msg;
    EXPECT_TRUE(contains(msg, "input ended")) << msg;
    // A direction list shorter than ntest.
    d.ntest = 3;
    auto q = fresh_parameters();
    msg = message_of<input_error>([&] { read_deck_text(d.text(), *q); });
    EXPECT_TRUE(contains(msg, "deck record 4 (latobs, fiiobs of direction 3)")) << msg;
}

TEST(ParameterDeck, ImpossiblePhaseAngleStopsTheDeck) {
    deck_values d;
    d.bsun = 30.0;
    d.directions = {{60.0, 10.0}};
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_TRUE(contains(msg, "standard input, line 4, deck record 4 (latobs, fiiobs)")) << msg;
    EXPECT_TRUE(contains(msg, "observer direction 1 (latitude 60.0, phase angle 10.0)")) << msg;
}

TEST(ParameterDeck, ImpossibleDirectionNamesTheLineItIsOn) {
    // Direction 22 of a list stands on line 3 + 22 of a deck with one record a line.
    deck_values d;
    d.bsun = 10.0;
    d.ntest = 30;
    d.directions.assign(30, {20.0, 40.0});
    d.directions[21] = {20.0, 0.0};
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_TRUE(contains(msg, "standard input, line 25, deck record 4 (latobs, fiiobs): observer direction 22 "
                              "(latitude 20.0, phase angle 0.0)"))
        << msg;
    EXPECT_TRUE(contains(msg, "run from 10.0 to 150.0 degrees")) << msg;
}

TEST(ParameterDeck, ImpossibleGridDirectionNamesTheLinesOfItsTwoValues) {
    deck_values d;
    d.bsun = 30.0;
    d.ntest = -1;
    d.nlat = 2, d.nfii = 2;
    d.latgrid = {30.0, 60.0};
    d.fiigrid = {40.0, 10.0};  // 10 degrees cannot be seen from 60 (30 .. 90)
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    // Records 3 and 5 on lines 3 and 4; latgrid on 5-6, fiigrid on 7-8.
    EXPECT_TRUE(contains(msg, "standard input, lines 6 and 8, deck records 6 and 7 (latgrid value 2, fiigrid value 2): "
                              "observer direction 4"))
        << msg;
}

TEST(ParameterDeck, UnquotedNameCutShortBySlashIsRefusedWithTheWayToWriteIt) {
    deck_values d;
    d.posfile = "../ring.pos";  // deck_values writes names as they are: unquoted
    auto p = fresh_parameters();
    std::string msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_TRUE(contains(msg, "standard input, line 1, deck record 1 (posfile): the name '..' ended at a slash")) << msg;
    EXPECT_TRUE(contains(msg, "in quotes, as in '../ring.pos'")) << msg;
    // Quoted, or a slash after a blank (the rest of the line a comment), reads as meant.
    auto q = fresh_parameters();
    d.posfile = "'../ring.pos'";
    EXPECT_EQ(message_of<input_error>([&] { read_deck_text(d.text(), *q); }), "");
    EXPECT_EQ(q->posfile.trimmed(), "../ring.pos");
    auto r = fresh_parameters();
    d.posfile = "ring.pos / the field";
    EXPECT_EQ(message_of<input_error>([&] { read_deck_text(d.text(), *r); }), "");
    EXPECT_EQ(r->posfile.trimmed(), "ring.pos");
}

TEST(ParameterDeck, PlanetModelsWithoutANameAreKeptWithTheirCode) {
    for (int model : {11, 12, 13, 14, 7}) {
        deck_values d;
        d.isat = 1, d.model_sat = model;
        auto p = fresh_parameters();
        EXPECT_EQ(message_of<input_error>([&] { read_deck_text(d.text(), *p); }), "") << model;
        EXPECT_EQ(p->planet.model_sat, model);
        EXPECT_EQ(p->model_sat_name.view(), std::string(30, ' ')) << model;
    }
}

// ---- capacities ----

namespace {
std::string limit_message(const deck_values& d) {
    auto p = test_support::fresh_parameters();
    return test_support::message_of<limit_error>([&] { read_deck_text(d.text(), *p, true); });
}
}  // namespace

TEST(DeckCapacity, ListedDirectionsAreLimitedOnlyByTheir32BitNumber) {
    deck_values d;
    d.ntest = 2147483647;
    d.directions.assign(2, {30.0, 0.0});
    auto p = fresh_parameters();
    std::string msg = message_of<limit_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_EQ(msg, "standard input, line 3, deck record 3 (ntest): ntest = 2147483647 observer directions, more "
                   "than the 2147483646 a 32-bit direction number counts");
    EXPECT_EQ(test_support::captured_before_throw(), "");  // no direction line
    // A count the deck does not back with lines ends at the first missing
    // line, and the lists hold only what was read.
    d.ntest = 2000000000;
    msg = message_of<input_error>([&] { read_deck_text(d.text(), *p); });
    EXPECT_TRUE(contains(msg, "latobs, fiiobs of direction")) << msg;
    EXPECT_LE(p->latobs.capacity(), 4097u);
    // 150 directions: all read, in order.
    d.ntest = 150;
    d.directions.clear();
    for (int k = 1; k <= 150; ++k) d.directions.push_back({double(10 + k % 70), 1040.0});
    EXPECT_EQ(limit_message(d), "");
    p = fresh_parameters();
    read_deck_text(d.text(), *p, true);
    ASSERT_EQ(p->ntest, 150);
    ASSERT_EQ(p->latobs.size(), 151u);
    EXPECT_EQ(p->latobs[150], 20.0);
    EXPECT_EQ(p->latobs[79], 19.0);
}

TEST(DeckCapacity, GridDirectionsAreLimitedOnlyByTheir32BitNumber) {
    deck_values d;
    d.ntest = -1;
    d.nlat = 65536, d.nfii = 32768;
    std::string msg = limit_message(d);
    EXPECT_TRUE(contains(msg, "deck record 5 (nlat, nfii): nlat*nfii = 2147483648 observer directions, more than "
                              "the 2147483646 a 32-bit direction number counts"))
        << msg;
    // 521 latitudes by 1 azimuth, and 11 by 10: beyond the old tables, taken.
    d.nlat = 521, d.nfii = 1;
    d.latgrid.assign(521, 20.0);
    d.fiigrid.assign(1, 1000.0);
    EXPECT_EQ(limit_message(d), "");
    d.nlat = 11, d.nfii = 10;
    d.latgrid.assign(11, 20.0);
    d.fiigrid.assign(10, 1000.0);
    EXPECT_EQ(limit_message(d), "");
    auto p = fresh_parameters();
    read_deck_text(d.text(), *p, true);
    EXPECT_EQ(p->ntest, 110);
}

TEST(DeckCapacity, PhotonGridIsLimitedOnlyByThe32BitPhotonCount) {
    deck_values d;
    for (const char* outfile : {"run.esc", "junk"}) {
        d.outfile = outfile;
        d.nxphot = 1000, d.nyphot = 1001;
        EXPECT_EQ(limit_message(d), "") << outfile;
        // 65536 * 65536 is 0 in 32-bit arithmetic.
        d.nxphot = 46341, d.nyphot = 46341;
        EXPECT_EQ(limit_message(d), "standard input, line 5, deck record 8 (nxphot, nyphot, mx, my): nxphot*nyphot = "
                                    "2147488281 photons, more than the 2147483647 a 32-bit photon number counts")
            << outfile;
        d.nxphot = 65536, d.nyphot = 65536;
        EXPECT_TRUE(contains(limit_message(d), "nxphot*nyphot = 4294967296 photons")) << limit_message(d);
    }
}

TEST(DeckCapacity, NegativePhotonGridIsRejected) {
    deck_values d;
    d.nxphot = -3, d.nyphot = -4;
    EXPECT_TRUE(contains(limit_message(d), "must not be negative")) << limit_message(d);
}

TEST(DeckCapacity, SearchGridIsLimitedOnlyByThe32BitCellNumber) {
    deck_values d;
    d.mx = 65536, d.my = 32768;
    EXPECT_TRUE(contains(limit_message(d), "mx*my = 2147483648 search-grid cells, more than the 2147483646 a 32-bit "
                                           "cell number counts"))
        << limit_message(d);
    d.mx = 401, d.my = 400;
    EXPECT_EQ(limit_message(d), "");
}

TEST(DeckCapacity, ExactlyOneSearchGridSideOfOneIsRejected) {
    deck_values d;
    for (auto [mx, my] : std::vector<std::pair<int, int>>{{1, 5}, {5, 1}, {0, 1}, {1, 0}}) {
        d.mx = mx, d.my = my;
        std::string msg = limit_message(d);
        EXPECT_TRUE(contains(msg, "deck record 8 (nxphot, nyphot, mx, my)")) << mx << " " << my << ": " << msg;
        EXPECT_TRUE(contains(msg, "mx = " + std::to_string(mx) + ", my = " + std::to_string(my))) << msg;
    }
    for (auto [mx, my] : std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {0, 0}, {50, 3}}) {
        d.mx = mx, d.my = my;
        EXPECT_EQ(limit_message(d), "") << mx << " " << my;
    }
}

TEST(DeckCapacity, PlanetZoneGridIsCheckedWhenThePlanetShines) {
    deck_values d;
    d.isat = 1;
    d.nlat_sat = 65536, d.nfii_sat = 65536;
    EXPECT_EQ(limit_message(d), "standard input, line 23, deck record 26 (nlat_sat, nfii_sat): nlat_sat*nfii_sat = "
                                "4294967296 planet zones, more than the 2147483646 a 32-bit zone number counts");
    d.nlat_sat = 201, d.nfii_sat = 401;
    EXPECT_EQ(limit_message(d), "");
    // The Sun as the source never fills the zone tables.
    d.isat = 0, d.nlat_sat = 65536, d.nfii_sat = 65536;
    EXPECT_EQ(limit_message(d), "");
}

TEST(DeckCapacity, TestImageIsLimitedOnlyByThe32BitPixelNumber) {
    deck_values d;
    d.nxpix = 65536, d.nypix = 32768;
    EXPECT_TRUE(contains(limit_message(d), "deck record 31 (nxpix, nypix): nxpix*nypix = 2147483648 test-image "
                                           "pixels, more than the 2147483647 a 32-bit pixel number counts"))
        << limit_message(d);
    d.nxpix = 1025, d.nypix = 10;
    EXPECT_EQ(limit_message(d), "");
}

TEST(DeckCapacity, IsquareWhoseSquareOverflowsIsRejected) {
    deck_values d;
    d.isquare = 46341;
    EXPECT_TRUE(contains(limit_message(d), "deck record 29 (isquare): isquare = 46341")) << limit_message(d);
    d.isquare = 46340;
    EXPECT_EQ(limit_message(d), "");
}
