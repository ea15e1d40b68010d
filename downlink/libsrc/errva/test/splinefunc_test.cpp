// Spline tables: construction, rejection of unusable samples, evaluation and
// its sigma, the one-based spline pair and the table printer.
#include "splinefunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Table {
    spline_table* t = nullptr;
    int rc = 0;
    Table(std::vector<double> x, std::vector<double> y, std::vector<double> sigma = {}) {
        rc = splinetab((int)x.size(), x.data(), y.data(), sigma.empty() ? nullptr : sigma.data(),
                       &t);
    }
    ~Table() { splinefree(t); }
    // splineinterp at x with abscissa sigma xs: code, value and sigma (NaN for NaN).
    void expect_at(double x, double xs, int rc, double y, double ys, double tol = 0.0) const {
        double gy = 0.0, gs = 0.0;
        EXPECT_EQ(splineinterp(x, xs, &gy, &gs, t), rc) << x;
        EXPECT_TRUE(std::isnan(y) ? std::isnan(gy) : std::fabs(gy - y) <= tol) << x << ": " << gy;
        EXPECT_TRUE(std::isnan(ys) ? std::isnan(gs) : std::fabs(gs - ys) <= tol) << x << ": " << gs;
    }
};

// Elements of got against want within tol (0: exactly).
void expect_near(const double* got, const std::vector<double>& want, double tol) {
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_NEAR(got[i], want[i], tol) << i;
}

} // namespace

TEST(SplineTable, ByHandFromDoublesAndFloats) {
    // y = 2x + 1 with and without sigmas: no curvature, the sample sigmas add in
    // quadrature (on [1, 2.5] at 1.7: A = 8/15, B = 7/15) and x_sigma enters through
    // the slope 2.  Null sigmas give zero sigmas.
    Table s({0.0, 1.0, 2.5, 4.0}, {1.0, 3.0, 6.0, 9.0}, {0.1, 0.2, 0.3, 0.4});
    Table n({0.0, 1.0, 2.5, 4.0}, {1.0, 3.0, 6.0, 9.0});
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(n.rc, 0);
    expect_near(s.t->ypp, {0.0, 0.0, 0.0, 0.0}, 1e-14);
    s.expect_at(1.7, 0.0, 0, 4.4, std::sqrt(1.6 * 1.6 + 2.1 * 2.1) / 15.0, 1e-14);
    n.expect_at(2.0, 0.5, 0, 5.0, 1.0, 1e-14);
    expect_near(n.t->y_sigma, {0.0, 0.0, 0.0, 0.0}, 0.0);
    expect_near(n.t->ypp_sigma, {0.0, 0.0, 0.0, 0.0}, 0.0);
    // x = 0, 1, 2: the middle row reads ypp1 * 2/3 = (0 - 1) - (1 - 0); the columns of
    // R^-1 are (1, -1/4, 0), (0, 3/2, 0), (0, -1/4, 1).
    Table h({0.0, 1.0, 2.0}, {0.0, 1.0, 0.0}, {1.0, 2.0, 3.0});
    ASSERT_EQ(h.rc, 0);
    expect_near(h.t->ypp, {0.0, -3.0, 0.0}, 1e-14);
    expect_near(h.t->ypp_sigma, {std::sqrt(1.0 + 0.25), 3.0, std::sqrt(0.25 + 9.0)}, 1e-14);
    // Samples exact in float give the same table from splinetab_float.
    float xf[4] = {0.0f, 0.5f, 2.0f, 3.0f}, yf[4] = {1.0f, -2.0f, 0.25f, 4.0f};
    float sf[4] = {0.5f, 0.25f, 1.0f, 2.0f};
    Table d({0.0, 0.5, 2.0, 3.0}, {1.0, -2.0, 0.25, 4.0}, {0.5, 0.25, 1.0, 2.0});
    spline_table* tf = nullptr;
    ASSERT_EQ(splinetab_float(4, xf, yf, sf, &tf), 0);
    expect_near(tf->ypp, {d.t->ypp, d.t->ypp + 4}, 0.0);
    expect_near(tf->ypp_sigma, {d.t->ypp_sigma, d.t->ypp_sigma + 4}, 0.0);
    splinefree(tf);
}

TEST(SplineTable, RejectsUnusableSamples) {
    double x[1] = {1.0}, y[1] = {2.0};
    // Fewer than two samples: the caller's pointers are set to null.
    spline_table *t1 = reinterpret_cast<spline_table*>(x), *t2 = t1;
    EXPECT_EQ(splinetab(1, x, y, nullptr, &t1), -1);
    EXPECT_EQ(splinetab_alloc(1, &t2), -1);
    EXPECT_EQ(t1, nullptr);
    EXPECT_EQ(t2, nullptr);
    EXPECT_EQ(splinetab(0, x, y, nullptr, &t1), -1);
    EXPECT_EQ(splinetab_calc(nullptr), -1);
    splinefree(nullptr);
    // Repeated, descending or NaN abscissae: the table is still handed over.
    for (auto xs :
         {std::vector<double>{0.0, 1.0, 1.0, 2.0}, std::vector<double>{0.0, 2.0, 1.0, 3.0},
          std::vector<double>{0.0, NAN, 2.0, 3.0}}) {
        Table s(xs, {1.0, 2.0, 3.0, 4.0});
        EXPECT_EQ(s.rc, -1);
        ASSERT_NE(s.t, nullptr);
        for (int i = 0; i < 4; i++)
            EXPECT_TRUE(std::isnan(s.t->ypp[i]) && std::isnan(s.t->ypp_sigma[i])) << i;
    }
    EXPECT_EQ(Table({0.0, 1e-6, 2e-6}, {1.0, 2.0, 3.0}).rc, -1); // middle pivot 4e-6/6
}

TEST(SplineInterp, EndsOutsideNanAndSampleSigmas) {
    Table s({1.0, 2.0, 4.0}, {3.0, 5.0, 4.0}, {0.5, 0.75, 1.0});
    ASSERT_EQ(s.rc, 0);
    s.expect_at(1.0, 0.0, 0, 3.0, 0.5); // the samples themselves, exactly
    s.expect_at(4.0, 0.0, 0, 4.0, 1.0);
    s.expect_at(0.0, 0.2, -1, 1.0, 0.5); // 3 + (5 - 3) * (0 - 1) / (2 - 1)
    s.expect_at(6.0, 0.2, -2, 3.0, 1.0); // 4 + (4 - 5) * (6 - 4) / (4 - 2)
    s.expect_at(NAN, 0.0, -1, NAN, NAN); // never reads outside the table
    // Sample sigmas enter through A = B = 1/2 on a flat line.
    Table({0.0, 1.0, 3.0}, {5.0, 5.0, 5.0}, {0.3, 0.3, 0.3})
        .expect_at(0.5, 0.5, 0, 5.0, std::sqrt(2.0 * 0.15 * 0.15), 1e-14);
}

TEST(NrSpline, NaturalEndsMatchTheTableEndSlopesGiveAParabolaRepeatsEndTheProcess) {
    // One-based arrays: element 0 is never used.
    double x[6] = {NAN, 0.0, 0.5, 1.5, 2.0, 3.5}, y[6] = {NAN, 1.0, -1.0, 2.0, 0.0, 1.5}, y2[6];
    y2[0] = NAN;
    Table s({x + 1, x + 6}, {y + 1, y + 6});
    ASSERT_EQ(s.rc, 0);
    nrspline(x, y, 5, 1e30, 1e30, y2);
    EXPECT_TRUE(std::isnan(y2[0]));
    expect_near(y2 + 1, {s.t->ypp, s.t->ypp + 5}, 1e-12);
    for (double at : {0.0, 0.2, 0.5, 1.1, 1.9, 2.7, 3.5}) {
        double got = 0.0;
        nrsplint(x, y, y2, 5, at, &got);
        s.expect_at(at, 0.0, 0, got, 0.0, 1e-12);
    }
    // y = x^2 with its true end slopes 0 and 4: the spline is the parabola.
    double px[4] = {NAN, 0.0, 1.0, 2.0}, py[4] = {NAN, 0.0, 1.0, 4.0}, v = 0.0;
    nrspline(px, py, 3, 0.0, 4.0, y2);
    expect_near(y2 + 1, {2.0, 2.0, 2.0}, 1e-14);
    nrsplint(px, py, y2, 3, 1.5, &v);
    EXPECT_NEAR(v, 2.25, 1e-14);
    y2[1] = y2[2] = NAN; // two natural samples: a straight line
    nrspline(px, py, 2, 1e30, 1e30, y2);
    EXPECT_TRUE(y2[1] == 0.0 && y2[2] == 0.0);
    // Two equal abscissae around x end the process with the message and status 1.
    px[3] = 1.0;
    EXPECT_EXIT(
        {
            dup2(2, 1); // the message goes to standard output
            nrsplint(px, py, y2, 3, 1.0, &v);
        },
        testing::ExitedWithCode(1), "^Bad xa input to routine splint$");
}

TEST(SplinePrinters, ExactTableOutputAndTheDriversTables) {
    Table s({0.0, 2.0}, {1.0, 5.0});
    double ypp_calc[2] = {0.0, 0.0};
    testing::internal::CaptureStdout();
    splitest_showit(stdout, 2, s.t, "lbl", 1.5, ypp_calc);
    splitest_showit(stdout, 0, s.t, "x", 0.0, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "lbl 1.500000\n"
              "sptab, n=2\n"
              "i,x[i],y[i],y_sigma[i],ypp[i],ypp_sigma[i],ypp_calc[i]\n"
              "0,0.000000,1.000000,0.000000,0.000000,0.000000,0.000000\n"
              "1,2.000000,5.000000,0.000000,0.000000,0.000000,0.000000\n"
              "i,x,y,yinterp,yinterp_sigma\n"
              "0,0.000000,1.000000,1.000000,0.000000\n"
              "1,1.000000,3.000000,3.000000,0.000000\n"
              "2,2.000000,5.000000,5.000000,0.000000\n"
              "x 0.000000\nsptab, n=2\n"
              "i,x[i],y[i],y_sigma[i],ypp[i],ypp_sigma[i],ypp_calc[i]\n"
              "i,x,y,yinterp,yinterp_sigma\n");
    // The driver prints its tables on standard output.
    testing::internal::CaptureStdout();
    spline_test();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        out.rfind("n,order,sigmay,sigmax\n6,2,0.010000,0.000000\nexact y values, sigma= 0.000000\n",
                  0),
        0u);
    // Order 2 on [0, 1]: y = x (x - 1), so ypp_calc is 2; the last sample is
    // x = 1, y = 0 with the natural end value 0 and no sigma.
    for (const char* part :
         {"noisy y values, sigma= 0.010000\n", "NR spline table n=6\ni,x[i],y[i],ypp[i]\n",
          "5,1.000000,0.000000,0.000000,0.000000,0.000000,2.000000\n"})
        EXPECT_NE(out.find(part), std::string::npos) << part;
}
