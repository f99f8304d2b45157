// The loading of a field checked against straightforward versions of it: the
// values a file states, read back exactly whatever their free format; the
// particle tables as the test fixture fills them without a file; and the
// walk and shadow grids as one plain pass over the particle tables builds
// them (every row of copies tried, every table filled entry by entry), table
// by table and in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "field/part_read_2pos.h"
#include "field/tab_init.h"
#include "support/field_fixture.h"

using namespace quillet;
using fixture::sphere;

namespace {

std::string g17(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

// v with a Fortran exponent letter: 1.2345D+02.
std::string d_exponent(double v, char letter) {
    char b[40];
    std::snprintf(b, sizeof b, "%.16E", v);
    std::string s = b;
    s[s.find('E')] = letter;
    return s;
}

// A position file whose particle records take every form the reader knows.
void write_mixed_file(const std::string& path, const std::vector<sphere>& parts, double xl, double yl, double sy) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "'mixed field'\n1\n0.0, %s %s,%s\n%d\n", g17(xl).c_str(), g17(yl).c_str(), g17(sy).c_str(),
                 int(parts.size()));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const sphere& s = parts[i];
        const std::string r = g17(s.r), x = g17(s.x), y = g17(s.y), z = g17(s.z);
        std::string line;
        switch (i % 7) {
        case 0: line = r + " " + x + " " + y + " " + z + "\n"; break;
        case 1: line = r + ", " + x + " ," + y + "," + z + "\n"; break;
        case 2:
            line = d_exponent(s.r, 'D') + " " + d_exponent(s.x, 'd') + " " + d_exponent(s.y, 'E') + " " +
                   d_exponent(s.z, 'e') + "\n";
            break;
        case 3: line = r + " " + x + "\n\n   " + y + " " + z + "\n"; break;
        case 4: line = "+" + r + "\t" + x + "  " + y + " " + z + "  words after the record\r\n"; break;
        case 5: line = r + " " + x + " " + y + " " + z + " / 9 9\n"; break;
        default: line = std::string(3000, ' ') + r + " " + x + " " + y + std::string(5000, ' ') + z + "\n"; break;
        }
        if (i + 1 == parts.size()) line.pop_back();  // the last line has no end
        std::fputs(line.c_str(), f);
    }
    std::fclose(f);
}

// The grid's order of the particle tables against a straightforward build
// from the tables in the files' order (plain: no grid): every cell's
// particles found by a scan over all particles, as a set; every entry of the
// loaded field the particle it names, with its centre, radius, original and
// kind; the cells one after the other in cell order, each cell's particles
// in increasing number (the order the walk tests them in); the tables past
// the last entry empty for the vector loads.
void expect_order_as_straightforward(const particle_field& f, const particle_field& plain) {
    const std::size_t n = std::size_t(f.npart);
    ASSERT_EQ(f.npart, plain.npart);
    ASSERT_EQ(f.ilist.size(), n + 1);
    ASSERT_EQ(f.place.size(), n + 1);
    for (auto* t : {&f.xpart, &f.ypart, &f.zpart, &f.rpart, &f.rpart2}) ASSERT_EQ(t->size(), n + 1 + walk_lanes);
    double xmin = 1e6, xmax = -1e6, ymin = 1e6, ymax = -1e6;
    for (std::int32_t k = 1; k <= plain.npart; ++k) {
        xmin = std::min(xmin, plain.xpart[k]);
        xmax = std::max(xmax, plain.xpart[k]);
        ymin = std::min(ymin, plain.ypart[k]);
        ymax = std::max(ymax, plain.ypart[k]);
    }
    const double x0 = 1.01 * xmin, y0 = 1.01 * ymin;
    const double dx = (1.01 * xmax - 1.01 * xmin) / f.mx, dy = (1.01 * ymax - 1.01 * ymin) / f.my;
    std::vector<std::set<std::int32_t>> cells(std::size_t(f.mx) * std::size_t(f.my) + 1);
    for (std::int32_t k = 1; k <= plain.npart; ++k) {
        const int i = int((plain.xpart[k] - x0) * (1.0 / dx)) + 1, j = int((plain.ypart[k] - y0) * (1.0 / dy)) + 1;
        ASSERT_TRUE(i >= 1 && i <= f.mx && j >= 1 && j <= f.my) << "particle " << k;
        cells[std::size_t((i - 1) * f.my + j)].insert(k);
    }
    std::vector<int> seen(n + 1, 0);
    std::int32_t l = 1;
    for (std::int32_t c = 1; c <= f.mx * f.my; ++c) {
        ASSERT_EQ(f.istart[c], l) << "cell " << c;
        EXPECT_EQ(f.walk.cells[c].count, f.nlist[c]);
        EXPECT_EQ(f.walk.cells[c].cx, f.cx[c]);
        EXPECT_EQ(f.walk.cells[c].dtab2, f.dtab2[c]);
        std::set<std::int32_t> got;
        for (std::int32_t e = 0; e < f.nlist[c]; ++e, ++l) {
            const std::int32_t k = f.file_number(l);
            ASSERT_TRUE(k >= 1 && k <= f.npart) << "entry " << l;
            if (e > 0) {
                EXPECT_LT(f.file_number(l - 1), k) << "entry " << l << " of cell " << c;
            }
            got.insert(k);
            seen[std::size_t(k)] += 1;
            EXPECT_EQ(f.entry_of(k), l);
            EXPECT_TRUE(f.xpart[l] == plain.xpart[k] && f.ypart[l] == plain.ypart[k] && f.zpart[l] == plain.zpart[k] &&
                        f.rpart[l] == plain.rpart[k] && f.rpart2[l] == plain.rpart[k] * plain.rpart[k] &&
                        f.iorig[l] == plain.iorig[k] && f.itype[l] == plain.itype[k])
                << "entry " << l << ", particle " << k;
        }
        EXPECT_TRUE(got == cells[std::size_t(c)]) << "cell " << c;
    }
    EXPECT_EQ(l, f.npart + 1);
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), f.npart);
    for (std::size_t p = n + 1; p < n + 1 + walk_lanes; ++p)
        EXPECT_TRUE(f.xpart[p] == 0.0 && f.ypart[p] == 0.0 && f.zpart[p] == 0.0 && f.rpart2[p] == 0.0 &&
                    f.rpart[p] == 0.0);
}

// The shadow grid as a pass over every particle (of `plain`, the tables in
// the files' order), every column of copies and every row of copies
// -nrow..nrow files it: per cell, in the order of particle number, column
// and row; a copy at its own place names the particle's entry in f and its
// walk cell.
void expect_shadow_as_straightforward(const particle_field& f, const particle_field& plain) {
    const shadow_grid_t& g = f.shadow;
    ASSERT_TRUE(g.ready);
    const double xlo = g.x0, ylo = g.y0, xhi = f.xl + g.reach, yhi = f.yl + g.reach;
    const std::int32_t nrow = std::int32_t(std::ceil(g.reach / (2.0 * f.yl))) + 2;
    struct entry {
        float x, y, z, rr;
        std::int32_t orig, place, cell;
    };
    std::vector<std::vector<entry>> cells(std::size_t(g.nx) * std::size_t(g.ny));
    std::vector<std::int32_t> own_cell(std::size_t(f.npart) + 1, -1), own_rank(std::size_t(f.npart) + 1, -1);
    std::vector<std::int32_t> walk_cell(std::size_t(f.npart) + 1, -1);
    for (std::int32_t c = 1; c <= f.mx * f.my; ++c)
        for (std::int32_t l = f.istart[c]; l < f.istart[c] + f.nlist[c]; ++l) walk_cell[std::size_t(l)] = c;
    for (std::int32_t k = 1; k <= plain.npart; ++k) {
        for (std::int32_t m = -1; m <= 1; ++m) {
            for (std::int32_t n = -nrow; n <= nrow; ++n) {
                const double x = plain.xpart[k] + m * f.xl2, y = plain.ypart[k] + m * f.sy + n * f.yl2;
                if (!(x >= xlo && x <= xhi && y >= ylo && y <= yhi)) continue;
                const std::int32_t i = std::min(g.nx - 1, std::int32_t((x - xlo) * g.rwidth));
                const std::int32_t j = std::min(g.ny - 1, std::int32_t((y - ylo) * g.rheight));
                const std::size_t c = std::size_t(i) * std::size_t(g.ny) + std::size_t(j);
                const double r = plain.rpart[k] + g.margin;
                const bool own = m == 0 && n == 0;
                const std::int32_t p = own ? f.entry_of(k) : -1;
                if (own) {
                    own_cell[std::size_t(p)] = std::int32_t(c);
                    own_rank[std::size_t(p)] = std::int32_t(cells[c].size());
                }
                cells[c].push_back({float(x), float(y), float(plain.zpart[k]),
                                    std::nextafter(float(r * r), INFINITY), plain.iorig[k], p,
                                    own ? walk_cell[std::size_t(p)] : -1});
            }
        }
    }
    std::size_t q = 0;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        ASSERT_EQ(std::size_t(g.first[c]), q) << "shadow cell " << c;
        for (const entry& e : cells[c]) {
            EXPECT_TRUE(g.xy[2 * q] == e.x && g.xy[2 * q + 1] == e.y && g.zr[2 * q] == e.z && g.zr[2 * q + 1] == e.rr &&
                        g.orig[q] == e.orig && g.place_cell[2 * q] == e.place && g.place_cell[2 * q + 1] == e.cell)
                << "shadow entry " << q;
            ++q;
        }
    }
    EXPECT_EQ(std::size_t(g.first[cells.size()]), q);
    EXPECT_GT(q, std::size_t(f.npart));  // copies beyond the walls too
    for (std::int32_t k = 1; k <= f.npart; ++k)
        EXPECT_EQ(g.own[std::size_t(k)], g.first[std::size_t(own_cell[std::size_t(k)])] + own_rank[std::size_t(k)])
            << "entry " << k;
}

}  // namespace

TEST(LoadCrossCheck, FieldReadFromAMixedFileHasTheTablesAndGridsOfStraightforwardBuilds) {
    fixture::reset_field();
    const double xl = 21.0, yl = 17.5, sy = -6.25;
    const std::vector<sphere> parts = fixture::random_spheres(2500, xl, yl, 0.2, 0.6, 2.0, -77);
    const std::string path = fixture::scratch_path("mixed.pos");
    write_mixed_file(path, parts, xl, yl, sy);

    particle_field loaded;
    part_read_2pos(loaded, text80(path), text80("junk"));
    loaded.mx = 24;
    loaded.my = 19;
    tab_init(loaded);

    // Every value as the file states it, bit for bit.
    ASSERT_EQ(loaded.npartori, std::int32_t(parts.size()));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t k = std::size_t(loaded.entry_of(std::int32_t(i + 1)));
        EXPECT_TRUE(loaded.rpart[k] == parts[i].r && loaded.xpart[k] == parts[i].x && loaded.ypart[k] == parts[i].y &&
                    loaded.zpart[k] == parts[i].z)
            << "particle " << k;
    }
    // The particle tables, edge copies included, as filled without a file
    // (in the files' order), and put into the grid's order.
    fixture::set_field(parts, xl, yl, sy);
    ASSERT_EQ(loaded.npart, field.npart);
    EXPECT_EQ(loaded.tau, field.tau);
    EXPECT_EQ(loaded.zmin, field.zmin);
    EXPECT_EQ(loaded.zmax, field.zmax);
    expect_order_as_straightforward(loaded, field);
    // The grids, as the plain passes build them from those tables.
    expect_shadow_as_straightforward(loaded, field);

    // A second grid over the same field starts from the first one's order:
    // the numbers stay the files'.
    loaded.mx = 7;
    loaded.my = 31;
    tab_init(loaded);
    expect_order_as_straightforward(loaded, field);
    expect_shadow_as_straightforward(loaded, field);
}
