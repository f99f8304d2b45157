#include "driver/parameter_deck.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <type_traits>

#include "driver/viewing_geometry.h"
#include "engine/engine_records.h"
#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "numeric/memory_room.h"
#include "planet/planet_source.h"
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

// A 1-based list of `count` entries to come, entry 0 in place: room for
// a first part of them, the rest as they are read.
template <class T>
void start_list(std::vector<T>& v, std::int32_t count) {
    v.assign(1, T{});
    v.reserve(std::size_t(std::min(count, 4096)) + 1);
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

// An input file the deck names must open for reading, and be a file: found
// now, the message can name the deck record and line that named it.
void probe_input(std::string_view source, const run_parameters& p, int n, const std::string& name) {
    std::error_code ec;
    if (std::filesystem::is_directory(name, ec))
        throw input_error(where(source, p, n) + ": cannot open the file " + name + ": it is a folder");
    std::FILE* f = std::fopen(name.c_str(), "r");
    if (!f) throw input_error(where(source, p, n) + ": cannot open the file " + name + ": " + std::strerror(errno));
    std::fclose(f);
}

// Reads deck record n: begins it on a new line and remembers where it ended.
// A text value of the deck (a file name or prefix) cut short by a slash
// would name another file: refused with the way to write it.
template <class V>
void read_value(free_reader& in, V& v) {
    in.read(v);
    if constexpr (std::is_same_v<V, text80>) {
        if (in.text_ended_at_slash())
            in.fail("the name '" + std::string(v.trimmed()) +
                    "' ended at a slash, and a slash ends a record: put a name that holds a slash in quotes, "
                    "as in '../ring.pos'");
    }
}

template <class... T>
void read_record(free_reader& in, run_parameters& p, int n, T&... v) {
    in.begin_record(deck_record_name(n));
    (read_value(in, v), ...);
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

    read_record(in, p, 1, p.posfile);
    read_record(in, p, 2, p.bsun, p.lonsun);
    if (!(p.bsun >= -90.0 && p.bsun <= 90.0))
        bad_value(source, p, 2, "expected a Sun elevation bsun from -90 to 90 degrees, found " + free_format(p.bsun));
    require_finite(source, p, 2, "the Sun azimuth lonsun", p.lonsun);
    read_record(in, p, 3, p.ntest);

    if (p.ntest > 0) {
        require_within(source, p, 3, "ntest", p.ntest, "observer directions", direction_number_limit,
                       "a 32-bit direction number counts");
        // The lists grow as their lines are read: a count that the deck does
        // not back with lines takes no room.
        start_list(p.latobs, p.ntest);
        start_list(p.fiiobs, p.ntest);
        start_list(p.latobs_line, p.ntest);
        for (int k = 1; k <= p.ntest; ++k) {
            in.begin_record("deck record 4 (latobs, fiiobs of direction " + std::to_string(k) + ")");
            double lat = 0.0, fii = 0.0;
            in.read(lat);
            in.read(fii);
            p.latobs.push_back(lat);
            p.fiiobs.push_back(fii);
            p.latobs_line.push_back(in.line());
            if (k == 1) p.record_line[4] = in.line();
        }
        viewing_geometry(p.bsun, p.lonsun, p.ntest, p.fiiobs.data(), p.latobs.data(), [&](int k) {
            return std::string(source) + ", line " + std::to_string(p.latobs_line[k]) + ", " + deck_record_name(4);
        });
    } else if (p.ntest < 0) {
        std::int32_t nlat = 0, nfii = 0;
        read_record(in, p, 5, nlat, nfii);
        if (nlat < 0 || nfii < 0)
            throw input_error(where(source, p, 5) + ": the grid sizes nlat = " + std::to_string(nlat) +
                              " and nfii = " + std::to_string(nfii) + " must not be negative");
        require_within(source, p, 5, "nlat*nfii", std::int64_t(nlat) * nfii, "observer directions",
                       direction_number_limit, "a 32-bit direction number counts");
        std::vector<double> latgrid, fiigrid;
        std::vector<int> latgrid_line, fiigrid_line;
        start_list(latgrid, nlat);
        start_list(fiigrid, nfii);
        start_list(latgrid_line, nlat);
        start_list(fiigrid_line, nfii);
        for (int i = 1; i <= nlat; ++i) {
            in.begin_record("deck record 6 (latgrid value " + std::to_string(i) + ")");
            double v = 0.0;
            in.read(v);
            latgrid.push_back(v);
            latgrid_line.push_back(in.line());
            if (i == 1) p.record_line[6] = in.line();
        }
        for (int j = 1; j <= nfii; ++j) {
            in.begin_record("deck record 7 (fiigrid value " + std::to_string(j) + ")");
            double v = 0.0;
            in.read(v);
            fiigrid.push_back(v);
            fiigrid_line.push_back(in.line());
            if (j == 1) p.record_line[7] = in.line();
        }
        // Latitude varies fastest: direction (j-1)*nlat + i is (latgrid i, fiigrid j).
        p.ntest = nlat * nfii;
        // Few lines can make many directions: their tables are weighed first.
        try {
            require_memory({{thousands(p.ntest) + " observer directions of the grid",
                             (double(p.ntest) + 1.0) * (2.0 * sizeof(double) + sizeof(int))}});
        } catch (const limit_error& e) {
            over_limit(source, p, 5, e.what());
        }
        p.latobs.assign(std::size_t(p.ntest) + 1, 0.0);
        p.fiiobs.assign(std::size_t(p.ntest) + 1, 0.0);
        p.latobs_line.assign(std::size_t(p.ntest) + 1, 0);
        if (nlat >= 1 && nfii >= 1) {
            for (int j = 1; j <= nfii; ++j)
                for (int i = 1; i <= nlat; ++i) {
                    int k = (j - 1) * nlat + i;
                    p.latobs[k] = latgrid[i];
                    p.fiiobs[k] = fiigrid[j];
                }
            // Direction k is latgrid value (k-1) % nlat + 1 with fiigrid value (k-1) / nlat + 1.
            viewing_geometry(p.bsun, p.lonsun, p.ntest, p.fiiobs.data(), p.latobs.data(), [&](int k) {
                const int i = (k - 1) % nlat + 1, j = (k - 1) / nlat + 1;
                return std::string(source) + ", lines " + std::to_string(latgrid_line[i]) + " and " +
                       std::to_string(fiigrid_line[j]) + ", deck records 6 and 7 (latgrid value " +
                       std::to_string(i) + ", fiigrid value " + std::to_string(j) + ")";
            });
        }
    } else {
        p.latobs.assign(1, 0.0);
        p.fiiobs.assign(1, 0.0);
        p.latobs_line.assign(1, 0);
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
    read_record(in, p, 22, p.sizemin);
    require_finite(source, p, 22, "sizemin", p.sizemin);
    read_record(in, p, 23, p.s20, p.f20);
    require_finite(source, p, 23, "s20", p.s20);
    require_finite(source, p, 23, "f20", p.f20);
    if (p.s20 > 0.0 && !(p.f20 > 0.0))
        bad_value(source, p, 23,
                  "expected an enlargement factor f20 above 0 (s20 = " + free_format(p.s20) +
                      " enlarges the small particles), found " + free_format(p.f20));
    planet_settings& sat = p.planet;
    sat.rsat = 60.4;
    read_record(in, p, 24, sat.isat);
    read_record(in, p, 25, sat.distance);
    require_finite(source, p, 25, "distance", sat.distance);
    read_record(in, p, 26, sat.nlat_sat, sat.nfii_sat);
    if (sat.isat >= 1 && (sat.nlat_sat < 1 || sat.nfii_sat < 1))
        bad_value(source, p, 26,
                  "expected at least 1 planet latitude zone and 1 longitude zone, found nlat_sat = " +
                      std::to_string(sat.nlat_sat) + ", nfii_sat = " + std::to_string(sat.nfii_sat));
    // Every model code is kept: one without a brightness factor makes the
    // planet send no light, and the engine then refuses to launch nothing.
    read_record(in, p, 27, sat.model_sat);
    read_record(in, p, 28, p.irot);
    read_record(in, p, 29, p.isquare);
    read_record(in, p, 30, p.testimage);
    read_record(in, p, 31, p.nxpix, p.nypix);
    read_record(in, p, 32, p.idebug);
    read_record(in, p, 33, p.iemulate);
    p.model_sat_name = model_sat_name_of(sat.model_sat);
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
    // The escape records and the planet's launch directions are sized from
    // the photons (and weighed with the rest of the run at the set-up): only
    // the 32-bit photon count limits a run here.
    require_within(source, p, 8, "nxphot*nyphot", photons, "photons", photon_number_limit,
                   "a 32-bit photon number counts");
    const std::int64_t cells = std::int64_t(p.mx) * p.my;
    require_within(source, p, 8, "mx*my", cells, "search-grid cells", cell_number_limit,
                   "a 32-bit cell number counts");
    if ((p.mx == 1) != (p.my == 1))
        over_limit(source, p, 8,
                   "mx = " + std::to_string(p.mx) + ", my = " + std::to_string(p.my) +
                       ": a search grid needs both sizes above 1, or both equal to 1 for none");
    if (p.planet.isat >= 1) {
        require_within(source, p, 26, "nlat_sat*nfii_sat", std::int64_t(p.planet.nlat_sat) * p.planet.nfii_sat,
                       "planet zones", planet_zone_limit, "a 32-bit zone number counts");
    }
    if (p.isquare > max_isquare)
        over_limit(source, p, 29,
                   "isquare = " + std::to_string(p.isquare) + ", more than " + std::to_string(max_isquare) +
                       " (isquare*isquare photons must fit a 32-bit count)");
    if (p.nxpix >= 1 && p.nypix < 1)
        over_limit(source, p, 31,
                   "nxpix = " + std::to_string(p.nxpix) + ", nypix = " + std::to_string(p.nypix) +
                       ": a test image needs at least 1 row (nxpix = 0 for no test image)");
    if (p.nxpix >= 1)
        require_within(source, p, 31, "nxpix*nypix", std::int64_t(p.nxpix) * p.nypix, "test-image pixels",
                       image_cell_limit, "a 32-bit pixel number counts");

    // Every result file the run will write, tried in its folder now.
    if (!p.outfile.is_junk()) probe_output(source, p, 10, std::string(p.outfile.trimmed()));
    if (!p.epsfile.is_junk()) probe_output(source, p, 11, std::string(p.epsfile.trimmed()));
    probe_output(source, p, 12, std::string(p.wfile.trimmed()));
    if (p.nxpix >= 1) probe_output(source, p, 30, p.testimage.prefix(60) + ".TESTIMAGE");
    if (p.idebug >= 1) probe_output(source, p, 30, p.testimage.prefix(60) + ".CHECK_POS");
}

void check_input_files(const run_parameters& p, std::string_view source) {
    probe_input(source, p, 1, std::string(p.posfile.trimmed()));
    if (!p.parfile.is_junk()) probe_input(source, p, 9, std::string(p.parfile.trimmed()));
    if (!p.posfile_haze.is_junk()) probe_input(source, p, 15, std::string(p.posfile_haze.trimmed()));
}

}  // namespace quillet
