// Loading the particle field. Ring particles come from the Particle position
// file (scaled by sredu/zredu, optionally cut by size and enlarged), haze
// particles from the haze file (unchanged), then the edge copies; the optical
// depth and the layer bounds are worked out on the way and reported.
#include "field/part_read_2pos.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

#include "field/field_records.h"
#include "field/particle_file_hdf5.h"
#include "format/free_reader.h"
#include "format/free_writer.h"
#include "format/result_file.h"
#include "format/run_error.h"
#include "numeric/memory_room.h"

namespace quillet {

namespace {

const char* const rule28 = "============================";

// "particle i (radius, x, y, z)", written into `what` (its room is kept from
// one particle to the next).
void particle_record(std::string& what, std::int32_t i) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, i).ptr;
    what.assign("particle ");
    what.append(digits, end);
    what.append(" (radius, x, y, z)");
}

// Records 1 to 4 of a position file: title, a skipped value, orb xl yl sy, count.
// (Reader: free_reader for the text form, hdf5_particle_file for the HDF5 form.)
template <class Reader>
void read_head(Reader& in, text80& title, double& orb_read, double& xl, double& yl, double& sy,
               bool report_title) {
    in.begin_record("record 1 (title)");
    std::string t;
    in.read(t);
    title.assign(t);
    if (report_title) {
        say(rule28);
        say("posdat:", title);
    }
    in.begin_record("record 2 (a value that is skipped)");
    std::string skipped;
    in.read(skipped);
    in.begin_record("record 3 (orb, xl, yl, sy)");
    in.read(orb_read);
    in.read(xl);
    in.read(yl);
    in.read(sy);
}

template <class Reader>
std::int32_t read_count(Reader& in, std::int32_t already) {
    in.begin_record("record 4 (number of particles)");
    std::int32_t n = 0;
    in.read(n);
    if (n < 0) in.fail("expected a particle count of at least 0, found " + std::to_string(n));
    if (std::int64_t(already) + n > particle_number_limit)
        throw limit_error(in.source() + ", line " + std::to_string(in.line()) + ", " + in.record() + ": " +
                          std::to_string(std::int64_t(already) + n) + " particles, more than the " +
                          std::to_string(particle_number_limit) + " a 32-bit particle number counts");
    // The tables are sized from the count before the lines are read: a count
    // beyond what the machine holds is refused here.
    try {
        require_memory({{thousands(std::int64_t(already) + n) + " particles stated",
                         particle_table_bytes(std::int64_t(already) + n)}});
    } catch (const limit_error& e) {
        throw limit_error(in.source() + ", line " + std::to_string(in.line()) + ", " + in.record() + ": " + e.what());
    }
    return n;
}

// Particle lines first..first+count-1: radius, x, y, z.
void read_particles(particle_field& field, free_reader& in, std::int32_t first, std::int32_t count) {
    // The tables take the stated count only as far as the file can hold its
    // lines (a particle line has at least 7 bytes): a short file stating a
    // huge count would otherwise take its room before the first line fails.
    // From a pipe they grow by doubling up to the count.
    const std::int64_t left = in.bytes_left();
    std::int32_t room = std::int32_t(std::min<std::int64_t>(count, left >= 0 ? left / 7 + 1 : 65536));
    field.size_particles(first + room - 1);
    std::string what;
    for (std::int32_t k = 0; k < count; ++k) {
        std::int32_t i = first + k;
        if (k == room) {
            room = std::int32_t(std::min<std::int64_t>(count, 2 * std::int64_t(room)));
            field.size_particles(first + room - 1);
        }
        particle_record(what, k + 1);
        in.begin_record(what);
        double r = 0.0, x = 0.0, y = 0.0, z = 0.0;
        in.read(r);
        in.read(x);
        in.read(y);
        in.read(z);
        // A sphere needs a positive radius whose square (the search works with
        // it) is finite, and a place.
        if (!(r > 0.0) || !std::isfinite(r * r))
            in.fail("expected a radius above 0 whose square is finite, found " + free_format(r));
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
            in.fail("expected finite coordinates x, y, z, found " + free_format(x, y, z));
        field.rpart[i] = r;
        field.xpart[i] = x;
        field.ypart[i] = y;
        field.zpart[i] = z;
    }
}

void read_particles(particle_field& field, hdf5_particle_file& in, std::int32_t first, std::int32_t count) {
    field.size_particles(first + count - 1);
    in.read_particles(field, first, count);
}

// Opens the particle file `name` in its form, HDF5 when it begins with the
// HDF5 signature, text otherwise, and hands the reader to `read`.
template <class Read>
void with_particle_file(const std::string& name, Read&& read) {
    if (is_hdf5_file(name)) {
        hdf5_particle_file in(name);
        read(in);
    } else {
        free_reader in(name);
        read(in);
    }
}

// Summed cross-sections of particles first..last.
double cross_sections(const particle_field& field, std::int32_t first, std::int32_t last) {
    double a = 0.0;
    for (std::int32_t i = first; i <= last; ++i) a += std::numbers::pi * (field.rpart[i] * field.rpart[i]);
    return a;
}

}  // namespace

double fold_shift(double sy, double yl) {
    // Ten steps of 2 yl bring every shift within 21 yl inside the cell but
    // for rounding: -2.1 with yl = 0.1 ends at -0.10000000000000042. Such a
    // shift is folded again from the value read, exactly: fmod is exact, and
    // so is the one step of 2 yl after it (both values lie within a factor 2).
    const double sy_read = sy;
    for (int pass = 0; pass < 10; ++pass) {
        if (sy > yl) sy -= 2.0 * yl;
        if (sy < -yl) sy += 2.0 * yl;
    }
    if (std::fabs(sy) <= yl) return sy;
    const double yl2 = 2.0 * yl;
    sy = std::fmod(sy_read, yl2);
    if (sy > yl) sy -= yl2;
    if (sy < -yl) sy += yl2;
    return sy;
}

void duplicate_edges(particle_field& field, std::int32_t n, std::string_view source,
                     const std::function<void(const particle_field&, std::int64_t, std::int64_t)>& before_copies) {
    const double xl = field.xl, yl = field.yl, sy = field.sy;
    // The copies of particle i, in order: each periodic image whose sphere
    // reaches into the cell. Counted first, so that the tables are sized once.
    auto each_copy = [&](std::int32_t i, auto&& on_copy) {
        const double r = field.rpart[i];
        for (int m = -1; m <= 1; ++m) {
            for (int k = -1; k <= 1; ++k) {
                if (m == 0 && k == 0) continue;
                const double xs = field.xpart[i] + m * field.xl2;
                const double ys = field.ypart[i] + k * field.yl2 + m * sy;
                if (std::fabs(xs) <= r + xl && std::fabs(ys) <= r + yl) on_copy(xs, ys);
            }
        }
    };
    std::int64_t c = 0;
    for (std::int32_t i = 1; i <= n; ++i) each_copy(i, [&](double, double) { ++c; });
    if (n + c > particle_number_limit)
        throw limit_error(std::string(source) + ": " + std::to_string(n) + " particles and " + std::to_string(c) +
                          " edge copies make " + std::to_string(n + c) + " entries, more than the " +
                          std::to_string(particle_number_limit) + " a 32-bit particle number counts");
    if (before_copies) before_copies(field, n, c);
    field.size_particles(std::int32_t(n + c));
    std::int32_t j = n;
    for (std::int32_t i = 1; i <= n; ++i) {
        field.iorig[i] = i;
        each_copy(i, [&](double xs, double ys) {
            ++j;
            field.xpart[j] = xs;
            field.ypart[j] = ys;
            field.zpart[j] = field.zpart[i];
            field.rpart[j] = field.rpart[i];
            field.iorig[j] = i;
            field.itype[j] = field.itype[i];
        });
    }
    field.npart = j;
}

std::int32_t image_holding(const particle_field& field, std::int32_t ipart, double px, double py, double pz) {
    // The copies follow the particles of the files (particle j is a copy when
    // iorig of its entry is below j) and are numbered in the order of their
    // originals, so both the first copy and the copies of one particle are
    // found by bisection over the particle numbers; the images are tried in
    // that order, the original first.
    const std::int32_t i = field.iorig[ipart];
    auto orig = [&field](std::int32_t j) { return field.iorig[field.entry_of(j)]; };
    auto first_where = [](std::int32_t lo, std::int32_t hi, auto&& past) {  // first j in [lo, hi) with past(j)
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            if (past(mid)) hi = mid;
            else lo = mid + 1;
        }
        return lo;
    };
    const std::int32_t end = field.npart + 1;
    const std::int32_t copies = first_where(1, end, [&orig](std::int32_t j) { return orig(j) < j; });
    const std::int32_t first = first_where(copies, end, [&orig, i](std::int32_t j) { return orig(j) >= i; });
    const std::int32_t last = first_where(first, end, [&orig, i](std::int32_t j) { return orig(j) > i; });
    auto d2 = [&](std::int32_t e) {
        const double dx = px - field.xpart[e], dy = py - field.ypart[e], dz = pz - field.zpart[e];
        return dx * dx + dy * dy + dz * dz;
    };
    std::int32_t best = field.entry_of(i);
    double best_d2 = d2(best);
    for (std::int32_t j = first; j < last; ++j) {
        const std::int32_t e = field.entry_of(j);
        const double dj = d2(e);
        if (dj < best_d2) best = e, best_d2 = dj;
    }
    return best;
}

namespace {

// The Particle position file: cell, count and ring particles, scaled by
// sredu and zredu. Out: the particle count n, the layer bounds and tau.
template <class Reader>
void read_ring_particles(particle_field& field, Reader& in, bool report, std::int32_t& n, double& zmin, double& zmax,
                         double& tau) {
    double xl = 0.0, yl = 0.0, sy = 0.0;
    text80 title;
    double orb = 0.0;
    read_head(in, title, orb, xl, yl, sy, report);
    if (!(xl > 0.0) || !(yl > 0.0) || !std::isfinite(xl) || !std::isfinite(yl))
        in.fail("expected positive half-widths xl and yl, found " + free_format(xl, yl));
    // The optical depth divides by the cell area 4 xl yl.
    if (!(4.0 * xl * yl > 0.0) || !std::isfinite(4.0 * xl * yl))
        in.fail("expected half-widths xl and yl whose cell area 4*xl*yl is positive and finite, found " +
                free_format(xl, yl));
    // The shift is folded into [-yl, yl] by ten steps of 2 yl at most: a
    // shift beyond 21 yl is refused as a misread value rather than folded.
    if (!(std::fabs(sy) <= 21.0 * yl))
        in.fail("expected a shift sy within 21*yl = " + free_format(21.0 * yl) + " of 0, found " +
                free_format(sy));
    if (report) say("orb,xl,yl,sy", orb, xl, yl, sy);
    n = read_count(in, 0);
    field.npartori = n;
    if (report) say("original npart ", n);

    const double sy_read = sy;
    sy = fold_shift(sy, yl);
    say("sy: ", sy_read, sy);
    field.xl = xl;
    field.yl = yl;
    field.sy = sy;
    field.yl2 = 2.0 * yl;
    field.xl2 = 2.0 * xl;

    read_particles(field, in, 1, n);
    double area = 0.0;
    zmin = 0.0;
    zmax = 0.0;
    for (std::int32_t i = 1; i <= n; ++i) {
        field.rpart[i] *= field.sredu;
        field.zpart[i] *= field.zredu;
        const double r = field.rpart[i], z = field.zpart[i];
        zmin = std::min(zmin, z - r);
        zmax = std::max(zmax, z + r);
        area += std::numbers::pi * (r * r);
    }
    tau = area / (4.0 * xl * yl);
}

double cell_area(const particle_field& field) { return 4.0 * field.xl * field.yl; }

// Drops the ring particles below sizemin, keeping the others in file order.
void cut_small_particles(particle_field& field, double sizemin, std::int32_t& n, double& tau) {
    std::int32_t kept = 0;
    for (std::int32_t i = 1; i <= n; ++i) {
        if (field.rpart[i] >= sizemin) {
            ++kept;
            field.xpart[kept] = field.xpart[i];
            field.ypart[kept] = field.ypart[i];
            field.zpart[kept] = field.zpart[i];
            field.rpart[kept] = field.rpart[i];
        }
    }
    const double tau_mod = cross_sections(field, 1, kept) / cell_area(field);
    say("sizemin: TAU, TAU_MOD ", sizemin, tau, tau_mod);
    say("sizemin: N, N_MOD ", sizemin, n, kept);
    n = kept;
    tau = tau_mod;
}

// Enlarges the ring particles up to radius s20 by f20.
void enlarge_small_particles(particle_field& field, double s20, double f20, std::int32_t n, double& tau) {
    for (std::int32_t i = 1; i <= n; ++i)
        if (field.rpart[i] <= s20) field.rpart[i] *= f20;
    const double tau_mod = cross_sections(field, 1, n) / cell_area(field);
    say("s20,f20: TAU, TAU_MOD ", s20, f20, tau, tau_mod);
    tau = tau_mod;
}

// Appends the haze particles (unscaled, kind 2) after the n ring particles.
template <class Reader>
void add_haze(particle_field& field, Reader& in, std::int32_t& n, double& zmin, double& zmax, double& tau) {
    text80 title;
    double ignored[4] = {0.0, 0.0, 0.0, 0.0};
    read_head(in, title, ignored[0], ignored[1], ignored[2], ignored[3], false);
    say("posdat:", title);
    const std::int32_t npart_haze = read_count(in, n);
    say("npart_haze ", npart_haze);
    say("before adding haze:");
    say("tau", tau);
    say("zz", zmin, zmax);
    read_particles(field, in, n + 1, npart_haze);
    for (std::int32_t i = n + 1; i <= n + npart_haze; ++i) {
        field.itype[i] = 2;
        const double r = field.rpart[i], z = field.zpart[i];
        zmin = std::min(zmin, z - r);
        zmax = std::max(zmax, z + r);
    }
    const double area_haze = cross_sections(field, n + 1, n + npart_haze);
    n += npart_haze;
    tau = tau + area_haze / cell_area(field);
    say("after adding haze:");
    say("tau", tau);
    say("zz", zmin, zmax);
}

// The factors sredu, zredu and f20, or very large radii, can carry a field
// read in range beyond the double range: refuse it here rather than trace
// rays through infinite spheres.
void require_finite_field(const particle_field& field, const std::string& source, std::int32_t n, double zmin,
                          double zmax, double tau) {
    for (std::int32_t i = 1; i <= n; ++i)
        if (!std::isfinite(std::numbers::pi * (field.rpart[i] * field.rpart[i])) || !std::isfinite(field.zpart[i]))
            throw input_error(source + ": particle " + std::to_string(i) + " of the field has radius " +
                              free_format(field.rpart[i]) + " and height " + free_format(field.zpart[i]) +
                              " after the factors sredu, zredu and f20: expected a finite cross-section and height");
    if (!std::isfinite(tau) || !std::isfinite(zmin) || !std::isfinite(zmax))
        throw input_error(source + ": the optical depth " + free_format(tau) + " and the layer " +
                          free_format(zmin, zmax) + " of the field are not finite: expected radii and heights " +
                          "whose cross-sections and extent stay within the range of a double");
}

// Diagnostic dump of the whole table, copies included.
void write_check_pos(const particle_field& field, const field_build_options& options) {
    result_file out(options.testimage.prefix(60) + ".CHECK_POS", options.files);
    std::FILE* f = out.stream();
    put_record(f, field.xl, field.yl, field.zmin, field.zmax, field.sy);
    put_record(f, field.npart);
    for (std::int32_t i = 1; i <= field.npart; ++i)
        put_record(f, field.xpart[i], field.ypart[i], field.zpart[i], field.rpart[i], field.itype[i]);
    out.commit();
}

}  // namespace

void part_read_2pos(particle_field& field, const text80& file, const text80& file_haze,
                    const field_build_options& options) {
    const bool report = options.icheck >= 0;
    say("entering part_read_2pos");
    say("file = ", file);
    say("file_haze = ", file_haze);

    const std::string name(file.trimmed());
    std::int32_t n = 0;
    double zmin = 0.0, zmax = 0.0, tau = 0.0;
    with_particle_file(name, [&](auto& in) { read_ring_particles(field, in, report, n, zmin, zmax, tau); });
    if (options.sizemin > 0.0) cut_small_particles(field, options.sizemin, n, tau);
    if (options.s20 > 0.0) enlarge_small_particles(field, options.s20, options.f20, n, tau);
    for (std::int32_t i = 1; i <= n; ++i) field.itype[i] = 1;

    say("file_haze", file_haze);
    std::string source = name;
    if (!file_haze.is_junk()) {
        const std::string haze_name(file_haze.trimmed());
        source += " with haze file " + haze_name;
        say(rule28);
        say("reading haze particles      ");
        with_particle_file(haze_name, [&](auto& in) { add_haze(field, in, n, zmin, zmax, tau); });
    }
    require_finite_field(field, source, n, zmin, zmax, tau);
    field.zmin = zmin;
    field.zmax = zmax;
    field.tau = tau;

    duplicate_edges(field, n, source, options.before_copies);

    if (report) {
        say("duplicate edges ", field.npart);
        say("zmin,zmax", field.zmin, field.zmax);
        say(rule28);
    }
    if (options.idebug >= 1) write_check_pos(field, options);
}

}  // namespace quillet
