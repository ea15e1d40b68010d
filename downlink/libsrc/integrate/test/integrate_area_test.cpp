// Polygon utilities, and integration and distribution at the edges of what the overlap
// loop takes, with results derived by hand.
#include "integrate.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Quadrilaterals closed by stuff_four with their turning, area (either way round) and pixel
// range on a 4 x 3 grid: the range is clamped to the grid, a corner on a pixel border does
// not add the pixel beyond it, and off the grid or with a corner not finite it is empty.
TEST(PolyUtilities, ClosedQuadrilateralTurningAreaPixelRangeAndRounding) {
    const struct {
        double c[8];
        int cyclical;
        double area;
        int range[4]; // xmin, xmax, ymin, ymax
    } rows[] = {
        {{0, 0, 1, 1, 1, 0, 0, 1}, 0, 0.0, {0, 0, 0, 0}}, // crossed: the lobes cancel
        {{0, 0, 1, 0, 1, 1, 0, 1}, 1, 1.0, {0, 0, 0, 0}}, // anticlockwise
        {{0, 0, 0, 1, 1, 1, 1, 0}, 1, 1.0, {0, 0, 0, 0}}, // clockwise
        {{0, 0, 2, 1, 2, 3, 1, 2}, 1, 2.5, {0, 1, 0, 2}}, // turns at the closing corner too
        {{0, 0, 2, 1, 0, 2, 1, 1}, 0, 1.0, {0, 1, 0, 1}}, // concave arrow
        {{0, 0, 1, 0, 2, 0, 1, 1}, 1, 1.0, {0, 1, 0, 0}}, // collinear corners ignored
        {{0.5, 0.5, 2, 0.5, 2, 2, 0.5, 2}, 1, 2.25, {0, 1, 0, 1}}, // ends on borders
        {{-3, 1, -1, 1, -1, 2, -3, 2}, 1, 2.0, {0, -2, 1, 1}},
        {{-5, -5, 50, -5, 50, 50, -5, 50}, 1, 3025.0, {0, 3, 0, 2}},
        {{0, 0, INFINITY, 0, 1, 1, 0, 1}, 1, NAN, {0, -1, 0, 0}},
    };
    int r[4];
    for (const auto& row : rows) {
        const double* c = row.c;
        const polygon p = stuff_four(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
        bounding_rect(&p, &r[0], &r[1], &r[2], &r[3], 4, 3);
        SCOPED_TRACE(&row - rows);
        EXPECT_TRUE(p.len == 5 && p.pts[2].x == c[4] && p.pts[2].y == c[5] && p.pts[4].x == c[0] &&
                    p.pts[4].y == c[1]);
        if (std::isnan(row.area)) {
            EXPECT_GT(r[0], r[1]);
            continue;
        }
        EXPECT_EQ(verify_cyclical(&p), row.cyclical);
        EXPECT_DOUBLE_EQ(area_poly(&p), row.area);
        EXPECT_DOUBLE_EQ(area_poly1(p.pts, 4), row.area);
        EXPECT_EQ(std::vector<int>(r, r + 4), std::vector<int>(row.range, row.range + 4));
    }
    polygon odd = stuff_four(0, 0, 0, 1, 2, 1, 2, 0);
    EXPECT_EQ(area_poly1(odd.pts, 0), 0.0); // no points, too few or too many: no area
    for (int len : {1, INTEGRATE_MAX_POLY_PTS + 1}) {
        odd.len = len;
        EXPECT_EQ(area_poly(&odd), 0.0) << len;
    }
    EXPECT_EQ(std::vector<int>({sign(0.0), sign(2.5), sign(-1e-300), sign(std::nan(""))}),
              std::vector<int>({0, 1, -1, -1}));
    EXPECT_EQ(std::vector<int>({rmin4floor(1.5, -0.5, 3.0, 2.0), rmax4ceil(1.5, -0.5, 3.0, 2.2),
                                rmax4ceil(1e300, 0, 0, 0), rmin4floor(-1e300, 0, 0, 0)}),
              std::vector<int>({-1, 3, INT_MAX, INT_MIN})); // saturated, not undefined
}

TEST(PolyUtilities, PrintPoly) {
    const struct {
        int len;
        const char* text;
    } rows[] = {
        {5, "Closed Poly of 5 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] [0.000 1.000] "
            "[0.000 0.000] \n"},
        {4, "Closed Poly of 4 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] [0.000 1.000] \n"
            "ERROR in print_poly: poly->len=4   \n\nERROR: POLY NOT CLOSED! Exiting routine.\n\n"},
        {101, "Closed Poly of 101 pts: ERROR in print_poly: poly->len=101   Exiting routine.\n\n"},
        {-2, "Closed Poly of -2 pts: ERROR in print_poly: poly->len=-2   Exiting routine.\n\n"},
        {0, "Closed Poly of 0 pts: \n"},
    };
    polygon q = stuff_four(0, 0, 1, 0, 1, 1, 0, 1);
    for (const auto& r : rows) {
        q.len = r.len;
        testing::internal::CaptureStdout();
        print_poly(&q);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.text);
    }
}

// Quadrilaterals that cover all or none of a 4 x 3 grid: off the grid; a dart of no area
// (corners 1 and 3 equal); one around the grid with corners near 3e154, whose coordinate
// products would overflow.  Sums and areas are 12 or 0 (NaN for a grid all NaN when
// covered), each pixel gets 1 or nothing.  A square on a pixel's borders touches that pixel
// only.
TEST(QuadIntegrate, WholeGridOrNothingAndBorders) {
    const double rows[3][9] = {{-4, 0.5, -3, 0.5, -3, 1.5, -4, 1.5, 0},
                               {0.3, 0.2, 3.7, 1.1, 0.3, 0.2, 1.2, 2.9, 0},
                               {-1e154, -3e154, 3e154, -1e154, 1e154, 3e154, -3e154, 1e154, 1}};
    for (const double* c : rows) {
        std::vector<double> ones(12, 1.0), nan(12, NAN);
        double area = -1, nan_area = -1;
        const double sum = integrate_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                          ones.data(), 4, 3, &area);
        const double nan_sum = integrate_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                              nan.data(), 4, 3, &nan_area);
        distribute_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], 1.0, ones.data(), 4, 3);
        EXPECT_TRUE(sum == 12 * c[8] && area == sum && std::isnan(nan_sum) == (c[8] == 1) &&
                    nan_area == 0.0)
            << c[0];
        EXPECT_EQ(ones, std::vector<double>(12, 1 + c[8]));
    }
    std::vector<double> border(9, 0.0);
    unweighted_distribute_quad(0, 0, 1, 0, 1, 1, 0, 1, 7.0, border.data(), 3, 3);
    EXPECT_EQ(border, std::vector<double>({7, 0, 0, 0, 0, 0, 0, 0, 0}));
}

} // namespace
