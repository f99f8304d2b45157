// Grid candidate search: the particles a ray may meet in the central cell are
// those of the grid cells whose bounding disc the ray's horizontal half-line
// meets, minus cells the ray passes entirely above or below. The exact sphere
// test is left to the slice search. Runs once per slice search: one pass over
// the non-empty cells, no allocation.
#include "trace/tab_choose.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "field/field_records.h"
#include "format/free_writer.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

// |uz| below this (0.02 in single precision) marks a nearly horizontal ray.
constexpr double flat_uz = 0.0199999995529651641845703125;
// Cells are rejected only when the ray is more than this factor outside the layer.
constexpr double height_margin = 1.01;

const char* const rule45 = "=============================================";
const char* const rule24 = "------------------------";

// Fixed-width fields of the grid trace: text right-justified in w columns,
// integers and fixed-point reals right-justified, w asterisks when too wide.
void put_text(std::string& out, int w, std::string_view s) {
    if (int(s.size()) >= w) {
        out.append(s.substr(0, std::size_t(w)));
    } else {
        out.append(std::size_t(w) - s.size(), ' ');
        out.append(s);
    }
}

void put_int(std::string& out, int w, std::int32_t v) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%*d", w, int(v));
    if (n > w) out.append(std::size_t(w), '*');
    else out.append(buf, std::size_t(n));
}

void put_fixed(std::string& out, int w, int d, double v) {
    if (std::isnan(v)) return put_text(out, w, "NaN");
    if (std::isinf(v)) return put_text(out, w, v > 0 ? (w >= 8 ? "Infinity" : "Inf") : (w >= 9 ? "-Infinity" : "-Inf"));
    char buf[400];
    int n = std::snprintf(buf, sizeof buf, "%*.*f", w, d, v);
    if (n > w) out.append(std::size_t(w), '*');
    else out.append(buf, std::size_t(n));
}

void trace_cell(std::int32_t c, double epd, double d2, double smin2) {
    say(rule24);
    std::string line;
    put_text(line, 30, "tab_choose: i,cx,cy,epd,d2");
    put_int(line, 5, c);
    put_fixed(line, 8, 2, com10.cx[c]);
    put_fixed(line, 8, 2, com10.cy[c]);
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, d2);
    say(line);
    line.clear();
    put_text(line, 30, "tab_choose: tmin,smin2,dtab2");
    put_fixed(line, 12, 4, epd);
    put_fixed(line, 12, 4, smin2);
    put_fixed(line, 12, 4, com10.dtab2[c]);
    say(line);
}

}  // namespace

void tab_choose(double x0, double y0, double z0, double ux, double uy, double uz, std::int32_t& npot,
                std::int32_t* pottab) {
    search_scratch_t& s = search_scratch;
    const bool trace = debug1.idebug >= 1 && debug1.idebug == debug1.iphot;
    if (trace) {
        say(rule45);
        say("tab_choose: start iphot=idebug");
        say(rule45);
    }

    // A nearly horizontal ray sweeps only a thin height range while it crosses
    // the cell (a horizontal run of at most 2*(xl + yl)); particles outside it
    // are dropped, and a ray that sweeps no part of the layer has no candidates.
    const bool flat = std::fabs(uz) < flat_uz;
    if (flat) {
        const double run = 2.0 * (com2.xl + com2.yl);
        if (uz > 0.0) {
            s.ztmin = z0;
            s.ztmax = z0 + run * uz;
        } else {
            s.ztmax = z0;
            s.ztmin = z0 + run * uz;
        }
        if (s.ztmin > com2.zmax || s.ztmax < com2.zmin) {
            npot = 0;
            return;
        }
    }

    // Horizontal unit direction. A vertical ray has none: with (ex, ey) = 0 the
    // pass below accepts exactly the cells whose disc holds the start point.
    const double h = std::sqrt(ux * ux + uy * uy);
    double ex = 0.0, ey = 0.0;
    if (h > 0.0) {
        ex = ux / h;
        ey = uy / h;
    }
    const double zhigh = height_margin * com2.zmax, zlow = height_margin * com2.zmin;

    const std::int32_t ncell = com11.mx * com11.my;
    std::int32_t n = 0;
    for (std::int32_t c = 1; c <= ncell; ++c) {
        const std::int32_t count = com9.nlist[c];
        if (count < 1) continue;
        const double dx = com10.cx[c] - x0, dy = com10.cy[c] - y0;
        // Distance along the horizontal ray to the point nearest the cell centre,
        // and the squared distance from the centre to the half-line.
        const double epd = dx * ex + dy * ey;
        const double d2 = dx * dx + dy * dy;
        s.smin2 = epd > 0.0 ? d2 - epd * epd : d2;
        if (trace) trace_cell(c, epd, d2, s.smin2);
        if (s.smin2 > com10.dtab2[c]) {
            if (trace) say("tab_choose; smin2>dtab2 -> goto10");
            continue;
        }
        if (epd > com10.dtab[c]) {
            // Height where the ray can first reach the disc: |uz| <= |uz|/h, so
            // this lies between z0 and the true height there.
            const double zpot = z0 + (epd - com10.dtab[c]) * uz;
            if (trace) say("tab_choose:", zpot, com2.zmax, com2.zmin);
            if (zpot > zhigh || zpot < zlow) {
                if (trace) say("tab_choose: zpot -> goto10");
                continue;
            }
        }
        const std::int32_t first = com9.istart[c];
        if (flat) {
            // Filtering while appending keeps the order of the full list.
            for (std::int32_t l = first; l < first + count; ++l) {
                const std::int32_t k = com9.ilist[l];
                if (com1.zpart[k] - com1.rpart[k] <= s.ztmax && com1.zpart[k] + com1.rpart[k] >= s.ztmin)
                    pottab[++n] = k;
            }
        } else {
            for (std::int32_t l = first; l < first + count; ++l) pottab[++n] = com9.ilist[l];
        }
    }
    npot = n;
    com11.npot_sum += npot;
    com11.ntab_calls += 1;

    if (trace) {
        say(rule45);
        say("tab_choose: end iphot=idebug");
        say(rule45);
    }
}

}  // namespace quillet
