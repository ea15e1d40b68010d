// Tridiagonal solver, product, row access and inverse band, checked against
// hand-derived values and a dense reference solve.
#include "tridiagonal.h"
#include "dense_solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// A diagonally dominant test system of order 6 and its dense form; a[0] and c[5]
// lie outside the matrix and are NaN, so reading them spoils every result.
const std::vector<double> ta{NAN, 1.0, -0.5, 2.0, 0.25, -1.0}, tb{4.0, 5.0, 3.0, 6.0, 2.5, 4.0},
    tc{1.5, -2.0, 1.0, 0.5, 1.0, NAN}, tr{1.0, -2.0, 3.0, 0.5, -1.5, 2.0};

DenseMatrix tri_dense() {
    DenseMatrix m(6, std::vector<double>(6, 0.0));
    m[0][0] = tb[0];
    for (size_t i = 1; i < 6; i++) {
        m[i][i] = tb[i];
        m[i][i - 1] = ta[i];
        m[i - 1][i] = tc[i - 1];
    }
    return m;
}

template <typename T> std::vector<T> as(const std::vector<double>& v) {
    return std::vector<T>(v.begin(), v.end());
}

} // namespace

TEST(TridiagSolve, BothPrecisionsMatchDenseSolveAndTheProductInvertsIt) {
    std::vector<double> a = ta, b = tb, c = tc, r = tr, u(6), gam(6), back(6);
    ASSERT_EQ(dtridiagsolve(a.data(), b.data(), c.data(), r.data(), u.data(), gam.data(), 1e-12, 6),
              0);
    EXPECT_EQ(r, tr); // the right-hand side is left alone
    std::vector<float> fa = as<float>(ta), fb = as<float>(tb), fc = as<float>(tc),
                       fr = as<float>(tr), fu(6), fgam(6), fback(6);
    ASSERT_EQ(
        tridiagsolve(fa.data(), fb.data(), fc.data(), fr.data(), fu.data(), fgam.data(), 1e-6f, 6),
        0);
    dtrimulvec(a.data(), b.data(), c.data(), u.data(), back.data(), 6);
    trimulvec(fa.data(), fb.data(), fc.data(), fu.data(), fback.data(), 6);
    const std::vector<double> want = dense_solve(tri_dense(), tr);
    for (int i = 0; i < 6; i++) {
        EXPECT_NEAR(u[i], want[i], 1e-12) << i;
        EXPECT_NEAR(fu[i], want[i], 1e-5) << i;
        EXPECT_NEAR(back[i], tr[i], 1e-12) << i;
        EXPECT_NEAR(fback[i], tr[i], 1e-5) << i;
    }
}

TEST(TridiagSolve, PivotTestsAndSmallOrdersOfSolverAndProduct) {
    float a[2] = {0.0f, 0.0f}, b[2] = {0.5f, 1.0f}, c[2] = {0.0f, 0.0f}, r[2] = {1.0f, 1.0f};
    float u[2], gam[2];
    EXPECT_EQ(tridiagsolve(a, b, c, r, u, gam, 0.5f, 2), -1); // |pivot| <= tol fails
    b[0] = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(tridiagsolve(a, b, c, r, u, gam, 0.5f, 2), 0);
    // Second pivot: 1 - 1 * (1 / 2) = 0.5, equal to tol; the partial result stays.
    double da[2] = {9.0, 1.0}, db[2] = {2.0, 1.0}, dc[2] = {1.0, 9.0}, dr[2] = {1.0, 1.0};
    double du[2], dg[2];
    EXPECT_EQ(dtridiagsolve(da, db, dc, dr, du, dg, 0.5, 2), -2);
    EXPECT_EQ(du[0], 0.5);
    // Order 1 (one-element arrays) reads only b[0] and r[0]; a NaN pivot passes.
    double a1 = 9.0, b1 = 2.0, c1 = 9.0, r1 = 6.0, u1 = 0.0, g1 = 0.0;
    EXPECT_EQ(dtridiagsolve(&a1, &b1, &c1, &r1, &u1, &g1, 1e-6, 1), 0);
    EXPECT_EQ(u1, 3.0);
    dtrimulvec(&a1, &b1, &c1, &r1, &u1, 1);
    EXPECT_EQ(u1, 12.0);
    b1 = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(dtridiagsolve(&a1, &b1, &c1, &r1, &u1, &g1, 1e-6, 1), 0);
    EXPECT_TRUE(std::isnan(u1));
    EXPECT_EQ(dtridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1e-6, 0), 0);
    EXPECT_EQ(tridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1e-6f, -3), 0);
}

TEST(TriRows, GetRowsInsideAndOutsideAndPutRowsIntoTheBandOnly) {
    double da[3] = {9.0, 1.0, 2.0}, db[3] = {3.0, 4.0, 5.0}, dc[3] = {6.0, 7.0, 9.0};
    const std::vector<std::vector<double>> want{{3, 6, 0}, {1, 4, 7}, {0, 2, 5}, {0, 0, 0}};
    for (int i = 0; i < 4; i++) {
        std::vector<double> row(3, -1.0);
        dtrigetrow(da, db, dc, row.data(), i, 3);
        EXPECT_EQ(row, want[i]) << i;
    }
    // Putting rows writes only the band.
    float a[3] = {-9.0f, 0.0f, 0.0f}, b[3] = {0.0f, 0.0f, 0.0f}, c[3] = {0.0f, 0.0f, -9.0f};
    float first[3] = {1.0f, 2.0f, 3.0f}, last[3] = {4.0f, 5.0f, 6.0f}, got[3];
    triputrow(a, b, c, first, 0, 3);
    triputrow(a, b, c, last, 2, 3);
    triputrow(a, b, c, last, -1, 3); // outside the matrix: no change
    triputrow(a, b, c, last, 3, 3);
    EXPECT_EQ(std::vector<float>(a, a + 3), (std::vector<float>{-9.0f, 0.0f, 5.0f}));
    EXPECT_EQ(std::vector<float>(b, b + 3), (std::vector<float>{1.0f, 0.0f, 6.0f}));
    EXPECT_EQ(std::vector<float>(c, c + 3), (std::vector<float>{2.0f, 0.0f, -9.0f}));
    trigetrow(a, b, c, got, 0, 3);
    EXPECT_EQ(std::vector<float>(got, got + 3), (std::vector<float>{1.0f, 2.0f, 0.0f}));
}

TEST(TriInvert, MatchesDenseInverseLeavesTheMatrixAndRefusesSmallPivots) {
    std::vector<float> a = as<float>(ta), b = as<float>(tb), c = as<float>(tc);
    std::vector<float> d(6, 7.0f), e(6), f(6, 7.0f);
    ASSERT_EQ(triadiaginvert(a.data(), b.data(), c.data(), d.data(), e.data(), f.data(), 1e-6f, 6),
              0);
    EXPECT_EQ(b, as<float>(tb));
    EXPECT_EQ(d[0], 0.0f);
    EXPECT_EQ(f[5], 0.0f);
    for (int j = 0; j < 6; j++) {
        std::vector<double> unit(6, 0.0);
        unit[j] = 1.0;
        const std::vector<double> col = dense_solve(tri_dense(), unit); // column j of the inverse
        for (int i = std::max(0, j - 1); i <= std::min(5, j + 1); i++)
            EXPECT_NEAR(i < j ? f[i] : i > j ? d[i] : e[i], col[i], 1e-6) << i << "," << j;
    }
    // Small pivots fail: b[0] from the top; with b = (1, 1e-9) the forward pivots 1
    // and -1 pass and the first pivot from the bottom, 1e-9, fails.
    float sa[2] = {0.0f, 1.0f}, sb[2] = {1e-8f, 3.0f}, sc[2] = {1.0f, 0.0f}, sd[2], se[2], sf[2];
    EXPECT_EQ(triadiaginvert(sa, sb, sc, sd, se, sf, 1e-6f, 2), -1);
    sb[0] = 1.0f;
    sb[1] = 1e-9f;
    EXPECT_EQ(triadiaginvert(sa, sb, sc, sd, se, sf, 1e-6f, 2), -1);
    sb[0] = 4.0f; // order 1: the reciprocal
    EXPECT_EQ(triadiaginvert(sa, sb, sc, sd, se, sf, 1e-6f, 1), 0);
    EXPECT_EQ(se[0], 0.25f);
}
