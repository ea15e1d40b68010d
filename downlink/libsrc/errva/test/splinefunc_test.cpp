// Spline tables: construction, rejection of unusable samples, evaluation and
// its sigma, the one-based spline pair and the table printer.
#include "splinefunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Table {
    spline_table* t = nullptr;
    int rc = 0;
    Table(std::vector<double> x, std::vector<double> y, const double* sigma = nullptr) {
        rc = splinetab((int)x.size(), x.data(), y.data(), const_cast<double*>(sigma), &t);
    }
    ~Table() { splinefree(t); }
};

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

} // namespace

TEST(SplineTable, StraightLineHasNoCurvature) {
    const double sig[4] = {0.1, 0.2, 0.3, 0.4};
    Table s({0.0, 1.0, 2.5, 4.0}, {1.0, 3.0, 6.0, 9.0}, sig); // y = 2x + 1
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.t->ypp[0], 0.0);
    EXPECT_EQ(s.t->ypp[3], 0.0);
    EXPECT_NEAR(s.t->ypp[1], 0.0, 1e-14);
    EXPECT_NEAR(s.t->ypp[2], 0.0, 1e-14);
    double y = 0, ys = 0;
    EXPECT_EQ(splineinterp(1.7, 0.0, &y, &ys, s.t), 0);
    EXPECT_NEAR(y, 4.4, 1e-14);
}

TEST(SplineTable, ThreeSamplesByHand) {
    // x = 0, 1, 2: the middle row reads ypp1 * 2/3 = (0 - 1) - (1 - 0).
    const double sig[3] = {1.0, 2.0, 3.0};
    Table s({0.0, 1.0, 2.0}, {0.0, 1.0, 0.0}, sig);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.t->ypp[0], 0.0);
    EXPECT_NEAR(s.t->ypp[1], -3.0, 1e-14);
    EXPECT_EQ(s.t->ypp[2], 0.0);
    // Columns of R^-1: (1, -1/4, 0), (0, 3/2, 0), (0, -1/4, 1).
    EXPECT_NEAR(s.t->ypp_sigma[0], std::sqrt(1.0 + 0.25), 1e-14);
    EXPECT_NEAR(s.t->ypp_sigma[1], 3.0, 1e-14);
    EXPECT_NEAR(s.t->ypp_sigma[2], std::sqrt(0.25 + 9.0), 1e-14);
}

TEST(SplineTable, NullSigmaGivesZeroSigmas) {
    Table s({0.0, 1.0, 3.0, 4.0}, {2.0, -1.0, 5.0, 0.5});
    ASSERT_EQ(s.rc, 0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(s.t->y_sigma[i], 0.0);
        EXPECT_EQ(s.t->ypp_sigma[i], 0.0);
    }
}

TEST(SplineTable, FloatSamplesGiveTheSameTable) {
    float xf[4] = {0.0f, 0.5f, 2.0f, 3.0f}, yf[4] = {1.0f, -2.0f, 0.25f, 4.0f};
    float sf[4] = {0.5f, 0.25f, 1.0f, 2.0f};
    double xd[4] = {0.0, 0.5, 2.0, 3.0}, yd[4] = {1.0, -2.0, 0.25, 4.0};
    double sd[4] = {0.5, 0.25, 1.0, 2.0};
    spline_table *tf = nullptr, *td = nullptr;
    ASSERT_EQ(splinetab_float(4, xf, yf, sf, &tf), 0);
    ASSERT_EQ(splinetab(4, xd, yd, sd, &td), 0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(tf->ypp[i], td->ypp[i]);
        EXPECT_EQ(tf->ypp_sigma[i], td->ypp_sigma[i]);
    }
    splinefree(tf);
    splinefree(td);
}

TEST(SplineTableRejects, FewerThanTwoSamples) {
    double x[1] = {1.0}, y[1] = {2.0};
    spline_table* t = reinterpret_cast<spline_table*>(&x);
    EXPECT_EQ(splinetab(1, x, y, nullptr, &t), -1);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(splinetab(0, x, y, nullptr, &t), -1);
    EXPECT_EQ(splinetab_alloc(1, &t), -1);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(splinetab_calc(nullptr), -1);
    splinefree(nullptr);
}

TEST(SplineTableRejects, RepeatedOrDescendingAbscissae) {
    for (auto x : {std::vector<double>{0.0, 1.0, 1.0, 2.0}, std::vector<double>{0.0, 2.0, 1.0, 3.0},
                   std::vector<double>{0.0, NAN, 2.0, 3.0}}) {
        Table s(x, {1.0, 2.0, 3.0, 4.0});
        EXPECT_EQ(s.rc, -1);
        ASSERT_NE(s.t, nullptr); // the table is still handed over
        for (int i = 0; i < 4; i++) {
            EXPECT_TRUE(std::isnan(s.t->ypp[i]));
            EXPECT_TRUE(std::isnan(s.t->ypp_sigma[i]));
        }
    }
}

TEST(SplineTableRejects, PivotBelowTolerance) {
    Table s({0.0, 1e-6, 2e-6}, {1.0, 2.0, 3.0}); // middle pivot 4e-6/6
    EXPECT_EQ(s.rc, -1);
}

TEST(SplineInterp, AtTheFirstSampleAndBelowTheTable) {
    const double sig[3] = {0.5, 0.75, 1.0};
    Table s({1.0, 2.0, 4.0}, {3.0, 5.0, 4.0}, sig);
    ASSERT_EQ(s.rc, 0);
    double y = 0, ys = 0;
    EXPECT_EQ(splineinterp(1.0, 0.0, &y, &ys, s.t), 0);
    EXPECT_EQ(y, 3.0);
    EXPECT_EQ(ys, 0.5);
    EXPECT_EQ(splineinterp(0.0, 0.2, &y, &ys, s.t), -1);
    EXPECT_EQ(y, 1.0); // 3 + (5 - 3) * (0 - 1) / (2 - 1)
    EXPECT_EQ(ys, 0.5);
    EXPECT_EQ(splineinterp(6.0, 0.2, &y, &ys, s.t), -2);
    EXPECT_EQ(y, 3.0); // 4 + (4 - 5) * (6 - 4) / (4 - 2)
    EXPECT_EQ(ys, 1.0);
    EXPECT_EQ(splineinterp(4.0, 0.0, &y, &ys, s.t), 0);
    EXPECT_EQ(y, 4.0);
    EXPECT_EQ(ys, 1.0);
}

TEST(SplineInterp, AbscissaSigmaEntersThroughTheSlope) {
    Table line({0.0, 1.0, 3.0}, {1.0, 3.0, 7.0}); // y = 2x + 1, exact samples
    double y = 0, ys = 0;
    EXPECT_EQ(splineinterp(2.0, 0.5, &y, &ys, line.t), 0);
    EXPECT_NEAR(y, 5.0, 1e-14);
    EXPECT_NEAR(ys, 1.0, 1e-14);
    const double sig[3] = {0.3, 0.3, 0.3};
    Table flat({0.0, 1.0, 3.0}, {5.0, 5.0, 5.0}, sig);
    EXPECT_EQ(splineinterp(0.5, 0.5, &y, &ys, flat.t), 0);
    EXPECT_NEAR(y, 5.0, 1e-14);
    EXPECT_NEAR(ys, std::sqrt(2.0 * 0.15 * 0.15), 1e-14); // A = B = 1/2
}

TEST(SplineInterp, NanAbscissaStaysInsideTheTable) {
    Table s({0.0, 1.0}, {0.0, 1.0});
    double y = 0, ys = 0;
    EXPECT_EQ(splineinterp(NAN, 0.0, &y, &ys, s.t), -1);
    EXPECT_TRUE(std::isnan(y));
    EXPECT_TRUE(std::isnan(ys));
}

TEST(NrSpline, NaturalEndsMatchTheTable) {
    const std::vector<double> x{0.0, 0.5, 1.5, 2.0, 3.5}, y{1.0, -1.0, 2.0, 0.0, 1.5};
    Table s(x, y);
    ASSERT_EQ(s.rc, 0);
    std::vector<double> x1{NAN}, y1{NAN}, y2(6, NAN);
    x1.insert(x1.end(), x.begin(), x.end());
    y1.insert(y1.end(), y.begin(), y.end());
    nrspline(x1.data(), y1.data(), 5, 1e30, 1e30, y2.data());
    EXPECT_TRUE(std::isnan(y2[0])); // element 0 is not used
    EXPECT_EQ(y2[1], 0.0);
    EXPECT_EQ(y2[5], 0.0);
    for (int i = 0; i < 5; i++) {
        EXPECT_NEAR(y2[i + 1], s.t->ypp[i], 1e-12) << i;
    }
    for (double at : {0.0, 0.2, 0.5, 1.1, 1.9, 2.7, 3.5}) {
        double want = 0, ws = 0, got = 0;
        ASSERT_EQ(splineinterp(at, 0.0, &want, &ws, s.t), 0);
        nrsplint(x1.data(), y1.data(), y2.data(), 5, at, &got);
        EXPECT_NEAR(got, want, 1e-12) << at;
    }
}

TEST(NrSpline, EndSlopesReproduceAParabola) {
    // y = x^2 with its true end slopes 0 and 4: the spline is the parabola.
    double x[4] = {NAN, 0.0, 1.0, 2.0}, y[4] = {NAN, 0.0, 1.0, 4.0}, y2[4];
    nrspline(x, y, 3, 0.0, 4.0, y2);
    for (int i = 1; i <= 3; i++) {
        EXPECT_NEAR(y2[i], 2.0, 1e-14) << i;
    }
    double v = 0;
    nrsplint(x, y, y2, 3, 1.5, &v);
    EXPECT_NEAR(v, 2.25, 1e-14);
}

TEST(NrSpline, RepeatedAbscissaEndsTheProcessWithFailure) {
    double x[4] = {NAN, 0.0, 1.0, 1.0}, y[4] = {NAN, 0.0, 1.0, 2.0}, y2[4] = {0, 0, 0, 0};
    double v = 0;
    EXPECT_EXIT(
        {
            dup2(2, 1); // the message goes to standard output
            nrsplint(x, y, y2, 3, 1.0, &v);
        },
        testing::ExitedWithCode(1), "^Bad xa input to routine splint$");
}

TEST(SplineShow, ExactOutputForATwoSampleLine) {
    Table s({0.0, 2.0}, {1.0, 5.0});
    double ypp_calc[2] = {0.0, 0.0};
    const std::string got =
        capture([&](FILE* f) { splitest_showit(f, 2, s.t, "lbl", 1.5, ypp_calc); });
    EXPECT_EQ(got, "lbl 1.500000\n"
                   "sptab, n=2\n"
                   "i,x[i],y[i],y_sigma[i],ypp[i],ypp_sigma[i],ypp_calc[i]\n"
                   "0,0.000000,1.000000,0.000000,0.000000,0.000000,0.000000\n"
                   "1,2.000000,5.000000,0.000000,0.000000,0.000000,0.000000\n"
                   "i,x,y,yinterp,yinterp_sigma\n"
                   "0,0.000000,1.000000,1.000000,0.000000\n"
                   "1,1.000000,3.000000,3.000000,0.000000\n"
                   "2,2.000000,5.000000,5.000000,0.000000\n");
    const std::string none =
        capture([&](FILE* f) { splitest_showit(f, 0, s.t, "x", 0.0, nullptr); });
    EXPECT_EQ(none, "x 0.000000\nsptab, n=2\n"
                    "i,x[i],y[i],y_sigma[i],ypp[i],ypp_sigma[i],ypp_calc[i]\n"
                    "i,x,y,yinterp,yinterp_sigma\n");
}

TEST(SplineDriver, PrintsItsTables) {
    testing::internal::CaptureStdout();
    spline_test();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        out.rfind("n,order,sigmay,sigmax\n6,2,0.010000,0.000000\nexact y values, sigma= 0.000000\n",
                  0),
        0u);
    EXPECT_NE(out.find("noisy y values, sigma= 0.010000\n"), std::string::npos);
    EXPECT_NE(out.find("NR spline table n=6\ni,x[i],y[i],ypp[i]\n"), std::string::npos);
    // Order 2 on [0, 1]: y = x (x - 1), so ypp_calc is 2; the last sample is
    // x = 1, y = 0 with the natural end value 0 and no sigma.
    EXPECT_NE(out.find("5,1.000000,0.000000,0.000000,0.000000,0.000000,2.000000\n"),
              std::string::npos);
}
