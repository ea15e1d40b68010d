// Band storage, band LU and its substitutions against the tridiagonal solver
// and a dense reference solve; the printer's exact output; the self-test.
#include "banded.h"
#include "tridiagonal.h"
#include "dense_solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Fills a (order n, bandwidths p, q) with a diagonally dominant matrix and
// returns its dense form.
DenseMatrix fill_dominant(double** a, int n, int p, int q) {
    DenseMatrix m(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; i++)
        for (int j = std::max(0, i - p); j <= std::min(n - 1, i + q); j++)
            a[i][j] = m[i][j] = (i == j) ? 10.0 + i : 1.0 + 0.5 * ((i + 2 * j) % 5) - 1.0;
    return m;
}

} // namespace

TEST(BandStorage, EveryBandElementHasItsOwnZeroedCell) {
    const int n = 4, p = 1, q = 2;
    double** a = bandalloc(n, p, q);
    ASSERT_NE(a, nullptr);
    for (int pass = 0; pass < 2; pass++) {
        for (int i = 0; i < n; i++) {
            for (int j = i - p; j <= i + q; j++) {
                EXPECT_EQ(a[i][j], pass == 0 ? 0.0 : 10.0 * i + j) << i << "," << j;
                a[i][j] = 10.0 * i + j;
            }
        }
    }
    EXPECT_EQ(&a[0][-p], a[n]); // pointer n holds the block start
    bandfree(a, n);
    EXPECT_EQ(bandalloc(-1, 1, 1), nullptr);
    EXPECT_EQ(bandalloc(3, -1, 1), nullptr);
    EXPECT_EQ(matalloc(2, -5), nullptr);
    EXPECT_EQ(matalloc(INT_MAX, INT_MAX), nullptr);
    EXPECT_EQ(bandalloc(INT_MAX - 1, INT_MAX / 4, INT_MAX / 4), nullptr);
    bandfree(nullptr, 3);
    matfree(nullptr, 3);
}

// Band storage with (p, q) = (1, 1), (2, 1) and a full matrix (p = q = n - 1)
// against the dense solve; the tridiagonal case also against dtridiagsolve.
TEST(BandLu, MatchesDenseSolveAndTheTridiagonalSolver) {
    const int n = 7;
    const std::vector<double> rhs{1.0, -2.0, 0.5, 3.0, -1.0, 2.0, 4.0};
    for (const int p : {1, 2, n - 1}) {
        const int q = p == 2 ? 1 : p;
        double** a = p == n - 1 ? matalloc(n, n) : bandalloc(n, p, q);
        ASSERT_NE(a, nullptr);
        const DenseMatrix m = fill_dominant(a, n, p, q);
        std::vector<double> x = rhs, ta(n), tb(n), tc(n), gam(n);
        for (int i = 0; i < n; i++) {
            tb[i] = m[i][i];
            ta[i] = i > 0 ? m[i][i - 1] : 0.0;
            tc[i] = i < n - 1 ? m[i][i + 1] : 0.0;
        }
        EXPECT_EQ(bandlufact(a, n, p, q, 1e-6f), 0);
        EXPECT_EQ(bandluforsubst(a, n, p, q, x.data()), 0);
        EXPECT_EQ(bandlubaksubst(a, n, p, q, x.data()), 0);
        p == n - 1 ? matfree(a, n) : bandfree(a, n);
        const std::vector<double> want = dense_solve(m, rhs);
        std::vector<double> r = rhs, u = want;
        if (p == 1) {
            ASSERT_EQ(dtridiagsolve(ta.data(), tb.data(), tc.data(), r.data(), u.data(), gam.data(),
                                    1e-9, n),
                      0);
        }
        for (int i = 0; i < n; i++) {
            EXPECT_NEAR(x[i], want[i], 1e-13) << "p=" << p << " i=" << i;
            EXPECT_NEAR(x[i], u[i], 1e-13) << "p=" << p << " i=" << i;
        }
    }
}

TEST(BandLu, PivotTestIsStrictAndOrderOneIsNotExamined) {
    double** a = matalloc(2, 2);
    ASSERT_NE(a, nullptr);
    a[0][0] = 0.5e-6;
    a[0][1] = 1.0;
    a[1][0] = 2.0;
    a[1][1] = 3.0;
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), -1);
    EXPECT_EQ(a[1][0], 2.0); // nothing factored
    a[0][0] = (double)1e-6f; // equal to the widened tolerance: passes
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), 0);
    EXPECT_EQ(a[1][0], 2.0 / (double)1e-6f);
    matfree(a, 2);
    a = matalloc(1, 1); // a[0][0] = 0, below any tolerance: the last pivot is not examined
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(bandlufact(a, 1, 1, 1, 1e-6f), 0);
    matfree(a, 1);
    EXPECT_EQ(bandlufact(nullptr, 0, 1, 1, 1e-6f), 0);
    EXPECT_EQ(bandluforsubst(nullptr, 0, 1, 1, nullptr), 0);
    EXPECT_EQ(bandlubaksubst(nullptr, 0, 1, 1, nullptr), 0);
}

TEST(BandShow, PrintsZerosOutsideTheBandWithoutReadingThem) {
    double** a = bandalloc(3, 0, 1);
    ASSERT_NE(a, nullptr);
    const double diag[3] = {1.0, 3.0, 5.0}, upper[3] = {2.0, -4.5, 99.0};
    for (int i = 0; i < 3; i++) { // a[2][3] lies outside the matrix: never printed
        a[i][i] = diag[i];
        a[i][i + 1] = upper[i];
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(bandshow(stdout, a, 3, 0, 1, "T"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "banded matrix n=3,p=0,q=1: T\n"
              "  0,         1.000,         2.000,         0.000,\n"
              "  1,         0.000,         3.000,        -4.500,\n"
              "  2,         0.000,         0.000,         5.000,\n");
    bandfree(a, 3);
}

TEST(BandUnit, PassesAndSaysSo) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(bandunit(stdout, 5), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bandunit passed unit test OK, n=5\n");
    EXPECT_EQ(bandunit(nullptr, 1), 0);
    EXPECT_EQ(bandunit(nullptr, 40), 0);
}
