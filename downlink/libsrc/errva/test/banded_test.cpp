// Band storage, band LU and its substitutions against the tridiagonal solver
// and a dense reference solve; the printer's exact output; the self-test.
#include "banded.h"
#include "tridiagonal.h"
#include "dense_solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Diagonally dominant matrix of order n with bandwidths p, q (dense form).
DenseMatrix dominant(int n, int p, int q) {
    DenseMatrix m(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; i++) {
        for (int j = std::max(0, i - p); j <= std::min(n - 1, i + q); j++) {
            m[i][j] = (i == j) ? 10.0 + i : 1.0 + 0.5 * ((i + 2 * j) % 5) - 1.0;
        }
    }
    return m;
}

void load(double** a, const DenseMatrix& m, int p, int q) {
    const int n = (int)m.size();
    for (int i = 0; i < n; i++) {
        for (int j = std::max(0, i - p); j <= std::min(n - 1, i + q); j++) {
            a[i][j] = m[i][j];
        }
    }
}

std::vector<double> band_solve(double** a, int n, int p, int q, std::vector<double> b) {
    EXPECT_EQ(bandlufact(a, n, p, q, 1e-6f), 0);
    EXPECT_EQ(bandluforsubst(a, n, p, q, b.data()), 0);
    EXPECT_EQ(bandlubaksubst(a, n, p, q, b.data()), 0);
    return b;
}

// Text written to a memory stream by `write`.
template <typename F> std::string capture(F write) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

const std::vector<double> rhs7{1.0, -2.0, 0.5, 3.0, -1.0, 2.0, 4.0};

} // namespace

TEST(BandStorage, EveryBandElementHasItsOwnZeroedCell) {
    const int n = 4, p = 1, q = 2;
    double** a = bandalloc(n, p, q);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < n; i++) {
        for (int j = i - p; j <= i + q; j++) {
            EXPECT_EQ(a[i][j], 0.0);
            a[i][j] = 10.0 * i + j;
        }
    }
    for (int i = 0; i < n; i++) {
        for (int j = i - p; j <= i + q; j++) {
            EXPECT_EQ(a[i][j], 10.0 * i + j) << i << "," << j;
        }
    }
    EXPECT_EQ(&a[0][-p], a[n]); // pointer n holds the block start
    bandfree(a, n);
}

TEST(BandStorage, ImpossibleRequestsGiveNull) {
    EXPECT_EQ(bandalloc(-1, 1, 1), nullptr);
    EXPECT_EQ(bandalloc(3, -1, 1), nullptr);
    EXPECT_EQ(matalloc(2, -5), nullptr);
    EXPECT_EQ(matalloc(INT_MAX, INT_MAX), nullptr);
    EXPECT_EQ(bandalloc(INT_MAX - 1, INT_MAX / 4, INT_MAX / 4), nullptr);
    bandfree(nullptr, 3);
    matfree(nullptr, 3);
}

TEST(BandLu, TridiagonalMatchesTridiagSolve) {
    const int n = 7;
    const DenseMatrix m = dominant(n, 1, 1);
    std::vector<double> ta(n, 0.0), tb(n), tc(n, 0.0), r = rhs7, u(n), gam(n);
    for (int i = 0; i < n; i++) {
        tb[i] = m[i][i];
        if (i > 0) {
            ta[i] = m[i][i - 1];
        }
        if (i < n - 1) {
            tc[i] = m[i][i + 1];
        }
    }
    ASSERT_EQ(
        dtridiagsolve(ta.data(), tb.data(), tc.data(), r.data(), u.data(), gam.data(), 1e-9, n), 0);
    double** a = bandalloc(n, 1, 1);
    ASSERT_NE(a, nullptr);
    load(a, m, 1, 1);
    const std::vector<double> x = band_solve(a, n, 1, 1, rhs7);
    for (int i = 0; i < n; i++) {
        EXPECT_NEAR(x[i], u[i], 1e-13) << i;
    }
    bandfree(a, n);
}

TEST(BandLu, UnequalBandwidthsMatchDenseSolve) {
    const int n = 7, p = 2, q = 1;
    const DenseMatrix m = dominant(n, p, q);
    double** a = bandalloc(n, p, q);
    ASSERT_NE(a, nullptr);
    load(a, m, p, q);
    const std::vector<double> x = band_solve(a, n, p, q, rhs7);
    const std::vector<double> want = dense_solve(m, rhs7);
    for (int i = 0; i < n; i++) {
        EXPECT_NEAR(x[i], want[i], 1e-13) << i;
    }
    bandfree(a, n);
}

TEST(BandLu, FullMatrixWithFullBandwidthMatchesDenseSolve) {
    const int n = 7;
    const DenseMatrix m = dominant(n, n, n);
    double** a = matalloc(n, n);
    ASSERT_NE(a, nullptr);
    load(a, m, n, n);
    const std::vector<double> x = band_solve(a, n, n - 1, n - 1, rhs7);
    const std::vector<double> want = dense_solve(m, rhs7);
    for (int i = 0; i < n; i++) {
        EXPECT_NEAR(x[i], want[i], 1e-13) << i;
    }
    matfree(a, n);
}

TEST(BandLu, PivotTestIsStrict) {
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
}

TEST(BandLu, OrderOneIsNotExamined) {
    double** a = matalloc(1, 1); // a[0][0] = 0, below any tolerance
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
    a[0][0] = 1.0;
    a[0][1] = 2.0;
    a[1][1] = 3.0;
    a[1][2] = -4.5;
    a[2][2] = 5.0;
    a[2][3] = 99.0; // band cell outside the matrix: never printed
    const std::string got = capture([&](FILE* f) { EXPECT_EQ(bandshow(f, a, 3, 0, 1, "T"), 0); });
    const std::string want = "banded matrix n=3,p=0,q=1: T\n"
                             "  0,         1.000,         2.000,         0.000,\n"
                             "  1,         0.000,         3.000,        -4.500,\n"
                             "  2,         0.000,         0.000,         5.000,\n";
    EXPECT_EQ(got, want);
    bandfree(a, 3);
}

TEST(BandUnit, PassesAndSaysSo) {
    const std::string got = capture([](FILE* f) { EXPECT_EQ(bandunit(f, 5), 0); });
    EXPECT_EQ(got, "bandunit passed unit test OK, n=5\n");
    EXPECT_EQ(bandunit(nullptr, 1), 0);
    EXPECT_EQ(bandunit(nullptr, 40), 0);
}
