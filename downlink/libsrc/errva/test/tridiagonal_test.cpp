// Tridiagonal solver, product, row access and inverse band, checked against
// hand-derived values and a dense reference solve.
#include "tridiagonal.h"
#include "dense_solve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// A diagonally dominant test system of order 6 (double).
struct TriSystem {
    std::vector<double> a{0.0, 1.0, -0.5, 2.0, 0.25, -1.0};
    std::vector<double> b{4.0, 5.0, 3.0, 6.0, 2.5, 4.0};
    std::vector<double> c{1.5, -2.0, 1.0, 0.5, 1.0, 0.0};
    std::vector<double> r{1.0, -2.0, 3.0, 0.5, -1.5, 2.0};

    DenseMatrix dense() const {
        const size_t n = b.size();
        DenseMatrix m(n, std::vector<double>(n, 0.0));
        for (size_t i = 0; i < n; i++) {
            m[i][i] = b[i];
            if (i > 0) {
                m[i][i - 1] = a[i];
            }
            if (i + 1 < n) {
                m[i][i + 1] = c[i];
            }
        }
        return m;
    }
};

std::vector<float> to_float(const std::vector<double>& v) {
    return std::vector<float>(v.begin(), v.end());
}

} // namespace

TEST(TridiagSolve, IdentityReturnsRightHandSide) {
    std::vector<double> a(4, 0.0), b(4, 1.0), c(4, 0.0), r{3.0, -1.0, 2.5, 7.0}, u(4), gam(4);
    EXPECT_EQ(dtridiagsolve(a.data(), b.data(), c.data(), r.data(), u.data(), gam.data(), 1e-9, 4),
              0);
    EXPECT_EQ(u, r);
}

TEST(TridiagSolve, DoubleMatchesDenseSolve) {
    TriSystem s;
    std::vector<double> u(6), gam(6);
    const std::vector<double> r0 = s.r;
    ASSERT_EQ(dtridiagsolve(s.a.data(), s.b.data(), s.c.data(), s.r.data(), u.data(), gam.data(),
                            1e-12, 6),
              0);
    const std::vector<double> want = dense_solve(s.dense(), s.r);
    for (int i = 0; i < 6; i++) {
        EXPECT_NEAR(u[i], want[i], 1e-12) << i;
    }
    EXPECT_EQ(s.r, r0);
}

TEST(TridiagSolve, FloatMatchesDenseSolve) {
    TriSystem s;
    std::vector<float> a = to_float(s.a), b = to_float(s.b), c = to_float(s.c), r = to_float(s.r);
    std::vector<float> u(6), gam(6);
    ASSERT_EQ(tridiagsolve(a.data(), b.data(), c.data(), r.data(), u.data(), gam.data(), 1e-6f, 6),
              0);
    const std::vector<double> want = dense_solve(s.dense(), s.r);
    for (int i = 0; i < 6; i++) {
        EXPECT_NEAR(u[i], want[i], 1e-5) << i;
    }
}

TEST(TridiagSolve, PivotEqualToToleranceFails) {
    float a[2] = {0.0f, 0.0f}, b[2] = {0.5f, 1.0f}, c[2] = {0.0f, 0.0f}, r[2] = {1.0f, 1.0f};
    float u[2], gam[2];
    EXPECT_EQ(tridiagsolve(a, b, c, r, u, gam, 0.5f, 2), -1);
    b[0] = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(tridiagsolve(a, b, c, r, u, gam, 0.5f, 2), 0);
    // Second pivot: 1 - 1 * (1 / 2) = 0.5, equal to tol.
    double da[2] = {0.0, 1.0}, db[2] = {2.0, 1.0}, dc[2] = {1.0, 0.0}, dr[2] = {1.0, 1.0};
    double du[2], dg[2];
    EXPECT_EQ(dtridiagsolve(da, db, dc, dr, du, dg, 0.5, 2), -2);
    EXPECT_EQ(du[0], 0.5); // partial result left in place
}

TEST(TridiagSolve, NanPivotPassesTheTest) {
    double a[1] = {0.0}, b[1] = {std::numeric_limits<double>::quiet_NaN()}, c[1] = {0.0};
    double r[1] = {1.0}, u[1] = {0.0}, gam[1];
    EXPECT_EQ(dtridiagsolve(a, b, c, r, u, gam, 1e-6, 1), 0);
    EXPECT_TRUE(std::isnan(u[0]));
}

TEST(TridiagSolve, SmallOrdersStayInsideTheArrays) {
    double a[1] = {9.0}, b[1] = {2.0}, c[1] = {9.0}, r[1] = {6.0}, u[1], gam[1] = {-7.0};
    EXPECT_EQ(dtridiagsolve(a, b, c, r, u, gam, 1e-6, 1), 0);
    EXPECT_EQ(u[0], 3.0);
    EXPECT_EQ(gam[0], -7.0);
    EXPECT_EQ(dtridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1e-6, 0), 0);
    EXPECT_EQ(tridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1e-6f, -3), 0);
}

TEST(TriMulVec, OrderTwoUsesOnlyItsFourElements) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float a[2] = {nan, 3.0f}, b[2] = {1.0f, 4.0f}, c[2] = {2.0f, nan}, x[2] = {5.0f, 6.0f}, y[2];
    trimulvec(a, b, c, x, y, 2);
    EXPECT_EQ(y[0], 1.0f * 5.0f + 2.0f * 6.0f);
    EXPECT_EQ(y[1], 3.0f * 5.0f + 4.0f * 6.0f);
    double da[1] = {nan}, db[1] = {2.5}, dc[1] = {nan}, dx[1] = {4.0}, dy[1];
    dtrimulvec(da, db, dc, dx, dy, 1);
    EXPECT_EQ(dy[0], 10.0);
}

TEST(TriMulVec, InvertsTheSolver) {
    TriSystem s;
    std::vector<double> u(6), gam(6), back(6);
    ASSERT_EQ(dtridiagsolve(s.a.data(), s.b.data(), s.c.data(), s.r.data(), u.data(), gam.data(),
                            1e-12, 6),
              0);
    dtrimulvec(s.a.data(), s.b.data(), s.c.data(), u.data(), back.data(), 6);
    for (int i = 0; i < 6; i++) {
        EXPECT_NEAR(back[i], s.r[i], 1e-12) << i;
    }
}

TEST(TriRows, GetRowAtBothEndsAndInside) {
    double a[3] = {9.0, 1.0, 2.0}, b[3] = {3.0, 4.0, 5.0}, c[3] = {6.0, 7.0, 9.0};
    double row[3] = {-1.0, -1.0, -1.0};
    dtrigetrow(a, b, c, row, 0, 3);
    EXPECT_EQ(std::vector<double>(row, row + 3), (std::vector<double>{3.0, 6.0, 0.0}));
    dtrigetrow(a, b, c, row, 1, 3);
    EXPECT_EQ(std::vector<double>(row, row + 3), (std::vector<double>{1.0, 4.0, 7.0}));
    dtrigetrow(a, b, c, row, 2, 3);
    EXPECT_EQ(std::vector<double>(row, row + 3), (std::vector<double>{0.0, 2.0, 5.0}));
    dtrigetrow(a, b, c, row, 3, 3);
    EXPECT_EQ(std::vector<double>(row, row + 3), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(TriRows, PutRowWritesOnlyTheBand) {
    float a[3] = {-9.0f, 0.0f, 0.0f}, b[3] = {0.0f, 0.0f, 0.0f}, c[3] = {0.0f, 0.0f, -9.0f};
    float first[3] = {1.0f, 2.0f, 3.0f}, last[3] = {4.0f, 5.0f, 6.0f};
    triputrow(a, b, c, first, 0, 3);
    triputrow(a, b, c, last, 2, 3);
    EXPECT_EQ(a[0], -9.0f);
    EXPECT_EQ(b[0], 1.0f);
    EXPECT_EQ(c[0], 2.0f);
    EXPECT_EQ(a[2], 5.0f);
    EXPECT_EQ(b[2], 6.0f);
    EXPECT_EQ(c[2], -9.0f);
    float got[3];
    trigetrow(a, b, c, got, 0, 3);
    EXPECT_EQ(std::vector<float>(got, got + 3), (std::vector<float>{1.0f, 2.0f, 0.0f}));
    triputrow(a, b, c, first, -1, 3); // outside the matrix: no change
    EXPECT_EQ(a[0], -9.0f);
}

TEST(TriInvert, TwoByTwoByHand) {
    // M = [[2, 1], [1, 3]], det 5: inverse [[3/5, -1/5], [-1/5, 2/5]].
    float a[2] = {0.0f, 1.0f}, b[2] = {2.0f, 3.0f}, c[2] = {1.0f, 0.0f};
    float d[2] = {7.0f, 7.0f}, e[2], f[2] = {7.0f, 7.0f};
    ASSERT_EQ(triadiaginvert(a, b, c, d, e, f, 1e-6f, 2), 0);
    EXPECT_NEAR(e[0], 0.6f, 1e-7);
    EXPECT_NEAR(e[1], 0.4f, 1e-7);
    EXPECT_NEAR(f[0], -0.2f, 1e-7);
    EXPECT_NEAR(d[1], -0.2f, 1e-7);
    EXPECT_EQ(d[0], 0.0f);
    EXPECT_EQ(f[1], 0.0f);
    EXPECT_EQ(b[0], 2.0f); // the matrix is left as it was
}

TEST(TriInvert, MatchesDenseInverse) {
    TriSystem s;
    std::vector<float> a = to_float(s.a), b = to_float(s.b), c = to_float(s.c);
    std::vector<float> d(6), e(6), f(6);
    ASSERT_EQ(triadiaginvert(a.data(), b.data(), c.data(), d.data(), e.data(), f.data(), 1e-6f, 6),
              0);
    for (int j = 0; j < 6; j++) {
        std::vector<double> unit(6, 0.0);
        unit[j] = 1.0;
        const std::vector<double> col = dense_solve(s.dense(), unit); // column j of the inverse
        EXPECT_NEAR(e[j], col[j], 1e-6) << j;
        if (j > 0) {
            EXPECT_NEAR(f[j - 1], col[j - 1], 1e-6) << j;
        }
        if (j < 5) {
            EXPECT_NEAR(d[j + 1], col[j + 1], 1e-6) << j;
        }
    }
}

TEST(TriInvert, SmallPivotFails) {
    float a[2] = {0.0f, 1.0f}, b[2] = {1e-8f, 3.0f}, c[2] = {1.0f, 0.0f}, d[2], e[2], f[2];
    EXPECT_EQ(triadiaginvert(a, b, c, d, e, f, 1e-6f, 2), -1);
    // Forward pivots 1 and -1 pass; the first pivot from the bottom is b[1] = 1e-9.
    float a2[2] = {0.0f, 1.0f}, b2[2] = {1.0f, 1e-9f}, c2[2] = {1.0f, 0.0f};
    EXPECT_EQ(triadiaginvert(a2, b2, c2, d, e, f, 1e-6f, 2), -1);
}
