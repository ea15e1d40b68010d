// Polygon utilities, and integration and distribution over small grids with
// results derived by hand.
#include "integrate.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// ---- Polygon utilities ----

// Quadrilaterals closed by stuff_four with their turning, area (either way
// round) and pixel range on a 4 x 3 grid: the range is clamped to the grid, a
// corner on a pixel border does not add the pixel beyond it, and off the grid
// or with a corner not finite the range is empty.
TEST(PolyUtilities, ClosedQuadrilateralTurningAreaAndPixelRange) {
    const struct {
        double c[8];
        int cyclical;
        double area;
        int range[4]; // xmin, xmax, ymin, ymax
    } rows[] = {
        {{0, 0, 1, 1, 1, 0, 0, 1}, 0, 0.0, {0, 0, 0, 0}},          // crossed: the lobes cancel
        {{0, 0, 1, 0, 1, 1, 0, 1}, 1, 1.0, {0, 0, 0, 0}},          // anticlockwise
        {{0, 0, 0, 1, 1, 1, 1, 0}, 1, 1.0, {0, 0, 0, 0}},          // clockwise
        {{0, 0, 2, 1, 0, 2, 1, 1}, 0, 1.0, {0, 1, 0, 1}},          // concave arrow
        {{0, 0, 1, 0, 2, 0, 1, 1}, 1, 1.0, {0, 1, 0, 0}},          // collinear corners ignored
        {{0.5, 0.5, 2, 0.5, 2, 2, 0.5, 2}, 1, 2.25, {0, 1, 0, 1}}, // ends on borders
        {{-3, 1, -1, 1, -1, 2, -3, 2}, 1, 2.0, {0, -2, 1, 1}},
        {{-5, -5, 50, -5, 50, 50, -5, 50}, 1, 3025.0, {0, 3, 0, 2}},
    };
    int r[4];
    for (const auto& row : rows) {
        const double* c = row.c;
        const polygon p = stuff_four(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
        bounding_rect(&p, &r[0], &r[1], &r[2], &r[3], 4, 3);
        SCOPED_TRACE(&row - rows);
        EXPECT_TRUE(p.len == 5 && p.pts[2].x == c[4] && p.pts[2].y == c[5] && p.pts[4].x == c[0] &&
                    p.pts[4].y == c[1]);
        EXPECT_EQ(verify_cyclical(&p), row.cyclical);
        EXPECT_DOUBLE_EQ(area_poly(&p), row.area);
        EXPECT_DOUBLE_EQ(area_poly1(p.pts, 4), row.area);
        EXPECT_EQ(std::vector<int>(r, r + 4), std::vector<int>(row.range, row.range + 4));
    }
    polygon odd = stuff_four(0, 0, INFINITY, 0, 1, 1, 0, 1);
    bounding_rect(&odd, &r[0], &r[1], &r[2], &r[3], 4, 3);
    EXPECT_GT(r[0], r[1]);
    odd = stuff_four(0, 0, 0, 1, 2, 1, 2, 0);
    EXPECT_EQ(area_poly1(odd.pts, 0), 0.0); // no points, too few or too many: no area
    for (int len : {1, INTEGRATE_MAX_POLY_PTS + 1}) {
        odd.len = len;
        EXPECT_EQ(area_poly(&odd), 0.0) << len;
    }
}

TEST(PolyUtilities, SignAndRounding) {
    EXPECT_EQ(sign(0.0), 0);
    EXPECT_EQ(sign(2.5), 1);
    EXPECT_EQ(sign(-1e-300), -1);
    EXPECT_EQ(sign(std::nan("")), -1);
    EXPECT_EQ(rmin4floor(1.5, -0.5, 3.0, 2.0), -1);
    EXPECT_EQ(rmax4ceil(1.5, -0.5, 3.0, 2.2), 3);
    EXPECT_EQ(rmax4ceil(1e300, 0, 0, 0), INT_MAX); // saturated, not undefined
    EXPECT_EQ(rmin4floor(-1e300, 0, 0, 0), INT_MIN);
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

// ---- Integration and distribution ----
// The square from (0.5, 0.5) to (1.5, 1.5) covers a quarter of each of the
// pixels (0,0), (1,0), (0,1) and (1,1) of a 3 x 3 grid: indices 0, 1, 3, 4.
#define SQ 0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5

bool touched(int p) {
    return p == 0 || p == 1 || p == 3 || p == 4;
}

// integrate_quad over this grid: the end-to-end test's program.  Pixel 4 is
// NaN: three number pixels of overlap 1/4 remain, area 3/4, sum of
// squared overlaps 3/16, variance 3 * (1/16) * 2^2.
TEST(QuadIntegrate, OverlapWeightedSumsLeaveNanPixelsOut) {
    std::vector<double> val(9, 1.0), sig(9, 2.0), nan(9, NAN);
    val[4] = NAN;
    std::vector<int16_t> mask = {1, 0, 0x0100, 0, 8, 0x0100, 0x0100, 0x0100, 0x0100};
    double area = -1, area2 = -1, sigma = -1, s1 = 99, s2 = 99, a1 = 99, a2 = 99;
    for (int with_mask = 0; with_mask < 2; ++with_mask) {
        area = area2 = sigma = -1;
        int16_t m = -1;
        EXPECT_DOUBLE_EQ(
            with_mask ? integrate_quad_3(SQ, val.data(), sig.data(), mask.data(), 0, 3, 3, &area,
                                         &area2, &sigma, &m)
                      : integrate_quad_2(SQ, val.data(), sig.data(), 3, 3, &area, &area2, &sigma),
            0.75);
        EXPECT_DOUBLE_EQ(area, 0.75);
        EXPECT_DOUBLE_EQ(area2, 0.1875);
        EXPECT_DOUBLE_EQ(sigma, std::sqrt(0.75));
        EXPECT_EQ(m, with_mask ? 0x0009 : -1); // NaN pixel's bits count, untouched ones' do not
    }
    integrate_two_quad(SQ, val.data(), nan.data(), &s1, &s2, 3, 3, &a1, &a2);
    EXPECT_DOUBLE_EQ(s1, 0.75);
    EXPECT_DOUBLE_EQ(a1, 0.75);
    EXPECT_TRUE(std::isnan(s2));
    EXPECT_EQ(a2, 0.0);
    integrate_two_quad(SQ, nan.data(), sig.data(), &s1, &s2, 3, 3, &a1, &a2); // 4 x 1/4 x 2
    EXPECT_TRUE(std::isnan(s1) && a1 == 0.0 && s2 == 2.0 && a2 == 1.0);
}

// Quadrilaterals that cover all or none of a 4 x 3 grid: off the grid; a
// dart of no area (corners 1 and 3 equal); one around the grid with corners
// near 3e154, whose coordinate products would overflow.  Every sum and area
// is 12 or 0 (NaN for a grid all NaN when covered), the overlapped mask bits
// are ORed, each pixel gets 1 or nothing.
TEST(QuadIntegrate, WholeGridOrNothing) {
    const struct {
        double c[8];
        double on;
    } rows[] = {
        {{-4, 0.5, -3, 0.5, -3, 1.5, -4, 1.5}, 0},
        {{0.3, 0.2, 3.7, 1.1, 0.3, 0.2, 1.2, 2.9}, 0},
        {{-1e154, -3e154, 3e154, -1e154, 1e154, 3e154, -3e154, 1e154}, 1},
    };
    for (const auto& row : rows) {
        const double* c = row.c;
        std::vector<double> ones(12, 1.0), nan(12, NAN);
        std::vector<int16_t> mask(12, 0x7);
        double r[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        int16_t m = -1;
        SCOPED_TRACE(&row - rows);
        r[0] = integrate_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], ones.data(), 4, 3,
                              &r[1]);
        r[2] = integrate_quad_3(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], ones.data(),
                                ones.data(), mask.data(), 0, 4, 3, &r[3], &r[4], &r[5], &m);
        r[6] =
            integrate_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], nan.data(), 4, 3, &r[7]);
        distribute_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], 1.0, ones.data(), 4, 3);
        mask_distribute_quad_short(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], 0x10,
                                   mask.data(), 4, 3);
        const double sum = 12 * row.on;
        EXPECT_EQ(std::vector<double>(r, r + 6),
                  std::vector<double>({sum, sum, sum, sum, sum, std::sqrt(sum)}));
        EXPECT_EQ(std::isnan(r[6]), row.on == 1);
        EXPECT_EQ(r[7], 0.0);
        EXPECT_EQ(m, row.on == 1 ? 0x7 : 0);
        EXPECT_EQ(ones, std::vector<double>(12, 1 + row.on));
        EXPECT_EQ(mask, std::vector<int16_t>(12, row.on == 1 ? 0x17 : 0x7));
    }
}

// Each member on the square: weighted ones add value x 1/4 to the touched
// pixels (distribute_quad twice here), unweighted ones set the value, mask ones
// OR the mask in; other pixels keep their start value (0 unless set below).
// A square on pixel 0's borders touches pixel 0 only.
TEST(QuadDistribute, EveryMemberChangesTheTouchedPixelsOnly) {
    std::vector<std::vector<double>> g(13, std::vector<double>(9, 0.0));
    g[9].assign(9, 0.5);
    g[10].assign(9, -1.0);
    g[12].assign(9, 3.0);
    std::vector<double> cube(18, 0.0), border(9, 0.0);
    std::vector<int16_t> m16(9, 0x0001);
    std::vector<int32_t> m32(9, 0x10000);
    const double values[2] = {4.0, -8.0};
    double* pair[2] = {g[5].data(), g[6].data()};
    distribute_quad(SQ, 4.0, g[0].data(), 3, 3);
    distribute_quad(SQ, 4.0, g[0].data(), 3, 3);
    distribute_quad_2(SQ, 4.0, 8.0, g[1].data(), g[2].data(), 3, 3);
    distribute_two_quad(SQ, 4.0, g[3].data(), 8.0, g[4].data(), 3, 3);
    distribute_quad_n(SQ, values, pair, 2, 3, 3);
    distribute_quad_n(SQ, values, pair, 1, 3, 3); // the first image only
    distribute_quad_n_1D(SQ, values, cube.data(), 2, 3, 3);
    distribute_quad_n_1D(SQ, values, cube.data(), 1, 3, 3);
    distribute_quad_BB(SQ, 4.0, 8.0, g[7].data(), g[8].data(), 3, 3, g[9].data(), g[10].data(), 12);
    distribute_quad(SQ, NAN, g[11].data(), 3, 3); // NaN spreads
    unweighted_distribute_quad(SQ, 7.0, g[12].data(), 3, 3);
    unweighted_distribute_quad(0, 0, 1, 0, 1, 1, 0, 1, 7.0, border.data(), 3, 3);
    mask_distribute_quad_short(SQ, 0x0004, m16.data(), 3, 3);
    mask_distribute_quad_int(SQ, 0x0004, m32.data(), 3, 3);
    g.emplace_back(cube.begin(), cube.begin() + 9); // g[13] to g[16]
    g.emplace_back(cube.begin() + 9, cube.end());
    g.emplace_back(m16.begin(), m16.end());
    g.emplace_back(m32.begin(), m32.end());
    const struct {
        int k;
        double on, off; // on touched pixels, elsewhere
    } rows[] = {{0, 2, 0},  {1, 1, 0},      {2, 2, 0},    {3, 1, 0},
                {4, 2, 0},  {5, 2, 0},      {6, -2, 0},   {7, 1, 0},
                {8, 2, 0},  {9, 0.75, 0.5}, {10, 12, -1}, {12, 7, 3},
                {13, 2, 0}, {14, -2, 0},    {15, 5, 1},   {16, 0x10004, 0x10000}};
    for (const auto& r : rows)
        for (int p = 0; p < 9; ++p)
            EXPECT_DOUBLE_EQ(g[r.k][p], touched(p) ? r.on : r.off)
                << "grid " << r.k << " pixel " << p;
    for (int p = 0; p < 9; ++p)
        EXPECT_EQ(std::isnan(g[11][p]), touched(p)) << p;
    EXPECT_EQ(border, std::vector<double>({7, 0, 0, 0, 0, 0, 0, 0, 0}));
}

} // namespace
