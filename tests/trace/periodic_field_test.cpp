// The segment search against the infinite periodic field itself: every
// particle's images are laid out explicitly around the ray, and the first
// sphere the ray enters is found by testing them all. The search must find
// the same sphere at the same distance, also when the ray leaves a box past a
// particle that straddles the wall while a particle of the next box stands in
// front of that particle's far side.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "field/field_records.h"
#include "numeric/ran1.h"
#include "support/field_fixture.h"
#include "support/search_fixture.h"
#include "trace/path_segment.h"
#include "trace/trace_records.h"

using namespace quillet;
using fixture::sphere;

namespace {

// Distance at which the ray enters sphere s (or a negative value).
double entry(const sphere& s, double x0, double y0, double z0, double ux, double uy, double uz) {
    const double dx = x0 - s.x, dy = y0 - s.y, dz = z0 - s.z;
    const double b = -(dx * ux + dy * uy + dz * uz);
    const double disc = b * b - (dx * dx + dy * dy + dz * dz) + s.r * s.r;
    if (b < 0.0 || disc < 0.0) return -1.0;
    const double t = b - std::sqrt(disc);
    return t > 1e-9 * s.r ? t : -1.0;
}

// First entry along the ray among all images (m, k) of the ring particles
// within `reach` periods, and the length of the ray inside the layer.
double first_image_hit(const std::vector<sphere>& ring, double xl, double yl, double sy, int reach, double x0,
                       double y0, double z0, double ux, double uy, double uz, double& tlayer) {
    double best = 1e30;
    for (const sphere& p : ring)
        for (int m = -reach; m <= reach; ++m)
            for (int k = -reach; k <= reach; ++k) {
                sphere s{p.r, p.x + m * 2.0 * xl, p.y + k * 2.0 * yl + m * sy, p.z};
                const double t = entry(s, x0, y0, z0, ux, uy, uz);
                if (t > 0.0 && t < best) best = t;
            }
    tlayer = uz > 0.0 ? (field.zmax - z0) / uz : (field.zmin - z0) / uz;
    return best;
}

}  // namespace

TEST(PeriodicField, SegmentSearchFindsTheFirstSphereOfTheInfiniteField) {
    const double xl = 6.0, yl = 5.0, sy = 1.7;
    ran1_state st;
    std::int32_t idum = -4242;
    auto u = [&] { return double(ran1(st, idum)); };
    int checked = 0, hits = 0;
    for (int case_no = 0; case_no < 6; ++case_no) {
        // Large spheres in a small cell: many straddle the walls.
        std::vector<sphere> ring = fixture::random_spheres(12, xl, yl, 0.6, 1.4, 1.5, -17 - case_no);
        for (int grid = 0; grid < 2; ++grid) {
            fixture::reset_field();
            fixture::set_field(ring, xl, yl, sy);
            searches.settings.nbox = 40;
            fixture::set_grid(grid ? 4 : 1, grid ? 3 : 1);
            for (int n = 0; n < 400; ++n) {
                // Shallow rays from the mid-plane cross several boxes.
                double x = (2.0 * u() - 1.0) * xl, y = (2.0 * u() - 1.0) * yl, z = (2.0 * u() - 1.0) * 0.5;
                const double phi = 2.0 * std::numbers::pi * u();
                const double uz = (u() < 0.5 ? 1.0 : -1.0) * (0.05 + 0.3 * u());
                const double h = std::sqrt(1.0 - uz * uz), ux = h * std::cos(phi), uy = h * std::sin(phi);
                bool inside_sphere = false;
                for (const sphere& p : ring)
                    for (int m = -1; m <= 1; ++m)
                        for (int k = -1; k <= 1; ++k) {
                            const double dx = x - p.x - m * 2.0 * xl, dy = y - p.y - k * 2.0 * yl - m * sy,
                                         dz = z - p.z;
                            if (dx * dx + dy * dy + dz * dz <= p.r * p.r) inside_sphere = true;
                        }
                if (inside_sphere) continue;
                double tlayer = 0.0;
                const double expected = first_image_hit(ring, xl, yl, sy, 12, x, y, z, ux, uy, uz, tlayer);
                double ex = x, ey = y, ez = z;
                std::int32_t ipart = 0;
                path_segment(field, searches, ex, ey, ez, ux, uy, uz, ipart, search_kind::nearest, no_particle);
                if (expected < tlayer) {
                    ++hits;
                    ASSERT_GE(ipart, 1) << "field " << case_no << " ray " << n;
                    // The search moves the point box by box; its height tells the distance travelled.
                    EXPECT_NEAR((ez - z) / uz, expected, 1e-9) << "field " << case_no << " ray " << n;
                } else {
                    EXPECT_LT(ipart, 1) << "field " << case_no << " ray " << n;
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 3000);
    EXPECT_GT(hits, 1000);
}
