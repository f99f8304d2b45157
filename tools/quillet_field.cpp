// quillet-field: writes a Particle position file for the simulator, a layer of
// spheres in one periodic cell drawn from a seed. Options are read here, the
// field is drawn by make_field (field_generator.cpp), the report goes to
// standard error so that standard output can carry the file itself.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "tools/field_generator.h"

using namespace quillet;

namespace {

const char* const help_text = R"(Usage: quillet-field [options] [-o FILE]

Writes a Particle position file for quillet: spheres in one horizontally
periodic cell [-xl, xl] x [-yl, yl] whose neighbouring columns are shifted by
sy in y. Particles do not overlap (random sequential addition, largest first,
with periodic distances and the shear) unless --overlap is given. The same
options and seed always give the same file, byte for byte.

Output
  -o, --output FILE    write the file here (default: standard output); the
                       file is replaced only once it is complete
  --title TEXT         title of the file, at most 80 characters
                       (default: quillet-field)

Cell
  --xl L, --yl L       half-widths of the cell (default 50 each)
  --sy S               y-shift between neighbouring cell columns (default 0)
  --orb V              value stored in the file's third record and echoed by
                       quillet, not used otherwise (default 0)

Sizes (one radius, or a power law; the largest radius must not exceed
half of the smaller half-width)
  --radius R           one radius for all particles (default 1)
  --rmin R, --rmax R   radius range of a power-law size distribution
  --q Q                power-law index: dn/dr proportional to r^-Q
                       (default 3; any real, Q = 1 included)

Amount (one of)
  --tau T              target optical depth, the sum of pi r^2 over the cell
                       area 4 xl yl (default 0.5). One radius: the nearest
                       whole number of particles. Power law: particles are
                       added until the target is reached, so the optical depth
                       exceeds it by less than one particle's cross-section.
  --number N           exactly N particles

Vertical distribution (one of; default --filling 0.1)
  --filling D          volume filling factor D: a uniform slab of thickness
                       H = (sum of 4/3 pi r^3) / (4 xl yl D)
  --thickness H        a uniform slab of thickness H
  --scale-height HZ    centre heights Gaussian with standard deviation HZ
  --gaussian           with --filling: Gaussian heights whose mid-plane
                       filling factor is D, HZ = volume / (4 xl yl sqrt(2 pi) D)
                       In a slab every sphere lies wholly inside [-H/2, H/2];
                       centres are uniform in the cell and in their height
                       range. For a Gaussian the reported filling factor is
                       the mid-plane one, with thickness sqrt(2 pi) HZ.

Placement
  --overlap            place every particle independently (overlaps allowed,
                       the random medium of classical radiative transfer)
  --seed N             seed, 1 to 999999999 (default 1)
  --generator NAME     source of the random numbers: mt19937_64 (default;
                       the 64-bit Mersenne twister, the same sequence on every
                       platform) or ran1 (quillet's own generator, seeded
                       with -N; its consecutive draws cluster in three
                       dimensions, which shows in fields of more than about
                       10^4 particles; seeds that differ by a multiple of
                       259200 give the same field)
  --max-attempts N     positions tried per particle before giving up
                       (default 100000)

  -h, --help           show this text

Random draws: the power-law radii first (one per particle), then per placement
attempt x, y and the height (two draws for a Gaussian height).

The report goes to standard error: particle count, achieved optical depth and
filling factor, layer extent, positions drawn, edge copies and time. A request
that cannot be met (negative or zero sizes, a filling factor above random
close packing 0.64 without --overlap, a layer too crowded to place every
particle within --max-attempts tries, more particles than quillet's tables
hold) stops with a message and exit status 1; no file is written then.

File layout: a title line, a line describing the options, "orb xl yl sy", the
particle count n, then n lines "radius x y z", largest particles first.
)";

[[noreturn]] void usage_error(const std::string& msg) {
    throw limit_error(msg + " (see quillet-field --help)");
}

double parse_real(std::string_view opt, const std::string& text) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (text.empty() || end == s || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        usage_error(std::string(opt) + " expects a number, not '" + text + "'");
    return v;
}

long long parse_whole(std::string_view opt, const std::string& text, long long lo, long long hi) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    if (text.empty() || end == s || *end != '\0' || errno == ERANGE)
        usage_error(std::string(opt) + " expects a whole number, not '" + text + "'");
    if (v < lo || v > hi)
        usage_error(std::string(opt) + " must be from " + std::to_string(lo) + " to " + std::to_string(hi) +
                    ", not " + text);
    return v;
}

// A text item in quotes, a quote inside doubled, as the free-format reader takes it.
std::string quoted(std::string_view s) {
    std::string q = "'";
    for (char c : s) {
        q.push_back(c);
        if (c == '\'') q.push_back('\'');
    }
    q.push_back('\'');
    return q;
}

struct options {
    field_request req;
    std::string output;  // empty: standard output
    std::string title = "quillet-field";
    bool help = false;
};

options parse_options(int argc, char** argv) {
    options o;
    field_request& r = o.req;
    bool seen_radius = false, seen_range = false, seen_rmin = false, seen_rmax = false;
    bool seen_tau = false, seen_number = false, seen_gaussian = false;
    int vertical = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string val;
        bool has_val = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                val = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_val = true;
            }
        }
        auto value = [&]() -> std::string {
            if (has_val) return val;
            if (i + 1 >= argc) usage_error("option " + arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&]() {
            if (has_val) usage_error("option " + arg + " takes no value");
        };
        if (arg == "-h" || arg == "--help") {
            flag();
            o.help = true;
        } else if (arg == "-o" || arg == "--output") {
            o.output = value();
            if (o.output.empty()) usage_error("option " + arg + " needs a file name");
        } else if (arg == "--title") {
            o.title = value();
            if (o.title.size() > 80) usage_error("--title is longer than 80 characters");
        } else if (arg == "--xl") {
            r.xl = parse_real(arg, value());
        } else if (arg == "--yl") {
            r.yl = parse_real(arg, value());
        } else if (arg == "--sy") {
            r.sy = parse_real(arg, value());
        } else if (arg == "--orb") {
            r.orb = parse_real(arg, value());
        } else if (arg == "--radius") {
            r.radius = parse_real(arg, value());
            seen_radius = true;
        } else if (arg == "--rmin") {
            r.rmin = parse_real(arg, value());
            seen_range = seen_rmin = true;
        } else if (arg == "--rmax") {
            r.rmax = parse_real(arg, value());
            seen_range = seen_rmax = true;
        } else if (arg == "--q") {
            r.q = parse_real(arg, value());
            seen_range = true;
        } else if (arg == "--tau") {
            r.tau = parse_real(arg, value());
            seen_tau = true;
        } else if (arg == "--number") {
            r.number = std::int32_t(parse_whole(arg, value(), 0, particle_number_limit));
            seen_number = true;
        } else if (arg == "--filling") {
            r.filling = parse_real(arg, value());
            r.profile = field_profile::filling;
            ++vertical;
        } else if (arg == "--thickness") {
            r.thickness = parse_real(arg, value());
            r.profile = field_profile::thickness;
            ++vertical;
        } else if (arg == "--scale-height") {
            r.scale_height = parse_real(arg, value());
            r.profile = field_profile::scale_height;
            ++vertical;
        } else if (arg == "--gaussian") {
            flag();
            seen_gaussian = true;
        } else if (arg == "--overlap") {
            flag();
            r.overlap = true;
        } else if (arg == "--generator") {
            std::string g = value();
            if (g == "mt19937_64")
                r.rng = field_rng_kind::mt19937_64;
            else if (g == "ran1")
                r.rng = field_rng_kind::ran1;
            else
                usage_error("--generator is mt19937_64 or ran1, not '" + g + "'");
        } else if (arg == "--seed") {
            r.seed = std::int32_t(parse_whole(arg, value(), 1, 999999999));
        } else if (arg == "--max-attempts") {
            r.max_attempts = parse_whole(arg, value(), 1, 1000000000000LL);
        } else {
            usage_error("unknown option '" + arg + "'");
        }
    }
    if (seen_radius && seen_range) usage_error("--radius cannot be combined with --rmin, --rmax or --q");
    if (seen_range) {
        if (!seen_rmin || !seen_rmax) usage_error("a power law needs both --rmin and --rmax");
        r.power_law = true;
    }
    if (seen_tau && seen_number) usage_error("give either --tau or --number, not both");
    if (vertical > 1) usage_error("give only one of --filling, --thickness and --scale-height");
    if (seen_gaussian) {
        if (r.profile != field_profile::filling)
            usage_error("--gaussian goes with --filling (a Gaussian of given scale height is --scale-height)");
        r.profile = field_profile::gauss_filling;
    }
    return o;
}

// The options that made the field, for the file's second line.
std::string describe(const options& o) {
    const field_request& r = o.req;
    std::string s;
    put_items(s, "quillet-field", "--xl", r.xl, "--yl", r.yl, "--sy", r.sy);
    if (r.orb != 0.0) put_items(s, "--orb", r.orb);
    if (r.power_law)
        put_items(s, "--rmin", r.rmin, "--rmax", r.rmax, "--q", r.q);
    else
        put_items(s, "--radius", r.radius);
    if (r.number >= 0)
        put_items(s, "--number", r.number);
    else
        put_items(s, "--tau", r.tau);
    switch (r.profile) {
    case field_profile::filling: put_items(s, "--filling", r.filling); break;
    case field_profile::gauss_filling: put_items(s, "--filling", r.filling, "--gaussian"); break;
    case field_profile::thickness: put_items(s, "--thickness", r.thickness); break;
    case field_profile::scale_height: put_items(s, "--scale-height", r.scale_height); break;
    }
    if (r.overlap) put_items(s, "--overlap");
    if (r.rng == field_rng_kind::ran1) put_items(s, "--generator", "ran1");
    put_items(s, "--seed", r.seed);
    return s;
}

void write_field(std::FILE* f, const options& o, const field_result& res) {
    put_record(f, quoted(o.title));
    put_record(f, quoted(describe(o)));
    put_record(f, o.req.orb, o.req.xl, o.req.yl, o.req.sy);
    put_record(f, std::int32_t(res.part.size()));
    record_writer w(f);
    for (const field_particle& p : res.part) {
        w << p.r << p.x << p.y << p.z;
        w.end();
    }
}

void report(const options& o, const field_result& res, double seconds) {
    const field_request& r = o.req;
    auto line = [](const std::string& s) { std::fprintf(stderr, "quillet-field: %s\n", s.c_str()); };
    auto paren = [](const std::string& s) { return "(" + s + ")"; };
    std::string sizes = r.power_law ? free_format("radii", r.rmin, "to", r.rmax, "q", r.q)
                                    : free_format("radius", r.radius);
    line(free_format("particles", std::int64_t(res.part.size()), paren(sizes),
                     r.overlap ? "placed independently" : "non-overlapping"));
    if (r.number >= 0)
        line(free_format("tau", res.tau));
    else
        line(free_format("tau", res.tau, paren(free_format("target", r.tau))));
    if (res.scale_height > 0.0)
        line(free_format("filling factor", res.filling,
                         paren(free_format("mid-plane; Gaussian scale height", res.scale_height))));
    else
        line(free_format("filling factor", res.filling, paren(free_format("slab thickness", res.thickness))));
    line(free_format("zmin,zmax", res.zmin, res.zmax));
    double per = res.part.empty() ? 0.0 : double(res.attempts) / double(res.part.size());
    line(free_format("positions drawn", res.attempts, paren(free_format(per, "per particle"))));
    std::int64_t total = std::int64_t(res.part.size()) + res.edge_copies;
    line(free_format("edge copies", res.edge_copies, paren(free_format("table entries", total))));
    if (total > particle_number_limit)
        line("warning: quillet's 32-bit particle numbers cannot count this field with its edge copies");
    line(free_format("time", seconds, "s"));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        options o = parse_options(argc, argv);
        if (o.help) {
            std::fputs(help_text, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        auto t0 = std::chrono::steady_clock::now();
        field_result res = make_field(o.req);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (o.output.empty()) {
            write_field(stdout, o, res);
            if (std::fflush(stdout) != 0 || std::ferror(stdout))
                throw output_error("cannot write the field to standard output");
        } else {
            result_file out(o.output);
            write_field(out.stream(), o, res);
            out.commit();
        }
        report(o, res, seconds);
        return 0;
    } catch (const run_error& e) {
        std::fprintf(stderr, "quillet-field: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "quillet-field: out of memory\n");
        return 1;
    }
}
