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

TEST(PolyUtilities, StuffFourClosesTheQuadrilateral) {
    const polygon q = stuff_four(0, 0, 2, 0, 2, 1, 0, 1);
    ASSERT_EQ(q.len, 5);
    EXPECT_EQ(q.pts[2].x, 2.0);
    EXPECT_EQ(q.pts[2].y, 1.0);
    EXPECT_EQ(q.pts[4].x, 0.0);
    EXPECT_EQ(q.pts[4].y, 0.0);
    EXPECT_DOUBLE_EQ(area_poly(&q), 2.0);
}

TEST(PolyUtilities, AreaIgnoresOrientationAndNeedsTwoPoints) {
    const polygon back = stuff_four(0, 0, 0, 1, 2, 1, 2, 0);
    EXPECT_DOUBLE_EQ(area_poly(&back), 2.0);
    EXPECT_DOUBLE_EQ(area_poly1(back.pts, 4), 2.0);
    EXPECT_EQ(area_poly1(back.pts, 0), 0.0);
    polygon one = back;
    one.len = 1;
    EXPECT_EQ(area_poly(&one), 0.0);
    one.len = INTEGRATE_MAX_POLY_PTS + 1;
    EXPECT_EQ(area_poly(&one), 0.0);
}

TEST(PolyUtilities, VerifyCyclicalRejectsCrossedAndConcave) {
    const polygon crossed = stuff_four(0, 0, 1, 1, 1, 0, 0, 1);
    const polygon ccw = stuff_four(0, 0, 1, 0, 1, 1, 0, 1);
    const polygon cw = stuff_four(0, 0, 0, 1, 1, 1, 1, 0);
    const polygon arrow = stuff_four(0, 0, 2, 1, 0, 2, 1, 1);
    const polygon with_collinear = stuff_four(0, 0, 1, 0, 2, 0, 1, 1);
    EXPECT_EQ(verify_cyclical(&crossed), 0);
    EXPECT_EQ(verify_cyclical(&ccw), 1);
    EXPECT_EQ(verify_cyclical(&cw), 1);
    EXPECT_EQ(verify_cyclical(&arrow), 0);
    EXPECT_EQ(verify_cyclical(&with_collinear), 1);
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

TEST(PolyUtilities, BoundingRectExcludesPixelsBeyondBorderCorners) {
    int xmin, xmax, ymin, ymax;
    const polygon sq = stuff_four(0.5, 0.5, 2.0, 0.5, 2.0, 3.0, 0.5, 3.0);
    bounding_rect(&sq, &xmin, &xmax, &ymin, &ymax, 10, 10);
    EXPECT_EQ(xmin, 0);
    EXPECT_EQ(xmax, 1);
    EXPECT_EQ(ymin, 0);
    EXPECT_EQ(ymax, 2);

    const polygon left = stuff_four(-3, 1, -1, 1, -1, 2, -3, 2);
    bounding_rect(&left, &xmin, &xmax, &ymin, &ymax, 10, 10);
    EXPECT_EQ(xmin, 0);
    EXPECT_EQ(xmax, -2);

    const polygon big = stuff_four(-5, -5, 50, -5, 50, 50, -5, 50);
    bounding_rect(&big, &xmin, &xmax, &ymin, &ymax, 4, 3);
    EXPECT_EQ(xmax, 3);
    EXPECT_EQ(ymax, 2);

    const polygon bad = stuff_four(0, 0, INFINITY, 0, 1, 1, 0, 1);
    bounding_rect(&bad, &xmin, &xmax, &ymin, &ymax, 4, 3);
    EXPECT_GT(xmin, xmax);
}

std::string printed(const polygon& p) {
    testing::internal::CaptureStdout();
    print_poly(&p);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(PolyUtilities, PrintPoly) {
    polygon q = stuff_four(0, 0, 1, 0, 1, 1, 0, 1);
    EXPECT_EQ(printed(q), "Closed Poly of 5 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] "
                          "[0.000 1.000] [0.000 0.000] \n");
    q.len = 4;
    EXPECT_EQ(printed(q), "Closed Poly of 4 pts: [0.000 0.000] [1.000 0.000] [1.000 1.000] "
                          "[0.000 1.000] \nERROR in print_poly: poly->len=4   \n\n"
                          "ERROR: POLY NOT CLOSED! Exiting routine.\n\n");
    q.len = 101;
    EXPECT_EQ(printed(q),
              "Closed Poly of 101 pts: ERROR in print_poly: poly->len=101   Exiting routine.\n\n");
    q.len = -2;
    EXPECT_EQ(printed(q),
              "Closed Poly of -2 pts: ERROR in print_poly: poly->len=-2   Exiting routine.\n\n");
}

TEST(PolyUtilities, NameAndVersion) {
    EXPECT_STREQ(integrate_name(), "integrate (library)");
    EXPECT_STREQ(integrate_version(), "1.31");
}

// ---- Integration and distribution ----
// The square from (0.5, 0.5) to (1.5, 1.5) covers a quarter of each of the
// pixels (0,0), (1,0), (0,1) and (1,1) of a 3 x 3 grid: indices 0, 1, 3, 4.
#define SQ 0.5, 0.5, 1.5, 0.5, 1.5, 1.5, 0.5, 1.5
#define OFF_GRID -4.0, 0.5, -3.0, 0.5, -3.0, 1.5, -4.0, 1.5
const int kTouched[4] = {0, 1, 3, 4};

bool touched(int p) {
    return p == 0 || p == 1 || p == 3 || p == 4;
}

TEST(QuadIntegrate, OnesGridGivesArea) {
    std::vector<double> img(9, 1.0);
    double area = -1;
    EXPECT_DOUBLE_EQ(integrate_quad(SQ, img.data(), 3, 3, &area), 1.0);
    EXPECT_DOUBLE_EQ(area, 1.0);
}

TEST(QuadIntegrate, NanPixelsAreLeftOut) {
    std::vector<double> img(9, 1.0);
    img[4] = NAN;
    double area = -1;
    EXPECT_DOUBLE_EQ(integrate_quad(SQ, img.data(), 3, 3, &area), 0.75);
    EXPECT_DOUBLE_EQ(area, 0.75);
    for (int p : kTouched)
        img[p] = NAN;
    EXPECT_TRUE(std::isnan(integrate_quad(SQ, img.data(), 3, 3, &area)));
    EXPECT_EQ(area, 0.0);
}

TEST(QuadIntegrate, WeightsAndSigmas) {
    std::vector<double> val(9, 1.0), sig(9, 2.0);
    std::vector<int16_t> mask(9, 0x0100); // untouched pixels carry a bit that must not appear
    mask[0] = 0x0001;
    mask[4] = 0x0008;
    val[4] = NAN;
    double area, area2, sigma;
    // Three number pixels of overlap 1/4: area2 = 3/16, variance = 3 * (1/16) * 4.
    EXPECT_DOUBLE_EQ(integrate_quad_2(SQ, val.data(), sig.data(), 3, 3, &area, &area2, &sigma),
                     0.75);
    EXPECT_DOUBLE_EQ(area, 0.75);
    EXPECT_DOUBLE_EQ(area2, 0.1875);
    EXPECT_DOUBLE_EQ(sigma, std::sqrt(0.75));
    for (int p : {1, 3})
        mask[p] = 0;
    int16_t m = -1;
    EXPECT_DOUBLE_EQ(integrate_quad_3(SQ, val.data(), sig.data(), mask.data(), 0, 3, 3, &area,
                                      &area2, &sigma, &m),
                     0.75);
    EXPECT_EQ(m, 0x0009); // the NaN pixel's bits count too
    EXPECT_DOUBLE_EQ(sigma, std::sqrt(0.75));
}

TEST(QuadIntegrate, TwoImagesAreIndependent) {
    std::vector<double> one(9, 1.0), nan(9, NAN);
    double s1 = 99, s2 = 99, a1 = 99, a2 = 99;
    integrate_two_quad(SQ, one.data(), nan.data(), &s1, &s2, 3, 3, &a1, &a2);
    EXPECT_DOUBLE_EQ(s1, 1.0);
    EXPECT_DOUBLE_EQ(a1, 1.0);
    EXPECT_TRUE(std::isnan(s2));
    EXPECT_EQ(a2, 0.0);
}

TEST(QuadIntegrate, OffGridGivesZero) {
    std::vector<double> img(9, 1.0);
    std::vector<int16_t> mask(9, 0x7);
    double area = -1, area2 = -1, sigma = -1, s1 = -1, s2 = -1, a1 = -1, a2 = -1;
    int16_t m = -1;
    EXPECT_EQ(integrate_quad(OFF_GRID, img.data(), 3, 3, &area), 0.0);
    EXPECT_EQ(area, 0.0);
    EXPECT_EQ(integrate_quad_3(OFF_GRID, img.data(), img.data(), mask.data(), 0, 3, 3, &area,
                               &area2, &sigma, &m),
              0.0);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(sigma, 0.0);
    integrate_two_quad(OFF_GRID, img.data(), img.data(), &s1, &s2, 3, 3, &a1, &a2);
    EXPECT_EQ(s1 + s2 + a1 + a2, 0.0);
}

TEST(QuadDistribute, SpreadsValueByOverlap) {
    std::vector<double> img(9, 0.0);
    distribute_quad(SQ, 4.0, img.data(), 3, 3);
    double total = 0;
    for (int p = 0; p < 9; ++p) {
        EXPECT_DOUBLE_EQ(img[p], touched(p) ? 1.0 : 0.0) << p;
        total += img[p];
    }
    EXPECT_DOUBLE_EQ(total, 4.0);
    distribute_quad(SQ, 4.0, img.data(), 3, 3); // accumulates
    EXPECT_DOUBLE_EQ(img[4], 2.0);
}

TEST(QuadDistribute, BorderCornersTouchOnePixel) {
    std::vector<double> img(9, 0.0);
    unweighted_distribute_quad(0, 0, 1, 0, 1, 1, 0, 1, 7.0, img.data(), 3, 3);
    for (int p = 0; p < 9; ++p)
        EXPECT_EQ(img[p], p == 0 ? 7.0 : 0.0) << p;
}

TEST(QuadDistribute, UnweightedAndMasksSetEveryTouchedPixel) {
    std::vector<double> img(9, 3.0);
    unweighted_distribute_quad(SQ, 7.0, img.data(), 3, 3);
    std::vector<int16_t> m16(9, 0x0001);
    mask_distribute_quad_short(SQ, 0x0004, m16.data(), 3, 3);
    std::vector<int32_t> m32(9, 0x10000);
    mask_distribute_quad_int(SQ, 0x0004, m32.data(), 3, 3);
    for (int p = 0; p < 9; ++p) {
        EXPECT_EQ(img[p], touched(p) ? 7.0 : 3.0) << p;
        EXPECT_EQ(m16[p], touched(p) ? 0x0005 : 0x0001) << p;
        EXPECT_EQ(m32[p], touched(p) ? 0x10004 : 0x10000) << p;
    }
}

TEST(QuadDistribute, SeveralImages) {
    std::vector<double> a(9, 0.0), b(9, 0.0), c(9, 0.0), d(9, 0.0), cube(18, 0.0);
    distribute_quad_2(SQ, 4.0, 8.0, a.data(), b.data(), 3, 3);
    distribute_two_quad(SQ, 4.0, c.data(), 8.0, d.data(), 3, 3);
    const double values[2] = {4.0, -8.0};
    distribute_quad_n_1D(SQ, values, cube.data(), 2, 3, 3);
    for (int p = 0; p < 9; ++p) {
        const double w = touched(p) ? 0.25 : 0.0;
        EXPECT_DOUBLE_EQ(a[p], 4 * w);
        EXPECT_DOUBLE_EQ(b[p], 8 * w);
        EXPECT_DOUBLE_EQ(c[p], 4 * w);
        EXPECT_DOUBLE_EQ(d[p], 8 * w);
        EXPECT_DOUBLE_EQ(cube[p], 4 * w);
        EXPECT_DOUBLE_EQ(cube[9 + p], -8 * w);
    }
    double* images[2] = {a.data(), b.data()};
    distribute_quad_n(SQ, values, images, 2, 3, 3);
    EXPECT_DOUBLE_EQ(a[4], 2.0);
    EXPECT_DOUBLE_EQ(b[4], 0.0);
    distribute_quad_n(SQ, values, images, 0, 3, 3);
    EXPECT_DOUBLE_EQ(a[4], 2.0);
}

TEST(QuadDistribute, BackgroundBookkeeping) {
    std::vector<double> a(9, 0.0), b(9, 0.0), area(9, 0.5), id(9, -1.0);
    distribute_quad_BB(SQ, 4.0, 8.0, a.data(), b.data(), 3, 3, area.data(), id.data(), 12);
    for (int p = 0; p < 9; ++p) {
        EXPECT_DOUBLE_EQ(a[p], touched(p) ? 1.0 : 0.0);
        EXPECT_DOUBLE_EQ(b[p], touched(p) ? 2.0 : 0.0);
        EXPECT_DOUBLE_EQ(area[p], touched(p) ? 0.75 : 0.5);
        EXPECT_EQ(id[p], touched(p) ? 12.0 : -1.0);
    }
}

TEST(QuadDistribute, OffGridChangesNothingAndNanSpreads) {
    std::vector<double> img(9, 0.0);
    distribute_quad(OFF_GRID, 4.0, img.data(), 3, 3);
    for (double v : img)
        EXPECT_EQ(v, 0.0);
    distribute_quad(SQ, NAN, img.data(), 3, 3);
    for (int p = 0; p < 9; ++p)
        EXPECT_EQ(std::isnan(img[p]), touched(p)) << p;
}

} // namespace
