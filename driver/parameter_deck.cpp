#include "driver/parameter_deck.h"

#include <cmath>
#include <string>

#include "driver/viewing_geometry.h"
#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "planet/planet_records.h"
#include "scatter/scatter.h"

namespace quillet {

namespace {

constexpr std::string_view record_fields[deck_records + 1] = {
    "",
    "posfile",
    "bsun, lonsun",
    "ntest",
    "latobs, fiiobs",
    "nlat, nfii",
    "latgrid",
    "fiigrid",
    "nxphot, nyphot, mx, my",
    "parfile",
    "outfile",
    "epsfile",
    "wfile",
    "method",
    "ppar1, ppar2, ppar3",
    "posfile_haze",
    "method_haze",
    "ppar1_haze, ppar2_haze, ppar3_haze",
    "ssca_part, ssca_haze",
    "icheck",
    "idum",
    "sredu, zredu",
    "sizemin",
    "s20, f20",
    "isat",
    "distance",
    "nlat_sat, nfii_sat",
    "model_sat",
    "irot",
    "isquare",
    "testimage",
    "nxpix, nypix",
    "idebug",
    "iemulate",
};

constexpr const char* model_sat_names[7] = {
    "",
    "Lambert-planet",
    "RED  0.5*zones+0.5*belts",
    "BLUE 0.5*zones+0.5*belts",
    "RED+BLUE 0.5*zones+0.5*belts",
    "ZONES 0.75*blue+0.25*red",
    "BELTS 0.75*blue+0.25*red",
};

// "standard input, line 12, deck record 8 (nxphot, nyphot, mx, my)".
std::string where(std::string_view source, const run_parameters& p, int n) {
    std::string s(source);
    if (p.record_line[n] > 0) s += ", line " + std::to_string(p.record_line[n]);
    return s + ", " + deck_record_name(n);
}

[[noreturn]] void over_limit(std::string_view source, const run_parameters& p, int n, const std::string& what) {
    throw limit_error(where(source, p, n) + ": " + what);
}

// "<name> = <value> <what>, more than the <limit> <holder>" when value > limit.
void require_within(std::string_view source, const run_parameters& p, int n, const char* name, std::int64_t value,
                    const char* what, std::int64_t limit, const char* holder) {
    if (value > limit)
        over_limit(source, p, n,
                   std::string(name) + " = " + std::to_string(value) + " " + what + ", more than the " +
                       std::to_string(limit) + " " + holder);
}

// A value that no run can use: refused as soon as its record is read.
[[noreturn]] void bad_value(std::string_view source, const run_parameters& p, int n, const std::string& what) {
    throw input_error(where(source, p, n) + ": " + what);
}

void require_finite(std::string_view source, const run_parameters& p, int n, const char* name, double v) {
    if (!std::isfinite(v))
        bad_value(source, p, n, std::string("expected a finite number for ") + name + ", found " + free_format(v));
}

// Albedos are fractions of the light a scattering keeps.
void require_albedo(std::string_view source, const run_parameters& p, int n, const char* name, double v) {
    if (!(v >= 0.0 && v <= 1.0))
        bad_value(source, p, n,
                  std::string("expected a single-scattering albedo ") + name + " from 0 to 1, found " + free_format(v));
}

// A result file of the run must be creatable in its folder before any photon
// runs: a missing or unwritable folder found only at the end would cost the
// whole run and leave the files written before it behind. A result_file
// destroyed without a commit removes its temporary file again.
void probe_output(std::string_view source, const run_parameters& p, int n, const std::string& name) {
    try {
        result_file probe(name);
    } catch (const output_error& e) {
        throw output_error(where(source, p, n) + ": " + e.what());
    }
}

// Reads deck record n: begins it on a new line and remembers where it ended.
template <class... T>
void read_record(free_reader& in, run_parameters& p, int n, T&... v) {
    in.begin_record(deck_record_name(n));
    (in.read(v), ...);
    p.record_line[n] = in.line();
}

}  // namespace

std::string_view deck_record_fields(int n) { return n >= 1 && n <= deck_records ? record_fields[n] : ""; }

std::string deck_record_name(int n) {
    return "deck record " + std::to_string(n) + " (" + std::string(deck_record_fields(n)) + ")";
}

text30 method_name_of(std::int32_t method) {
    return text30(method_name(method));
}

text30 model_sat_name_of(std::int32_t model_sat) {
    return model_sat >= 1 && model_sat <= 6 ? text30(model_sat_names[model_sat]) : text30();
}

void read_deck(free_reader& in, run_parameters& p) {
    const std::string& source = in.source();
    // The deck's shared records start empty, as at process start.
    maincom1 = maincom1_t{};
    satcom1 = satcom1_t{};
    satcom2 = satcom2_t{};
    satcom3 = satcom3_t{};

    read_record(in, p, 1, p.posfile);
    read_record(in, p, 2, p.bsun, p.lonsun);
    if (!(p.bsun >= -90.0 && p.bsun <= 90.0))
        bad_value(source, p, 2, "expected a Sun elevation bsun from -90 to 90 degrees, found " + free_format(p.bsun));
    require_finite(source, p, 2, "the Sun azimuth lonsun", p.lonsun);
    read_record(in, p, 3, p.ntest);

    if (p.ntest > 0) {
        if (p.ntest > max_test)
            over_limit(source, p, 3,
                       std::to_string(p.ntest) + " observer directions, more than the " +
                           std::to_string(max_test) + " a run can hold");
        for (int k = 1; k <= p.ntest; ++k) {
            in.begin_record("deck record 4 (latobs, fiiobs of direction " + std::to_string(k) + ")");
            in.read(p.latobs[k]);
            in.read(p.fiiobs[k]);
            if (k == 1) p.record_line[4] = in.line();
        }
        viewing_geometry(p.bsun, p.lonsun, p.ntest, p.fiiobs, p.latobs, where(source, p, 4));
    } else if (p.ntest < 0) {
        read_record(in, p, 5, p.nlat, p.nfii);
        if (p.nlat < 0 || p.nfii < 0)
            throw input_error(where(source, p, 5) + ": the grid sizes nlat = " + std::to_string(p.nlat) +
                              " and nfii = " + std::to_string(p.nfii) + " must not be negative");
        require_within(source, p, 5, "nlat", p.nlat, "grid latitudes", max_grid_lat, "the grid table holds");
        require_within(source, p, 5, "nfii", p.nfii, "grid azimuth values", max_grid_fii, "the grid table holds");
        require_within(source, p, 5, "nlat*nfii", std::int64_t(p.nlat) * p.nfii, "observer directions",
                       max_test, "a run can hold");
        for (int i = 1; i <= p.nlat; ++i) {
            in.begin_record("deck record 6 (latgrid value " + std::to_string(i) + ")");
            in.read(p.latgrid[i]);
            if (i == 1) p.record_line[6] = in.line();
        }
        for (int j = 1; j <= p.nfii; ++j) {
            in.begin_record("deck record 7 (fiigrid value " + std::to_string(j) + ")");
            in.read(p.fiigrid[j]);
            if (j == 1) p.record_line[7] = in.line();
        }
        // Latitude varies fastest: direction (j-1)*nlat + i is (latgrid i, fiigrid j).
        p.ntest = p.nlat * p.nfii;
        if (p.nlat >= 1 && p.nfii >= 1) {
            for (int j = 1; j <= p.nfii; ++j)
                for (int i = 1; i <= p.nlat; ++i) {
                    int k = (j - 1) * p.nlat + i;
                    p.latobs[k] = p.latgrid[i];
                    p.fiiobs[k] = p.fiigrid[j];
                }
            std::string grid_where(source);
            if (p.record_line[6] > 0) grid_where += ", line " + std::to_string(p.record_line[6]);
            grid_where += ", deck records 6 and 7 (latgrid, fiigrid)";
            viewing_geometry(p.bsun, p.lonsun, p.ntest, p.fiiobs, p.latobs, grid_where);
        }
    }

    read_record(in, p, 8, p.nxphot, p.nyphot, p.mx, p.my);
    say(p.nxphot, p.nyphot, p.mx, p.my);
    read_record(in, p, 9, p.parfile);
    read_record(in, p, 10, p.outfile);
    read_record(in, p, 11, p.epsfile);
    read_record(in, p, 12, p.wfile);
    read_record(in, p, 13, p.method);
    p.method_name = method_name_of(p.method);
    read_record(in, p, 14, p.ppar1, p.ppar2, p.ppar3);
    require_finite(source, p, 14, "ppar1", p.ppar1);
    require_finite(source, p, 14, "ppar2", p.ppar2);
    require_finite(source, p, 14, "ppar3", p.ppar3);
    if (std::string problem = law_parameter_problem(p.method, p.ppar1, p.ppar2, p.ppar3, ""); !problem.empty())
        bad_value(source, p, 14, problem);
    read_record(in, p, 15, p.posfile_haze);
    read_record(in, p, 16, p.method_haze);
    p.method_name_haze = method_name_of(p.method_haze);
    read_record(in, p, 17, p.ppar1_haze, p.ppar2_haze, p.ppar3_haze);
    require_finite(source, p, 17, "ppar1_haze", p.ppar1_haze);
    require_finite(source, p, 17, "ppar2_haze", p.ppar2_haze);
    require_finite(source, p, 17, "ppar3_haze", p.ppar3_haze);
    if (!p.posfile_haze.is_junk()) {
        std::string problem = law_parameter_problem(p.method_haze, p.ppar1_haze, p.ppar2_haze, p.ppar3_haze, "_haze");
        if (!problem.empty()) bad_value(source, p, 17, problem);
    }
    read_record(in, p, 18, p.ssca_part, p.ssca_haze);
    require_albedo(source, p, 18, "ssca_part", p.ssca_part);
    require_albedo(source, p, 18, "ssca_haze", p.ssca_haze);
    read_record(in, p, 19, p.icheck);
    read_record(in, p, 20, p.idum);
    read_record(in, p, 21, p.sredu, p.zredu);
    if (!(p.sredu > 0.0) || !std::isfinite(p.sredu))
        bad_value(source, p, 21, "expected a radius factor sredu above 0, found " + free_format(p.sredu));
    if (!(p.zredu >= 0.0) || !std::isfinite(p.zredu))
        bad_value(source, p, 21, "expected a height factor zredu of at least 0, found " + free_format(p.zredu));
    read_record(in, p, 22, maincom1.sizemin);
    require_finite(source, p, 22, "sizemin", maincom1.sizemin);
    read_record(in, p, 23, maincom1.s20, maincom1.f20);
    require_finite(source, p, 23, "s20", maincom1.s20);
    require_finite(source, p, 23, "f20", maincom1.f20);
    if (maincom1.s20 > 0.0 && !(maincom1.f20 > 0.0))
        bad_value(source, p, 23,
                  "expected an enlargement factor f20 above 0 (s20 = " + free_format(maincom1.s20) +
                      " enlarges the small particles), found " + free_format(maincom1.f20));
    satcom2.rsat = 60.4;
    read_record(in, p, 24, satcom1.isat);
    read_record(in, p, 25, satcom2.distance);
    require_finite(source, p, 25, "distance", satcom2.distance);
    read_record(in, p, 26, satcom3.nlat_sat, satcom3.nfii_sat);
    if (satcom1.isat >= 1 && (satcom3.nlat_sat < 1 || satcom3.nfii_sat < 1))
        bad_value(source, p, 26,
                  "expected at least 1 planet latitude zone and 1 longitude zone, found nlat_sat = " +
                      std::to_string(satcom3.nlat_sat) + ", nfii_sat = " + std::to_string(satcom3.nfii_sat));
    read_record(in, p, 27, satcom3.model_sat);
    if (satcom1.isat >= 1 && (satcom3.model_sat < 1 || satcom3.model_sat > 6))
        bad_value(source, p, 27,
                  "expected a planet model model_sat from 1 to 6, found " + std::to_string(satcom3.model_sat));
    read_record(in, p, 28, p.irot);
    read_record(in, p, 29, p.isquare);
    read_record(in, p, 30, p.testimage);
    read_record(in, p, 31, p.nxpix, p.nypix);
    read_record(in, p, 32, p.idebug);
    read_record(in, p, 33, p.iemulate);
    p.model_sat_name = model_sat_name_of(satcom3.model_sat);
}

void check_capacities(const run_parameters& p, std::string_view source) {
    if (p.nxphot < 0 || p.nyphot < 0)
        over_limit(source, p, 8,
                   "the photon grid nxphot = " + std::to_string(p.nxphot) + ", nyphot = " + std::to_string(p.nyphot) +
                       " must not be negative");
    if (p.nxphot == 0 || p.nyphot == 0)
        over_limit(source, p, 8,
                   "the photon grid nxphot = " + std::to_string(p.nxphot) + ", nyphot = " + std::to_string(p.nyphot) +
                       " launches no photon: both must be at least 1");
    const std::int64_t photons = std::int64_t(p.nxphot) * p.nyphot;
    // The escape file keeps a record per photon and the planet a launch point
    // per photon; without either, only the 32-bit photon count limits a run.
    if (!p.outfile.is_junk())
        require_within(source, p, 8, "nxphot*nyphot", photons, "photons", max_phot,
                       "a run can launch with the escape file on");
    else if (satcom1.isat >= 1)
        require_within(source, p, 8, "nxphot*nyphot", photons, "photons", max_phot,
                       "a run can launch from the planet");
    else
        require_within(source, p, 8, "nxphot*nyphot", photons, "photons", max_photons_unrecorded,
                       "a run can count");
    const std::int64_t cells = std::int64_t(p.mx) * p.my;
    require_within(source, p, 8, "mx*my", cells, "search-grid cells", max_cells, "the grid tables hold");
    if ((p.mx == 1) != (p.my == 1))
        over_limit(source, p, 8,
                   "mx = " + std::to_string(p.mx) + ", my = " + std::to_string(p.my) +
                       ": a search grid needs both sizes above 1, or both equal to 1 for none");
    if (satcom1.isat >= 1) {
        require_within(source, p, 26, "nlat_sat", satcom3.nlat_sat, "planet latitude zones", max_nlat_sat,
                       "the zone tables hold");
        require_within(source, p, 26, "nfii_sat", satcom3.nfii_sat, "planet longitude zones", max_nfii_sat,
                       "the zone tables hold");
    }
    if (p.isquare > max_isquare)
        over_limit(source, p, 29,
                   "isquare = " + std::to_string(p.isquare) + ", more than " + std::to_string(max_isquare) +
                       " (isquare*isquare photons must fit a 32-bit count)");
    require_within(source, p, 31, "nxpix", p.nxpix, "test-image columns", max_pix, "an image holds");
    require_within(source, p, 31, "nypix", p.nypix, "test-image rows", max_pix, "an image holds");
    if (p.nxpix >= 1 && p.nypix < 1)
        over_limit(source, p, 31,
                   "nxpix = " + std::to_string(p.nxpix) + ", nypix = " + std::to_string(p.nypix) +
                       ": a test image needs at least 1 row (nxpix = 0 for no test image)");

    // Every result file the run will write, tried in its folder now.
    if (!p.outfile.is_junk()) probe_output(source, p, 10, std::string(p.outfile.trimmed()));
    if (!p.epsfile.is_junk()) probe_output(source, p, 11, std::string(p.epsfile.trimmed()));
    probe_output(source, p, 12, std::string(p.wfile.trimmed()));
    if (p.nxpix >= 1) probe_output(source, p, 30, p.testimage.prefix(60) + ".TESTIMAGE");
    if (p.idebug >= 1) probe_output(source, p, 30, p.testimage.prefix(60) + ".CHECK_POS");
}

}  // namespace quillet
