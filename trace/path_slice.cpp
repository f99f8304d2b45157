// Slice search: the ray is tested against every candidate sphere of the
// central cell (all particles, or the grid's candidates), and when it meets
// none, against the four vertical walls. This is the innermost loop of the
// simulation: no allocation, no output unless a diagnostic switch asks for it.
#include "trace/path_slice.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "format/free_writer.h"
#include "format/run_error.h"
#include "trace/sphere_entry.h"
#include "trace/tab_choose.h"
#include "trace/search_scratch.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double no_hit = 1.0e6;

std::FILE* open_trace(search_scratch& s) {
    slice_trace& t = s.trace;
    if (!t.f) {
        t.name = s.trace_prefix + ".TRACE";
        t.f = std::fopen(t.name.c_str(), "w");
        if (!t.f) throw output_error("cannot open the trace file " + t.name + ": " + std::strerror(errno));
    }
    return t.f;
}

// The particles are written with the files' numbers.
void write_trace(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux,
                 double uy, double uz, std::int32_t excluded, std::int32_t ipart, double tmin, std::int32_t mode,
                 std::int32_t npot) {
    static const char* const rule46 = "----------------------------------------------";
    slice_trace& t = s.trace;
    std::FILE* f = t.capture ? nullptr : open_trace(s);
    auto emit = [&] {
        if (t.capture)
            t.capture->append(t.line);
        else
            std::fwrite(t.line.data(), 1, t.line.size(), f);
    };
    auto record = [&](const auto&... a) {
        t.line.clear();
        put_items(t.line, a...);
        t.line.push_back('\n');
        emit();
    };
    record(rule46);
    record(s.iphot, s.iscat, s.ibox, mode);
    record(rule46);
    record(x0, y0, z0);
    record(ux, uy, uz);
    record(field.file_number(excluded), field.file_number(ipart), tmin);
    record(npot);
    if (npot > 0) {
        t.line.clear();
        for (std::int32_t l = 1; l <= npot; ++l) put_items(t.line, field.file_number(s.pottab[l]));
        t.line.push_back('\n');
        emit();
    }
}

}  // namespace

void append_slice_trace(search_scratch& s, std::string_view records) {
    if (records.empty()) return;
    std::fwrite(records.data(), 1, records.size(), open_trace(s));
}

void close_slice_trace(search_scratch& s) {
    slice_trace& t = s.trace;
    if (!t.f) return;
    std::FILE* f = t.f;
    t.f = nullptr;
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    int err = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) throw output_error("cannot write the trace file " + t.name + ": " + std::strerror(err ? err : EIO));
}

void path_slice(const particle_field& field, search_scratch& s, double x0, double y0, double z0, double ux, double uy,
                double uz, std::int32_t& ipart, double& tmin, search_kind kind, std::int32_t excluded) {
    search_direction d;
    prepare_direction(ux, uy, uz, d);
    path_slice(field, s, x0, y0, z0, d, ipart, tmin, kind, excluded);
}

void path_slice(const particle_field& field, search_scratch& s, double x0, double y0, double z0,
                const search_direction& d, std::int32_t& ipart, double& tmin, search_kind kind,
                std::int32_t excluded) {
    const double ux = d.ux, uy = d.uy, uz = d.uz;
    const std::int32_t mode = std::int32_t(kind);
    // The self-hit rule's reach: a search that excludes a particle starts at
    // a scattering point on it.
    const double reach = start_reach(excluded != no_particle, x0, y0, z0);
    ipart = 0;
    tmin = no_hit;

    // With a laid-out grid and no trace, the cells are walked and their
    // candidates tested in one pass (the same answer as the list below).
    const bool walk =
        field.mx > 1 && field.my > 1 && field.layout.dtab_max > 0.0 && !s.settings.full_scan && s.idebug < 1;

    // Candidates: every particle without a grid, the grid's list with one.
    const std::int32_t mx = field.mx, my = field.my;
    const bool all = mx < 2 && my < 2;
    std::int32_t npot = 0;
    if (mx > 1 && my > 1 && !walk) tab_choose(field, s, x0, y0, z0, ux, uy, uz, npot);
    const std::int32_t ncand = all ? field.npart : npot;

    if (walk && mode >= 2) {
        tab_choose_test(field, s, x0, y0, z0, d, kind, excluded, 0.0, ipart, tmin);
        if (ipart >= 1) return;
    } else if (mode >= 2) {
        // Occlusion: any particle in the way will do, the first one ends the search.
        for (std::int32_t l = 1; l <= ncand; ++l) {
            const std::int32_t k = all ? l : s.pottab[l];
            if (k == excluded) continue;
            const double t = sphere_entry(field, k, x0, y0, z0, ux, uy, uz, reach);
            if (t > 0.0) {
                ipart = k;
                tmin = t;
                break;
            }
        }
        if (ipart >= 1) {
            if (s.idebug >= 1) write_trace(field, s, x0, y0, z0, ux, uy, uz, excluded, ipart, tmin, mode, npot);
            return;
        }
    }

    double texit;
    const std::int32_t iwall = first_wall(field, x0, y0, d, s.twall, texit);

    if (walk && mode < 2) {
        tab_choose_test(field, s, x0, y0, z0, d, kind, excluded, texit, ipart, tmin);
        if (ipart >= 1 && s.settings.icheck > 0 && mode == 1) say("slice_hit: ipart,tmin", field.file_number(ipart), tmin);
    } else if (mode < 2) {
        // Nearest particle whose entry point lies in this box; ties keep the
        // earlier candidate. A sphere that straddles a wall is entered beyond
        // the wall only after the ray has crossed into the next box, where the
        // particles of that box (copies of the central cell's) may stand
        // nearer: that entry is found there, on the copy of the sphere.
        for (std::int32_t l = 1; l <= ncand; ++l) {
            const std::int32_t k = all ? l : s.pottab[l];
            if (k == excluded) continue;
            const double t = sphere_entry(field, k, x0, y0, z0, ux, uy, uz, reach);
            if (t > 0.0 && t < tmin && t <= texit) {
                ipart = k;
                tmin = t;
            }
        }
        if (ipart >= 1 && s.settings.icheck > 0 && mode == 1) say("slice_hit: ipart,tmin", field.file_number(ipart), tmin);
    }

    if (ipart == 0) {
        ipart = iwall;
        tmin = texit;
        if (tmin < 0.0) say("slice_edge: tmin<0", tmin, s.iphot);
        if (s.settings.icheck > 0 && mode == 1) say("slice_edge: ipart,tmin", ipart, tmin);
    }

    if (s.idebug >= 1) write_trace(field, s, x0, y0, z0, ux, uy, uz, excluded, ipart, tmin, mode, npot);
}

}  // namespace quillet
