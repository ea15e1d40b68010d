// The numerical tools of the library against hand-derived answers: random numbers (their
// first draws, worked out with exact integer arithmetic, (a * s) mod m, and for the Gaussian
// pairs single-precision rounding of each step), tridiagonal and band systems with
// hand-picked solutions, heap sorts against std::sort; the natural splines by hand and
// against each other.
#include "banded.h"
#include "errva.h"
#include "heapsort.h"
#include "splinefunc.h"
#include "tridiagonal.h"
#include "ugran.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <string>
#include <vector>

// Must run first in this program: it checks the state the library starts in.  20000 draws
// from large seeds reach states where a * s overflows 32 bits; seeds outside 1 .. 214783399
// fall back to 345678 and 456789; Gaussian deviates come in pairs, and a new seed keeps the
// stored second one.
TEST(Tools, UniformDrawsReseedingAndGaussianPairs) {
    for (double want : {0.8556144787377876, 0.024692028036942502, 0.1133335799135839})
        EXPECT_EQ(uniform_pure(), want);
    uniformseed(2147, 999);
    for (int i = 0; i < 19999; i++)
        ASSERT_TRUE(uniform_pure() > 0.0) << i;
    EXPECT_EQ(uniform_pure(), 0.9478980360939402);
    uniformseed(0, 214783400);
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(345678, 456789));
    uniformseed(214783399, 1);
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(214783399, 1));
    uniformseed(12345, 67890);
    const float pairs[] = {0.04893886297941208f, -1.1760822534561157f, 1.535273790359497f,
                           -0.6184790134429932f, -0.1218239963054657f, -0.3458266258239746f};
    for (int k = 0; k < 6; k++) {
        if (k == 5)
            uniformseed(7, 8);
        EXPECT_EQ(gasdev_pure(), pairs[k]) << k;
    }
}

TEST(Tools, TridiagonalSystemProductInverseRowsAndPivots) {
    // M = [[2, 1, 0], [3, 4, 1], [0, 2, 5]]; a[0] and c[2] lie outside it (NaN: a read spoils
    // the result); x = (1, -1, 2) gives r = (1, 1, 8); the inverse is adj(M) / 21.
    float a[3] = {NAN, 3, 2}, b[3] = {2, 4, 5}, c[3] = {1, 1, NAN}, r[3] = {1, 1, 8}, u[3], g[3];
    const double x[3] = {1, -1, 2}, adj[9] = {0, -15, -4, 18, 10, 5, -5, -2, 0};
    ASSERT_EQ(tridiagsolve(a, b, c, r, u, g, 1e-6f, 3), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_NEAR(u[i], x[i], 1e-6) << i;
    trimulvec(a, b, c, r, u, 3);
    EXPECT_EQ(std::vector<float>(u, u + 3), (std::vector<float>{3, 15, 42})); // M r
    float inv[3][3]; // below, on and above the diagonal
    ASSERT_EQ(triadiaginvert(a, b, c, inv[0], inv[1], inv[2], 1e-6f, 3), 0);
    for (int k = 0; k < 9; k++)
        EXPECT_NEAR(inv[k / 3][k % 3], adj[k] / 21, 1e-6) << k;
    // |pivot| <= tol fails the solver (first pivot, then the second: 1 - 1 * 1/2), while the
    // inverse fails below tol only (forward, then from the bottom); order 0 does nothing.
    float pa[2] = {0, 1}, pb[2] = {0.5f, 1}, pc[2] = {1, 0}, pr[2] = {1, 1};
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -1);
    pb[0] = 2;
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -2);
    EXPECT_EQ(u[0], 0.5f);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.5f, 2), 0);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.6f, 2), -1);
    pb[1] = 1e-9f;
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 1e-6f, 2), -1);
    EXPECT_EQ(dtridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1, 0), 0);
}

TEST(Tools, BandSystemPivotTestPrinterAndSelfTest) {
    // Bandwidths 1 below and 2 above; x = (1, 2, -1, 1) gives r = (4, 11, -1, 2).  Band
    // cells outside the matrix hold NaN.
    const double m[4][4] = {{4, 1, 2, 0}, {1, 5, 1, 1}, {0, 2, 6, 1}, {0, 0, 1, 3}};
    double **a = bandalloc(4, 1, 2), x[4] = {4, 11, -1, 2}, want[4] = {1, 2, -1, 1};
    for (int i = 0; i < 4; i++)
        for (int j = i - 1; j <= i + 2; j++) {
            EXPECT_EQ(a[i][j], 0.0) << i << "," << j; // every cell zeroed, its own
            a[i][j] = j < 0 || j > 3 ? NAN : m[i][j];
        }
    EXPECT_EQ(bandlufact(a, 4, 1, 2, 1e-6f) + bandluforsubst(a, 4, 1, 2, x) +
                  bandlubaksubst(a, 4, 1, 2, x),
              0);
    for (int i = 0; i < 4; i++)
        EXPECT_NEAR(x[i], want[i], 1e-14) << i;
    bandfree(a, 4);
    EXPECT_TRUE(!bandalloc(-1, 1, 1) && !bandalloc(3, -1, 1) && !matalloc(2, -5) &&
                !matalloc(INT_MAX, INT_MAX) && !bandalloc(INT_MAX - 1, INT_MAX / 4, INT_MAX / 4));
    // A pivot below the float tolerance widened to double fails, one equal to it passes;
    // the last pivot (here 0) is never examined.
    a = matalloc(2, 2);
    a[0][0] = 0.5e-6, a[0][1] = a[1][0] = 2, a[1][1] = 4 / double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), -1);
    a[0][0] = double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), 0);
    EXPECT_EQ(a[1][0], 2 / double(1e-6f));
    testing::internal::CaptureStdout(); // shown as a band 0 below, 1 above: a[1][0] lies outside
    bandshow(stdout, a, 2, 0, 1, "T");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "banded matrix n=2,p=0,q=1: T\n  0,         0.000,         2.000,\n"
              "  1,         0.000,         0.000,\n");
    matfree(a, 2);
    EXPECT_EQ(bandunit(nullptr, 5) + bandunit(nullptr, 40), 0); // the self-test passes
}

TEST(Tools, HeapSorts) {
    std::mt19937 gen(7);
    for (int n : {0, 2, 3, 7, 101})
        for (int kind = 0; kind < 3; kind++) { // ascending, descending, many duplicates
            std::vector<double> v(n);
            for (int i = 0; i < n; i++)
                v[i] = kind == 0 ? i : kind == 1 ? n - i : double(int(gen() % 41) - 20) / 4;
            std::vector<float> f(v.begin(), v.end());
            std::vector<double> want = v;
            std::sort(want.begin(), want.end());
            heapsort(n, f.data()); // fewer than two elements: nothing is touched
            heapsortd(n, v.data());
            EXPECT_TRUE(v == want && std::vector<double>(f.begin(), f.end()) == want) << n << kind;
        }
}

TEST(Splines, MemberMatchesTheOtherSplinesAndPropagation) {
    // The member's value against the spline table and the one-based pair (natural ends:
    // 1e30) on a table long enough for heap storage; the spline is linear in the samples, so
    // moving sample j by 1 moves y by its weight: sigma^2 = sum of weight^2 sigma_j^2.  Points
    // in the first and last intervals and on the last sample check the ends of the table.
    const int n = 140;
    double xa[n + 1] = {NAN}, ya[n + 1] = {NAN}, y2[n + 1], sa[n], *x = xa + 1, *y = ya + 1;
    for (int i = 0; i < n; ++i) {
        x[i] = i + 0.25 * (i % 3);
        y[i] = std::pow(x[i] / 20, 3) - x[i] / 10 + (i % 5 == 2);
        sa[i] = 0.5 + 0.25 * (i % 4);
    }
    nrspline(xa, ya, n, 1e30, 1e30, y2);
    spline_table* t = nullptr;
    ASSERT_EQ(splinetab(n, x, y, nullptr, &t), 0);
    for (double at : {0.4, 70.1, 138.6, x[n - 1]}) {
        double y0 = 0, ys = 0, y1 = 0, unused = 0, var = 0, pair = 0, table = 0;
        int flags = 0;
        ASSERT_EQ(errva_global.spline_interp(y0, ys, flags, at, n, x, y, sa), 0);
        nrsplint(xa, ya, y2, n, at, &pair);
        EXPECT_EQ(splineinterp(at, 0, &table, &unused, t), 0);
        EXPECT_TRUE(std::fabs(y0 - pair) < 1e-12 && std::fabs(y0 - table) < 1e-12) << at;
        for (int j = 0; j < n; ++j) {
            y[j] += 1.0;
            errva_global.spline_interp(y1, unused, flags, at, n, x, y, sa);
            y[j] -= 1.0;
            var += (y1 - y0) * (y1 - y0) * sa[j] * sa[j];
        }
        EXPECT_NEAR(ys, std::sqrt(var), 1e-12) << "x " << at;
    }
    splinefree(t);
}

TEST(Splines, TableByHandEndsUnusableSamplesAndEndSlopes) {
    // x = 0, 1, 2: the middle row reads ypp1 * 2/3 = (0 - 1) - (1 - 0); the columns of R^-1
    // are (1, -1/4, 0), (0, 3/2, 0), (0, -1/4, 1).  Float samples give the same table.
    double hx[3] = {0, 1, 2}, hy[3] = {0, 1, 0}, hs[3] = {1, 2, 3}, want[3] = {1.25, 9, 9.25};
    float fx[3] = {0, 1, 2}, fy[3] = {0, 1, 0}, fs[3] = {1, 2, 3};
    spline_table *h = nullptr, *f = nullptr;
    ASSERT_EQ(splinetab(3, hx, hy, hs, &h) + splinetab_float(3, fx, fy, fs, &f), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(std::fabs(h->ypp[i] + 3 * (i == 1)) < 1e-14 && f->ypp[i] == h->ypp[i] &&
                    std::fabs(h->ypp_sigma[i] - std::sqrt(want[i])) < 1e-14 &&
                    f->ypp_sigma[i] == h->ypp_sigma[i])
            << i;
    // Rows of x, x_sigma, code, y, y_sigma.  At 0.5: A = B = 1/2, C = D = -1/16, y = 1/2 +
    // 3/16; the sample sigmas enter through A and B alone, x_sigma through the slope 1 + (3/4
    // - 1)/6 * -3 = 9/8; outside, the end lines with the end sigmas; NaN is never looked up.
    const double at[4][5] = {{0.5, 0.4, 0, 0.6875, std::sqrt(1.25 + 0.2025)},
                             {-1, 0.2, -1, -1, 1},
                             {4, 0.2, -2, -2, 3},
                             {NAN, 0, -1, NAN, NAN}};
    for (const auto& r : at) {
        double y = 0, ys = 0;
        EXPECT_EQ(splineinterp(r[0], r[1], &y, &ys, h), int(r[2])) << r[0];
        EXPECT_TRUE((std::fabs(y - r[3]) < 1e-14 && std::fabs(ys - r[4]) < 1e-14) ||
                    (std::isnan(r[3]) && std::isnan(y) && std::isnan(ys)))
            << r[0] << ": " << y << " " << ys;
    }
    // Fewer than two samples: no table.  Repeated or descending abscissae, a pivot below 1e-6
    // (spacings of 1e-6: the middle pivot is 4e-6/6): -1, the table handed over with NaN
    // curvatures.
    splinefree(f);
    EXPECT_EQ(splinetab(1, hx, hy, nullptr, &f), -1);
    EXPECT_EQ(f, nullptr);
    for (const auto& bad : {std::make_pair(1.0, 1.0), {1.0, -1.0}, {1e-6, 2e-6}}) {
        hx[1] = bad.first, hx[2] = bad.second;
        EXPECT_EQ(splinetab(3, hx, hy, nullptr, &f), -1);
        EXPECT_TRUE(std::isnan(f->ypp[1]) && std::isnan(f->ypp_sigma[2]));
        splinefree(f);
    }
    splinefree(h);
    // One-based: y = x^2 with its true end slopes 0 and 4 is the parabola.
    double px[4] = {NAN, 0, 1, 2}, py[4] = {NAN, 0, 1, 4}, y2[4] = {NAN}, v = 0;
    nrspline(px, py, 3, 0.0, 4.0, y2);
    nrsplint(px, py, y2, 3, 1.5, &v);
    EXPECT_TRUE(std::isnan(y2[0]) && std::fabs(y2[1] - 2) + std::fabs(y2[3] - 2) < 1e-14);
    EXPECT_NEAR(v, 2.25, 1e-14);
}

TEST(Splines, DriverTablesAndRepeatsEndTheProcess) {
    // The driver prints its tables: order 2 on [0, 1] is y = x (x - 1), so ypp_calc is 2 at
    // the last sample.
    testing::internal::CaptureStdout();
    spline_test();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("n,order,sigmay,sigmax\n6,2,0.010000,0.000000\n", 0), 0u);
    EXPECT_NE(out.find("2,0.400000,-0.240000,0.000000,"), std::string::npos); // 0.4 (0.4 - 1)
    EXPECT_NE(out.find("5,1.000000,0.000000,0.000000,0.000000,0.000000,2.000000\n"), out.npos);
    // Two equal abscissae around x end the process with the message and status 1.
    double px[3] = {NAN, 1, 1}, v = 0;
    EXPECT_EXIT(
        {
            dup2(2, 1); // the message goes to standard output
            nrsplint(px, px, px, 2, 1.0, &v);
        },
        testing::ExitedWithCode(1), "^Bad xa input to routine splint$");
}
