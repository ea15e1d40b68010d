// Tridiagonal and band solvers on systems with hand-picked solutions: M x = r in small
// integers, so the product gives r exactly and the solves give x back.
#include "banded.h"
#include "tridiagonal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

TEST(Tridiagonal, KnownSystemSolveProductInverseRowsAndPivots) {
    // M = [[2, 1, 0], [3, 4, 1], [0, 2, 5]]; a[0] and c[2] lie outside it (NaN: a read spoils
    // the result); x = (1, -1, 2) gives r = (1, 1, 8); the inverse is adj(M) / 21.
    float a[3] = {NAN, 3, 2}, b[3] = {2, 4, 5}, c[3] = {1, 1, NAN}, r[3] = {1, 1, 8}, u[3], g[3];
    double da[3] = {NAN, 3, 2}, db[3] = {2, 4, 5}, dc[3] = {1, 1, NAN}, dr[3] = {1, 1, 8}, du[3];
    double dg[3], x[3] = {1, -1, 2}, minor[3][3] = {{0, -15, -4}, {18, 10, 5}, {-5, -2, 0}};
    ASSERT_EQ(tridiagsolve(a, b, c, r, u, g, 1e-6f, 3), 0);
    ASSERT_EQ(dtridiagsolve(da, db, dc, dr, du, dg, 1e-12, 3), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(std::fabs(u[i] - x[i]) < 1e-6 && std::fabs(du[i] - x[i]) < 1e-14) << i;
    trimulvec(a, b, c, r, u, 3);
    EXPECT_EQ(std::vector<float>(u, u + 3), (std::vector<float>{3, 15, 42})); // M r
    float inv[3][3] = {{7, 7, 7}, {7, 7, 7}, {7, 7, 7}}; // below, on and above the diagonal
    ASSERT_EQ(triadiaginvert(a, b, c, inv[0], inv[1], inv[2], 1e-6f, 3), 0);
    for (int k = 0; k < 9; k++)
        EXPECT_NEAR(inv[k / 3][k % 3], minor[k / 3][k % 3] / 21, 1e-6) << k;
    dtrigetrow(da, db, dc, du, 2, 3); // rows come out whole, put back as the band only
    EXPECT_EQ(std::vector<double>(du, du + 3), (std::vector<double>{0, 2, 5}));
    float row[3] = {4, 5, 6};
    triputrow(a, b, c, row, 2, 3);
    triputrow(a, b, c, row, 3, 3);
    EXPECT_TRUE(a[2] == 5 && b[2] == 6 && std::isnan(c[2]) && b[1] == 4);
    // |pivot| <= tol fails the solver (first pivot, then the second: 1 - 1 * 1/2), while the
    // inverse fails below tol only; the first unknown is already written.
    float pa[2] = {0, 1}, pb[2] = {0.5f, 1}, pc[2] = {1, 0}, pr[2] = {1, 1};
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -1);
    pb[0] = 2;
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -2);
    EXPECT_EQ(u[0], 0.5f);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.5f, 2), 0);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.6f, 2), -1);
    pb[1] = 1e-9f; // the first pivot from the bottom fails
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 1e-6f, 2), -1);
}

TEST(Banded, KnownSystemInBandAndFullStorageAndThePivotTest) {
    // Bandwidths 1 below and 2 above, in band and full storage; x = (1, 2, -1, 1) gives
    // r = (4, 11, -1, 2).  Band cells outside the matrix hold NaN.
    const double m[4][4] = {{4, 1, 2, 0}, {1, 5, 1, 1}, {0, 2, 6, 1}, {0, 0, 1, 3}};
    for (const bool full : {false, true}) {
        const int p = full ? 3 : 1, q = full ? 3 : 2;
        double** a = full ? matalloc(4, 4) : bandalloc(4, p, q);
        for (int i = 0; i < 4; i++)
            for (int j = full ? 0 : i - p; j <= (full ? 3 : i + q); j++) {
                EXPECT_EQ(a[i][j], 0.0) << i << "," << j; // every cell zeroed, its own
                a[i][j] = j < 0 || j > 3 ? NAN : m[i][j];
            }
        double x[4] = {4, 11, -1, 2}, want[4] = {1, 2, -1, 1};
        EXPECT_EQ(bandlufact(a, 4, p, q, 1e-6f) + bandluforsubst(a, 4, p, q, x) +
                      bandlubaksubst(a, 4, p, q, x),
                  0);
        for (int i = 0; i < 4; i++)
            EXPECT_NEAR(x[i], want[i], 1e-14) << full << " " << i;
        full ? matfree(a, 4) : bandfree(a, 4);
    }
    // Refused shapes and sizes whose storage would overflow.
    EXPECT_TRUE(!bandalloc(-1, 1, 1) && !bandalloc(3, -1, 1) && !matalloc(2, -5) &&
                !matalloc(INT_MAX, INT_MAX) && !bandalloc(INT_MAX - 1, INT_MAX / 4, INT_MAX / 4));
    // A pivot below the float tolerance widened to double fails, one equal to it passes;
    // the last pivot (here 0) is never examined.
    double** a = matalloc(2, 2);
    a[0][0] = 0.5e-6;
    a[0][1] = a[1][0] = 2;
    a[1][1] = 4 / double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), -1);
    EXPECT_EQ(a[1][0], 2.0); // nothing factored
    a[0][0] = double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), 0);
    EXPECT_EQ(a[1][0], 2 / double(1e-6f));
    matfree(a, 2);
}

TEST(Banded, PrinterShowsZerosOutsideTheBandAndTheSelfTestPasses) {
    double** a = bandalloc(3, 0, 1);
    for (int i = 0; i < 3; i++) { // a[2][3] lies outside the matrix: never printed
        a[i][i] = 2 * i + 1;
        a[i][i + 1] = i == 1 ? -4.5 : 99;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(bandshow(stdout, a, 3, 0, 1, "T") + bandunit(stdout, 5) + bandunit(nullptr, 40), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "banded matrix n=3,p=0,q=1: T\n"
              "  0,         1.000,        99.000,         0.000,\n"
              "  1,         0.000,         3.000,        -4.500,\n"
              "  2,         0.000,         0.000,         5.000,\n"
              "bandunit passed unit test OK, n=5\n");
    bandfree(a, 3);
}
