#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "field/field_records.h"
#include "field/tab_init.h"
#include "format/run_error.h"
#include "support/field_fixture.h"

using namespace quillet;
using fixture::sphere;

namespace {

class TabInit : public testing::Test {
protected:
    void SetUp() override { fixture::reset_field(); }
};

// The grid as a scan over all cells and all particles defines it: column and
// row from the widened extent, cells in column-major order, particles in
// increasing number within a cell.
struct scan_grid {
    std::vector<int> ilist, nlist, istart;
    std::vector<double> rmax;
};

scan_grid scan(int mx, int my) {
    double xmin = 1e6, xmax = -1e6, ymin = 1e6, ymax = -1e6;
    for (int k = 1; k <= field.npart; ++k) {
        xmin = std::min(xmin, field.xpart[k]);
        xmax = std::max(xmax, field.xpart[k]);
        ymin = std::min(ymin, field.ypart[k]);
        ymax = std::max(ymax, field.ypart[k]);
    }
    const double x0 = 1.01 * xmin, y0 = 1.01 * ymin;
    const double dx = (1.01 * xmax - 1.01 * xmin) / mx, dy = (1.01 * ymax - 1.01 * ymin) / my;
    scan_grid g;
    g.ilist.push_back(0);
    g.nlist.push_back(0);
    g.istart.push_back(0);
    g.rmax.push_back(0);
    for (int i = 1; i <= mx; ++i) {
        for (int j = 1; j <= my; ++j) {
            g.istart.push_back(int(g.ilist.size()));
            int n = 0;
            double r = 0.0;
            for (int k = 1; k <= field.npart; ++k) {
                int col = int((field.xpart[k] - x0) * (1.0 / dx)) + 1;
                int row = int((field.ypart[k] - y0) * (1.0 / dy)) + 1;
                if (col == i && row == j) {
                    g.ilist.push_back(k);
                    ++n;
                    r = std::max(r, field.rpart[k]);
                }
            }
            g.nlist.push_back(n);
            g.rmax.push_back(r);
        }
    }
    return g;
}

}  // namespace

TEST_F(TabInit, ListsMatchTheScanOverAllCellsAndParticles) {
    fixture::set_field(fixture::random_spheres(3000, 20.0, 12.0, 0.1, 1.5, 2.0, -11), 20.0, 12.0, 3.7);
    const int mx = 13, my = 7;
    // The scan over the particles in their numbers' order, before the grid
    // puts the tables in its own.
    scan_grid g = scan(mx, my);
    fixture::set_grid(mx, my);
    ASSERT_EQ(int(g.ilist.size()) - 1, field.npart);
    for (int l = 1; l <= field.npart; ++l) ASSERT_EQ(field.ilist[l], g.ilist[std::size_t(l)]) << "ilist entry " << l;
    for (int c = 1; c <= mx * my; ++c) {
        EXPECT_EQ(field.nlist[c], g.nlist[std::size_t(c)]) << "cell " << c;
        EXPECT_EQ(field.istart[c], g.istart[std::size_t(c)]) << "cell " << c;
    }
}

TEST_F(TabInit, EveryDiscHoldsEverySphereCentredInItsCell) {
    fixture::set_field(fixture::random_spheres(2000, 15.0, 15.0, 0.05, 2.0, 1.0, -5), 15.0, 15.0, -4.0);
    fixture::set_grid(9, 11);
    for (int c = 1; c <= 99; ++c) {
        EXPECT_EQ(field.dtab[c], std::sqrt(field.dtab2[c]));
        for (int l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l) {
            const int k = field.entry_of(field.ilist[l]);
            const double d = std::hypot(field.xpart[k] - field.cx[c], field.ypart[k] - field.cy[c]);
            EXPECT_LE(d + field.rpart[k], field.dtab[c]) << "particle " << k << " in cell " << c;
        }
    }
}

TEST_F(TabInit, TwoByTwoGridSplitsAtTheWidenedMidlines) {
    // Centres span x in [-4, 6] and y in [-2, 2]: midlines x = 1.01, y = 0.
    std::vector<sphere> p = {{0.1, -4.0, -2.0, 0.0}, {0.1, 6.0, 2.0, 0.0}, {0.1, 1.0, -1.0, 0.0},
                             {0.1, 1.02, -1.0, 0.0}, {0.1, -1.0, 1.0, 0.0}, {0.1, 0.5, -0.5, 0.0}};
    fixture::set_field(p, 10.0, 10.0, 0.0, false);
    fixture::set_grid(2, 2);
    // Cell 1 (i = 1, j = 1): below both midlines, in particle order.
    ASSERT_EQ(field.nlist[1], 3);
    EXPECT_EQ(field.ilist[field.istart[1]], 1);
    EXPECT_EQ(field.ilist[field.istart[1] + 1], 3);
    EXPECT_EQ(field.ilist[field.istart[1] + 2], 6);
    // Cell 2 (i = 1, j = 2): above in y.
    ASSERT_EQ(field.nlist[2], 1);
    EXPECT_EQ(field.ilist[field.istart[2]], 5);
    ASSERT_EQ(field.nlist[3], 1);  // i = 2, j = 1
    EXPECT_EQ(field.ilist[field.istart[3]], 4);
    ASSERT_EQ(field.nlist[4], 1);  // i = 2, j = 2: the particle at the largest x and y
    EXPECT_EQ(field.ilist[field.istart[4]], 2);
    EXPECT_DOUBLE_EQ(field.cx[1], -4.04 + 0.5 * 5.05);
    EXPECT_DOUBLE_EQ(field.cy[4], -2.02 + 1.5 * 2.02);
}

TEST_F(TabInit, ParticleAtTheLargestXFallsInTheLastColumn) {
    std::vector<sphere> p = {{0.1, -3.0, -3.0, 0.0}, {0.1, 3.0, 3.0, 0.0}, {0.1, 3.0, -3.0, 0.0}};
    fixture::set_field(p, 10.0, 10.0, 0.0, false);
    fixture::set_grid(7, 5);
    // Column 7 holds cells 31..35; particle 2 is at the top right corner.
    EXPECT_EQ(field.nlist[35], 1);
    EXPECT_EQ(field.ilist[field.istart[35]], 2);
    EXPECT_EQ(field.nlist[31], 1);
    EXPECT_EQ(field.ilist[field.istart[31]], 3);
}

TEST_F(TabInit, EmptyCellHasNoParticlesTheBareDiscAndStartsAfterThoseBefore) {
    std::vector<sphere> p = {{0.5, -3.0, -3.0, 0.0}, {0.25, 3.0, 3.0, 0.0}, {0.1, -2.9, -2.9, 0.0}};
    fixture::set_field(p, 10.0, 10.0, 0.0, false);
    fixture::set_grid(3, 3);
    const double dx = (1.01 * 3.0 + 1.01 * 3.0) / 3.0;
    // Cells 1 (two particles) and 9 (one) are full; 2..8 empty.
    EXPECT_EQ(field.nlist[1], 2);
    EXPECT_EQ(field.istart[1], 1);
    for (int c = 2; c <= 8; ++c) {
        EXPECT_EQ(field.nlist[c], 0);
        EXPECT_EQ(field.istart[c], 3) << "cell " << c;
        EXPECT_DOUBLE_EQ(field.dtab2[c], 2.0 * (0.5 * dx) * (0.5 * dx));
    }
    EXPECT_EQ(field.istart[9], 3);
    EXPECT_DOUBLE_EQ(field.dtab2[1], 2.0 * (0.5 + 0.5 * dx) * (0.5 + 0.5 * dx));
    EXPECT_DOUBLE_EQ(field.dtab2[9], 2.0 * (0.25 + 0.5 * dx) * (0.25 + 0.5 * dx));
}

TEST_F(TabInit, EmptyFieldGivesEmptyCellsWithNegativeWidths) {
    fixture::set_field({}, 10.0, 10.0, 0.0);
    fixture::set_grid(2, 3);
    const double dx = (1.01 * -1e6 - 1.01 * 1e6) / 2.0;
    for (int c = 1; c <= 6; ++c) {
        EXPECT_EQ(field.nlist[c], 0);
        EXPECT_EQ(field.istart[c], 1);
    }
    EXPECT_DOUBLE_EQ(field.cx[1], 0.5 * dx + 1.01e6);
    EXPECT_LT(field.cx[2 * 3], field.cx[1]);
}

TEST_F(TabInit, CheckPosListFileListsCellsAndTheirParticles) {
    std::vector<sphere> p = {{0.5, -2.0, -2.0, 0.0}, {0.25, 2.0, 2.0, 0.0}, {0.5, -1.5, -2.0, 0.0}};
    fixture::set_field(p, 10.0, 10.0, 0.0, false);
    field_build_options options;
    options.idebug = 1;
    const std::string prefix = fixture::scratch_path("grid");
    options.testimage = text80(prefix);
    fixture::set_grid(2, 2, options);
    std::ifstream in(prefix + ".CHECK_POS_LIST");
    ASSERT_TRUE(in.good());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    // Widths 4.04, centres -2.02 + 2.02*(i - 0.5) ... ; disc of cell 1 with rmax 0.5.
    ASSERT_EQ(lines.size(), 1u + 4u + 3u);
    EXPECT_EQ(lines[0], "2 2");
    std::istringstream c1(lines[1]);
    double cx, cy, dtab;
    int istart, nlist;
    c1 >> cx >> cy >> dtab >> istart >> nlist;
    EXPECT_EQ(cx, field.cx[1]);
    EXPECT_EQ(dtab, field.dtab[1]);
    EXPECT_EQ(istart, 1);
    EXPECT_EQ(nlist, 2);
    EXPECT_EQ(lines[2], "1");
    EXPECT_EQ(lines[3], "3");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 4), " 3 0");  // cell 2: empty, next entry 3
    EXPECT_EQ(lines[5].substr(lines[5].size() - 4), " 3 0");
    EXPECT_EQ(lines[6].substr(lines[6].size() - 4), " 3 1");
    EXPECT_EQ(lines[7], "2");
}

TEST_F(TabInit, GridBeyondThe32BitCellNumbersIsRejected) {
    fixture::set_field(fixture::random_spheres(10, 5.0, 5.0, 0.1, 0.2, 0.0, -3), 5.0, 5.0, 0.0);
    EXPECT_NO_THROW(fixture::set_grid(401, 400));
    EXPECT_EQ(field.nlist.size(), 160401u);
    field.mx = 65536;
    field.my = 32768;  // 2^31 cells: refused before any room is taken
    EXPECT_THROW(tab_init(field), limit_error);
    field.mx = 0;
    field.my = 5;
    EXPECT_THROW(tab_init(field), limit_error);
    field.mx = 70000;
    field.my = 70000;  // the product overflows 32 bits
    EXPECT_THROW(tab_init(field), limit_error);
}

TEST_F(TabInit, FieldOnOneSideOfTheOriginIsRejectedNotMisfiled) {
    // The widened extent misses the smallest centre: it would truncate into column 1.
    fixture::set_field({{0.1, 1.0, -1.0, 0.0}, {0.1, 3.0, 1.0, 0.0}}, 5.0, 5.0, 0.0, false);
    try {
        fixture::set_grid(2, 2);
        FAIL() << "no error";
    } catch (const limit_error& e) {
        EXPECT_NE(std::string(e.what()).find("particle 1"), std::string::npos) << e.what();
    }
}

TEST_F(TabInit, SingleParticleFieldHasNoWidthAndIsRejected) {
    fixture::set_field({{0.1, 0.0, 0.0, 0.0}}, 5.0, 5.0, 0.0);
    EXPECT_THROW(fixture::set_grid(2, 2), limit_error);
}

// The shadow grid against a scan of the periodic copies of every entry of
// the particle tables: each copy whose centre lies within the reach of the
// cell is filed once, in a cell (a column of `width`, a row of `height`)
// that holds its centre, with its centre and widened squared radius in the
// pair tables; nothing else is. The entry of each particle at its own
// place points to the particle's entry, in the walk's cell order, and to
// the walk cell listing it.
TEST_F(TabInit, ShadowGridFilesEveryCopyInReachInItsCellAndPointsToTheWalkSpheresAndCells) {
    const double xl = 14.0, yl = 11.0, sy = 3.2;
    fixture::set_field(fixture::random_spheres(900, xl, yl, 0.3, 0.7, 1.5, -31), xl, yl, sy);
    fixture::set_grid(10, 8);
    const shadow_grid_t& g = field.shadow;
    ASSERT_TRUE(g.ready);
    EXPECT_EQ(g.height, g.width / shadow_rows);
    const double xlo = -xl - g.reach, xhi = xl + g.reach, ylo = -yl - g.reach, yhi = yl + g.reach;

    using copy = std::tuple<std::int32_t, float, float>;  // particle, centre
    std::vector<copy> want, got;
    for (int k = 1; k <= field.npart; ++k) {
        for (int m = -1; m <= 1; ++m) {
            for (int n = -6; n <= 6; ++n) {
                const double x = field.xpart[k] + m * 2.0 * xl, y = field.ypart[k] + m * sy + n * 2.0 * yl;
                if (x >= xlo && x <= xhi && y >= ylo && y <= yhi) want.emplace_back(field.iorig[k], float(x), float(y));
            }
        }
    }
    const double slack = 1.0e-6 * g.width;
    for (int i = 0; i < g.nx; ++i) {
        for (int j = 0; j < g.ny; ++j) {
            const std::size_t c = std::size_t(i) * std::size_t(g.ny) + std::size_t(j);
            for (std::int32_t q = g.first[c]; q < g.first[c + 1]; ++q) {
                const std::size_t e = std::size_t(q);
                const int k = g.orig[e];
                const double x = g.xy[2 * e], y = g.xy[2 * e + 1];
                got.emplace_back(k, g.xy[2 * e], g.xy[2 * e + 1]);
                EXPECT_GE(x, xlo + i * g.width - slack) << "entry " << q;
                EXPECT_TRUE(i == g.nx - 1 || x < xlo + (i + 1) * g.width + slack) << "entry " << q;
                EXPECT_GE(y, ylo + j * g.height - slack) << "entry " << q;
                EXPECT_TRUE(j == g.ny - 1 || y < ylo + (j + 1) * g.height + slack) << "entry " << q;
                EXPECT_EQ(g.zr[2 * e], float(field.zpart[field.entry_of(k)]));
                const double r = field.rpart[field.entry_of(k)] + g.margin;
                EXPECT_GE(double(g.zr[2 * e + 1]), r * r) << "entry " << q;
            }
        }
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_GT(got.size(), std::size_t(field.npart));  // copies beyond the walls too
    EXPECT_TRUE(got == want) << got.size() << " entries filed, " << want.size() << " copies in reach";

    // Each particle of the tables (edge copies too) has one entry that
    // points to its walk sphere and to the walk cell holding it: the entry
    // at the particle's own centre. Every other copy points nowhere.
    std::vector<int> pointed(std::size_t(field.npart) + 1, 0);
    for (std::int32_t q = 0; q < g.first[std::size_t(g.nx) * std::size_t(g.ny)]; ++q) {
        const std::size_t e = std::size_t(q);
        const std::int32_t p = g.place_cell[2 * e], c = g.place_cell[2 * e + 1];
        if (p < 0) {
            EXPECT_EQ(p, -1) << "entry " << q;
            EXPECT_EQ(c, -1) << "entry " << q;
            continue;
        }
        ASSERT_TRUE(p >= 1 && p <= field.npart) << "entry " << q;
        const int k = p;  // the entry of the particle
        pointed[std::size_t(k)] += 1;
        EXPECT_EQ(g.orig[e], field.iorig[k]) << "entry " << q;
        EXPECT_EQ(g.xy[2 * e], float(field.xpart[k])) << "entry " << q;
        EXPECT_EQ(g.xy[2 * e + 1], float(field.ypart[k])) << "entry " << q;
        EXPECT_EQ(g.own[std::size_t(k)], q);
        ASSERT_TRUE(c >= 1 && c <= field.mx * field.my) << "entry " << q;
        EXPECT_TRUE(p >= field.istart[c] && p < field.istart[c] + field.nlist[c]) << "entry " << q;
    }
    EXPECT_EQ(std::count(pointed.begin() + 1, pointed.end(), 1), field.npart);

    for (int c = 1; c <= field.mx * field.my; ++c) {
        for (int l = field.istart[c]; l < field.istart[c] + field.nlist[c]; ++l) {
            EXPECT_EQ(field.entry_of(field.ilist[l]), l);
            EXPECT_EQ(field.rpart2[l], field.rpart[l] * field.rpart[l]);
        }
    }
}
