// Interpolation with uncertainty: the dispatcher's choice, linear interpolation and
// extrapolation, and the natural cubic spline, against known answers and against the
// library's two other natural splines (the spline tables and the one-based pair).
#include "errva_testing.h"
#include "splinefunc.h"

#include <unistd.h>

#include <string>
#include <vector>

namespace {

// An order of the dispatcher errva_(d)interp, or one of the member routines.
enum { Linear = -1, Spline = -3 };

// A table of samples, the point, the flag word before and the expected return, value,
// sigma (near: within one epsilon) and flag word.  A value of -99 is the untouched output;
// tables with n <= 0 are passed as null.
struct InterpCase {
    double x;
    int order, n;
    std::vector<double> xa, ya, sa;
    int flags_in, ret;
    double y, ys;
    int flags;
    bool near = false;
    int flag_extrap = 0; // the setting's value for the call
};

template <class T> void check_interp(const InterpCase& c, int row) {
    std::vector<T> xa(c.xa.begin(), c.xa.end()), ya(c.ya.begin(), c.ya.end());
    std::vector<T> sa(c.sa.begin(), c.sa.end());
    T *x = c.n > 0 ? xa.data() : nullptr, *y = c.n > 0 ? ya.data() : nullptr;
    T *s = c.n > 0 ? sa.data() : nullptr, v = T(-99), vs = T(-99);
    int flags = c.flags_in, ret = 0;
    errvaclass* g = errva_globptr();
    g->flag_extrap = c.flag_extrap;
    if (c.order == Linear)
        ret = g->linear_interp(v, vs, flags, T(c.x), c.n, x, y, s);
    else if (c.order == Spline)
        ret = g->spline_interp(v, vs, flags, T(c.x), c.n, x, y, s);
    else if constexpr (sizeof(T) == 4)
        ret = errva_interp(&v, &vs, &flags, T(c.x), c.order, c.n, x, y, s);
    else
        ret = errva_dinterp(&v, &vs, &flags, T(c.x), c.order, c.n, x, y, s);
    EXPECT_EQ(std::make_pair(ret, flags), std::make_pair(c.ret, c.flags)) << "row " << row;
    EXPECT_TRUE(same(v, c.y, c.near) && same(vs, c.ys, c.near)) << "row " << row;
}

} // namespace

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, InterpolationCases) {
    const std::vector<double> x3 = {0, 1, 2}, y3 = {1, 3, 7}, s3 = {0.5, 1, 2}, x2 = {0, 1};
    const std::vector<double> cube = {0, 1, 8}, ones = {1, 1, 1, 1}, tiny = {0, 1e-7, 2e-7};
    const std::vector<double> rx = {0, 1, 1, 2}, ry = {0, 5, 9, 11}, rs = {1, 2, 3, 4};
    const double nan = kNan;
    // Suspect bits are cleared and others kept (0x4001) after a success.
    const InterpCase cases[] = {
        // Fewer than two samples: NaNs, or the one value and a NaN sigma.
        {0, 1, 0, {}, {}, {}, 0x4101, -1, nan, nan, 0x4101},
        {7, 3, 1, {1}, {4}, {0.5}, 0x4101, -2, 4, nan, 0x4101},
        // Weights 1/2, 1/2: sigma^2 = 0.5^2 1^2 + 0.5^2 2^2.
        {1.5, 1, 3, x3, y3, s3, 0x4101, 0, 5, std::sqrt(1.25), 0x4001},
        {2, 1, 3, x3, y3, s3, 0x4101, 0, 7, 2, 0x4001}, // in the last interval
        // A collapsed last interval gives its first sample; a repeated abscissa falls into
        // the interval of its later copy.
        {1, 1, 3, rx, ry, rs, 0x4101, 0, 5, 2, 0x4001},
        {1, 1, 4, rx, ry, rs, 0x4101, 0, 9, 3, 0x4001},
        // Extrapolation with t = -1 and t = 3: weights (2, -1) and (-2, 3).
        {-1, 1, 2, x2, {0, 2}, {1, 1}, 0x4101, 1, -2, std::sqrt(5.0), 0x4001},
        {3, 1, 2, x2, {0, 2}, {1, 1}, 0x4101, 1, 6, std::sqrt(13.0), 0x4001},
        // x^3 at 0, 1, 2: M[1] = 3/2 (ya0 - 2 ya1 + ya2) = 9.  At 0.5 the weights are A = B =
        // 1/2, C = D = -1/16, so y = 1/2 - 9/16; the sample weights 1/2 - 3/32, 1/2 + 3/16,
        // -3/32 give the variance.  Order 2 is linear, and outside the table the spline order
        // extrapolates linearly.
        {0.5, 3, 3, x3, cube, ones, 0x4101, 0, -0.0625, std::sqrt(0.646484375), 0x4001, true},
        {0.5, 2, 3, x3, cube, ones, 0x4101, 0, 0.5, std::sqrt(0.5), 0x4001},
        {3, 3, 3, x3, cube, ones, 0x4101, 1, 15, std::sqrt(5.0), 0x4001}, // 1 + 7 * 2
        {0.5, 3, 2, {0, 2}, {1, 5}, {1, 1}, 0x4101, 0, 2, std::sqrt(0.625), 0x4001},
        // Refusals are suspect: a NaN point, too short tables, points outside the spline's
        // table; empty tables are never read.
        {nan, Linear, 3, x3, y3, s3, 0, -4, nan, nan, 0x100},
        {0, Linear, 1, {0}, {1}, {1}, 0, -3, nan, nan, 0x100},
        {0.5, Spline, 2, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {-0.5, Spline, 3, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {nan, Spline, 3, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {1, Spline, 0, {}, {}, {}, 0x1, -3, nan, nan, 0x101},
        // A repeated abscissa has no spline through it: suspect, -1, NaNs.
        {0.5, 3, 4, rx, ry, rs, 0x4001, -1, nan, nan, 0x4101},
        // Spacings of 1e-7: the second pivot of the spline matrix, 2e-7 / 3, is below the
        // solver's 1e-6; its code is returned and nothing written.
        {1e-7, Spline, 3, tiny, x3, ones, 0, -2, -99, -99, 0x100},
        // Extrapolation is suspect when asked; interpolation then is not.
        {-1, 1, 2, x2, {0, 2}, {1, 1}, 0x1, 1, -2, std::sqrt(5.0), 0x101, false, 1},
        {0.5, 1, 2, x2, {0, 2}, {1, 1}, 0x101, 0, 1, std::sqrt(0.5), 0x1, false, 1},
    };
    int row = 0;
    for (const InterpCase& c : cases)
        check_interp<TypeParam>(c, row++);
}

TEST_F(ErrvaTest, SplineMatchesTheOtherSplinesAndPropagation) {
    // The value against the spline table and the one-based pair (natural ends: 1e30) on a
    // table long enough for heap storage; the spline is linear in the samples, so moving
    // sample j by 1 moves y by its weight: sigma^2 = sum of weight^2 sigma_j^2.  Points in
    // the first and last intervals and on the last sample check the ends of the table.
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

TEST(SplineTable, ByHandEndsUnusableSamplesAndEndSlopes) {
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
    // At 0.5: A = B = 1/2, C = D = -1/16, y = 1/2 + 3/16; the sample sigmas enter through A
    // and B alone, x_sigma through the slope 1 + (3/4 - 1)/6 * -3 = 9/8; outside, the end
    // lines with the end sigmas; NaN is never looked up.
    // Rows of x, x_sigma, code, y, y_sigma.
    const double at[5][5] = {{0.5, 0, 0, 0.6875, std::sqrt(1.25)},
                             {0.5, 0.4, 0, 0.6875, std::sqrt(1.25 + 0.2025)},
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
    // Fewer than two samples: no table.  Repeated or descending abscissae: -1, the table
    // handed over with NaN curvatures; a pivot below 1e-6: -1.
    splinefree(f);
    EXPECT_EQ(splinetab(1, hx, hy, nullptr, &f), -1);
    EXPECT_EQ(f, nullptr);
    for (double bad : {1.0, -1.0}) {
        hx[2] = bad;
        EXPECT_EQ(splinetab(3, hx, hy, nullptr, &f), -1);
        EXPECT_TRUE(std::isnan(f->ypp[1]) && std::isnan(f->ypp_sigma[2]));
        splinefree(f);
    }
    hx[1] = 1e-6, hx[2] = 2e-6; // middle pivot 4e-6/6
    EXPECT_EQ(splinetab(3, hx, hy, nullptr, &f), -1);
    splinefree(f);
    splinefree(h);
    // One-based: y = x^2 with its true end slopes 0 and 4 is the parabola.
    double px[4] = {NAN, 0, 1, 2}, py[4] = {NAN, 0, 1, 4}, y2[4] = {NAN}, v = 0;
    nrspline(px, py, 3, 0.0, 4.0, y2);
    nrsplint(px, py, y2, 3, 1.5, &v);
    EXPECT_TRUE(std::isnan(y2[0]) && std::fabs(y2[1] - 2) + std::fabs(y2[3] - 2) < 1e-14);
    EXPECT_NEAR(v, 2.25, 1e-14);
}

TEST(SplineTable, DriverTablesAndRepeatsEndTheProcess) {
    // The driver prints its tables: order 2 on [0, 1] is y = x (x - 1), so ypp_calc is 2 at
    // the last sample.
    testing::internal::CaptureStdout();
    spline_test();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("n,order,sigmay,sigmax\n6,2,0.010000,0.000000\n", 0), 0u);
    for (const char* row : {"2,0.400000,-0.240000,0.000000,", // y = 0.4 (0.4 - 1)
                            "5,1.000000,0.000000,0.000000,0.000000,0.000000,2.000000\n"})
        EXPECT_NE(out.find(row), std::string::npos) << row;
    // Two equal abscissae around x end the process with the message and status 1.
    double px[3] = {NAN, 1, 1}, v = 0;
    EXPECT_EXIT(
        {
            dup2(2, 1); // the message goes to standard output
            nrsplint(px, px, px, 2, 1.0, &v);
        },
        testing::ExitedWithCode(1), "^Bad xa input to routine splint$");
}
