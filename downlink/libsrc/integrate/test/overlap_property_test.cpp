// Property test over random convex quadrilaterals (fixed seed): the per-pixel
// overlaps found by the library match an independent computation that clips
// each pixel square by the quadrilateral's edge half-planes, the overlaps sum to
// the quadrilateral's area, and integrating a grid of ones gives that area.
#include "integrate.h"
#include "overlap_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using overlap_reference::fan_area;
using overlap_reference::overlap_by_half_planes;
using overlap_reference::Ring;

// Four corners on a rotated ellipse at increasing angles, listed either way
// round: always convex.
Ring random_convex_quad(std::mt19937& gen, double cx_lo, double cx_hi, double cy_lo, double cy_hi) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double cx = cx_lo + (cx_hi - cx_lo) * u(gen);
    const double cy = cy_lo + (cy_hi - cy_lo) * u(gen);
    const double ra = 0.2 + 1.8 * u(gen), rb = 0.2 + 1.8 * u(gen), rot = 6.283185 * u(gen);
    double ang[4];
    for (double& a : ang)
        a = 6.283185 * u(gen);
    std::sort(ang, ang + 4);
    if (u(gen) < 0.5)
        std::reverse(ang, ang + 4);
    Ring q;
    for (double a : ang) {
        const double ex = ra * std::cos(a), ey = rb * std::sin(a);
        q.push_back({cx + ex * std::cos(rot) - ey * std::sin(rot),
                     cy + ex * std::sin(rot) + ey * std::cos(rot)});
    }
    return q;
}

constexpr int NX = 12, NY = 10;
constexpr double TOL = 1e-12;

// Per-pixel overlaps as the library finds them: value 1 spread onto zeros.
std::vector<double> library_overlaps(const Ring& q) {
    std::vector<double> grid(NX * NY, 0.0);
    distribute_quad(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y, 1.0,
                    grid.data(), NX, NY);
    return grid;
}

void expect_overlaps_match(const Ring& q, const std::vector<double>& grid, int n) {
    for (int j = 0; j < NY; ++j)
        for (int i = 0; i < NX; ++i)
            ASSERT_NEAR(grid[j * NX + i], overlap_by_half_planes(q, i, j, i + 1, j + 1), TOL)
                << "quad " << n << " pixel (" << i << "," << j << ")";
}

TEST(QuadProperty, OverlapsOnGridSumToAreaAndMatchIndependentClip) {
    std::mt19937 gen(20260806);
    const std::vector<double> ones(NX * NY, 1.0);
    int multi_pixel = 0;
    for (int n = 0; n < 300; ++n) {
        const Ring q = random_convex_quad(gen, 2.0, NX - 2.0, 2.0, NY - 2.0);
        const polygon poly =
            stuff_four(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y);
        ASSERT_EQ(verify_cyclical(&poly), 1) << "quad " << n;
        const double area = fan_area(q);
        ASSERT_NEAR(area_poly(&poly), area, TOL);

        const std::vector<double> grid = library_overlaps(q);
        expect_overlaps_match(q, grid, n);
        double sum = 0;
        int pixels = 0;
        for (double a : grid) {
            sum += a;
            pixels += a > 0;
        }
        multi_pixel += pixels > 1;
        EXPECT_NEAR(sum, area, TOL) << "quad " << n;

        double covered = -1;
        EXPECT_NEAR(integrate_quad(q[0].x, q[0].y, q[1].x, q[1].y, q[2].x, q[2].y, q[3].x, q[3].y,
                                   ones.data(), NX, NY, &covered),
                    area, TOL);
        EXPECT_NEAR(covered, area, TOL);
    }
    EXPECT_GT(multi_pixel, 250); // most quadrilaterals straddle pixel borders
}

TEST(QuadProperty, OverlapsOffTheGridEdgeCountOnlyTheGridPart) {
    std::mt19937 gen(77);
    for (int n = 0; n < 200; ++n) {
        const Ring q = random_convex_quad(gen, -1.5, NX + 1.5, -1.5, NY + 1.5);
        const std::vector<double> grid = library_overlaps(q);
        expect_overlaps_match(q, grid, n);
        double sum = 0;
        for (double a : grid)
            sum += a;
        EXPECT_NEAR(sum, overlap_by_half_planes(q, 0, 0, NX, NY), TOL) << "quad " << n;
    }
}

} // namespace
