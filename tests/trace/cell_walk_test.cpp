// The cell walk's two orders against each other: along the ray (free paths
// and the peel-off's shadow tests) it must hand over exactly the cells it
// hands over in cell order, each once, columns and rows in the direction the
// ray runs; and the cells it passes over (the shadow packet's) must be left
// out and only those.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "field/field_records.h"
#include "hwy/highway.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "support/test_rng.h"
#include "trace/cell_walk-inl.h"
#include "trace/cell_walk.h"

using namespace quillet;

namespace {

namespace walk = quillet::HWY_NAMESPACE;

// 900 spheres in a sheared 60 x 48 cell on a 17 x 13 grid.
void walk_field(std::int32_t seed) {
    fixture::reset_field();
    fixture::set_field(fixture::random_spheres(900, 30.0, 24.0, 0.3, 1.0, 2.0, seed), 30.0, 24.0, 7.1);
    fixture::set_grid(17, 13);
}

// A ray from a random point of the layer in a random direction; false when
// it sweeps no part of the layer.
bool random_ray(fixture::test_rng& g, double& x, double& y, double& ux, double& uy, search_direction& d,
                cell_ray& r) {
    x = field.xl * (2.0 * g.u() - 1.0);
    y = field.yl * (2.0 * g.u() - 1.0);
    const double z = field.zmin + (field.zmax - field.zmin) * g.u();
    double uz;
    g.direction(ux, uy, uz);
    prepare_direction(ux, uy, uz, d);
    return prepare_ray(field, x, y, z, d, false, searches, r);
}

std::vector<std::int32_t> cells_of(const cell_ray& r, walk_order order) {
    std::vector<std::int32_t> out;
    walk::walk_cells(field, r, order, [&](std::int32_t c) {
        out.push_back(c);
        return false;
    });
    return out;
}

}  // namespace

TEST(CellWalk, AlongTheRayHandsOverTheCellsOfCellOrderInTheRaysDirection) {
    walk_field(-5150);
    ASSERT_GT(field.layout.dtab_max, 0.0);
    fixture::test_rng g(-808);
    const std::int32_t my = field.my;
    int reversed_columns = 0, reversed_rows = 0, skipped = 0;
    for (int i = 0; i < 3000; ++i) {
        double x, y, ux, uy;
        search_direction d;
        cell_ray r;
        if (!random_ray(g, x, y, ux, uy, d, r)) continue;
        const std::vector<std::int32_t> listed = cells_of(r, walk_order::hits_in_cell_order);
        const std::vector<std::int32_t> along = cells_of(r, walk_order::hits_along_ray);
        ASSERT_TRUE(std::is_sorted(listed.begin(), listed.end())) << "ray " << i;
        std::vector<std::int32_t> sorted = along;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, listed) << "ray " << i;
        ASSERT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) << "ray " << i;
        // Columns, and rows within a column, in the direction of the ray.
        for (std::size_t k = 1; k < along.size(); ++k) {
            const std::int32_t ia = (along[k - 1] - 1) / my, ib = (along[k] - 1) / my;
            const std::int32_t ja = (along[k - 1] - 1) % my, jb = (along[k] - 1) % my;
            ASSERT_TRUE(ux < 0.0 ? ib <= ia : ib >= ia) << "ray " << i;
            if (ia == ib) {
                ASSERT_TRUE(uy < 0.0 ? jb < ja : jb > ja) << "ray " << i;
            }
            reversed_columns += ib < ia;
            reversed_rows += ia == ib && jb < ja;
        }
        // Passing over a block of cells leaves out those cells and only those.
        const std::int32_t i0 = 1 + std::int32_t(g.u() * 15), j0 = 1 + std::int32_t(g.u() * 11);
        r.skip_i0 = i0;
        r.skip_i1 = i0 + 2;
        r.skip_j0 = j0;
        r.skip_j1 = j0 + 2;
        std::vector<std::int32_t> rest = cells_of(r, walk_order::hits_along_ray);
        std::sort(rest.begin(), rest.end());
        std::vector<std::int32_t> expected;
        for (std::int32_t c : listed) {
            const std::int32_t ci = (c - 1) / my + 1, cj = (c - 1) % my + 1;
            if (ci >= i0 && ci <= i0 + 2 && cj >= j0 && cj <= j0 + 2) continue;
            expected.push_back(c);
        }
        ASSERT_EQ(rest, expected) << "ray " << i;
        skipped += int(listed.size() - expected.size());
    }
    // The reversed orders and the passing over were exercised.
    EXPECT_GT(reversed_columns, 1000);
    EXPECT_GT(reversed_rows, 1000);
    EXPECT_GT(skipped, 1000);
}

// Along the ray, the walk ends at reach(): every cell it leaves out lies
// wholly beyond it (no sphere of the cell can be entered nearer: an entry
// point lies in the cell's disc).
TEST(CellWalk, AlongTheRayTheWalkEndsOnlyWhereNoCellCanHoldANearerEntry) {
    walk_field(-5151);
    fixture::test_rng g(-809);
    int cut = 0;
    for (int i = 0; i < 3000; ++i) {
        double x, y, ux, uy;
        search_direction d;
        cell_ray r;
        if (!random_ray(g, x, y, ux, uy, d, r)) continue;
        const double reach = 10.0 * g.u();  // a horizontal distance along the ray
        std::vector<std::int32_t> kept;
        walk::walk_cells(
            field, r, walk_order::hits_along_ray,
            [&](std::int32_t c) {
                kept.push_back(c);
                return false;
            },
            [&] { return reach; });
        std::sort(kept.begin(), kept.end());
        for (std::int32_t c : cells_of(r, walk_order::hits_along_ray)) {
            if (std::binary_search(kept.begin(), kept.end(), c)) continue;
            ++cut;
            // Where the ray's horizontal line crosses the cell's disc, it is
            // further along than reach.
            const double dx = field.walk.cells[c].cx - x, dy = field.walk.cells[c].cy - y,
                         dtab = field.walk.cells[c].dtab;
            const double along = dx * d.ex + dy * d.ey, perp2 = dx * dx + dy * dy - along * along;
            if (perp2 > dtab * dtab) continue;
            ASSERT_GT(along - std::sqrt(dtab * dtab - perp2), reach) << "ray " << i << " cell " << c;
        }
    }
    EXPECT_GT(cut, 1000);
}
