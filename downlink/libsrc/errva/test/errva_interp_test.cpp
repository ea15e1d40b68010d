// Interpolation with uncertainty: the dispatcher's choice, linear
// interpolation and extrapolation, and the natural cubic spline.
#include "dense_solve.h"
#include "errva_testing.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

enum Entry { Plain, Linear, Spline }; // errva_(d)interp or the member routines

// A table of up to five samples, the point, the flag word before and the
// expected return, value, sigma (near: within one epsilon) and flag word.  A
// value of -99 is the untouched output; tables with n <= 0 are passed as null.
struct InterpCase {
    Entry entry;
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
    T* tables[3] = {xa.data(), ya.data(), sa.data()};
    if (c.n <= 0)
        tables[0] = tables[1] = tables[2] = nullptr;
    T y = T(-99), ys = T(-99);
    int flags = c.flags_in, ret = 0;
    errvaclass* g = errva_globptr();
    g->flag_extrap = c.flag_extrap;
    if (c.entry == Linear)
        ret = g->linear_interp(y, ys, flags, T(c.x), c.n, tables[0], tables[1], tables[2]);
    else if (c.entry == Spline)
        ret = g->spline_interp(y, ys, flags, T(c.x), c.n, tables[0], tables[1], tables[2]);
    else if constexpr (sizeof(T) == 4)
        ret = errva_interp(&y, &ys, &flags, T(c.x), c.order, c.n, tables[0], tables[1], tables[2]);
    else
        ret = errva_dinterp(&y, &ys, &flags, T(c.x), c.order, c.n, tables[0], tables[1], tables[2]);
    EXPECT_EQ(ret, c.ret) << "row " << row;
    EXPECT_TRUE(same(y, c.y, c.near)) << "value, row " << row;
    EXPECT_TRUE(same(ys, c.ys, c.near)) << "sigma, row " << row;
    EXPECT_EQ(flags, c.flags) << "row " << row;
}

// Natural spline through the samples by a dense solve of the moment
// equations, evaluated at x.
double reference_spline(const std::vector<double>& xa, const std::vector<double>& ya, double x) {
    const std::size_t n = xa.size();
    DenseMatrix m(n, std::vector<double>(n, 0.0));
    std::vector<double> r(n, 0.0);
    m[0][0] = m[n - 1][n - 1] = 1.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double h0 = xa[i] - xa[i - 1], h1 = xa[i + 1] - xa[i];
        m[i][i - 1] = h0 / 6;
        m[i][i] = (h0 + h1) / 3;
        m[i][i + 1] = h1 / 6;
        r[i] = (ya[i + 1] - ya[i]) / h1 - (ya[i] - ya[i - 1]) / h0;
    }
    const std::vector<double> moment = dense_solve(m, r);
    std::size_t lo = 0;
    while (lo + 2 < n && xa[lo + 1] <= x)
        ++lo;
    const double h = xa[lo + 1] - xa[lo], a = (xa[lo + 1] - x) / h, b = 1 - a;
    return a * ya[lo] + b * ya[lo + 1] +
           ((a * a * a - a) * moment[lo] + (b * b * b - b) * moment[lo + 1]) * h * h / 6;
}

const double kUntouched = -99;

} // namespace

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, InterpolationCases) {
    const std::vector<double> x3 = {0, 1, 2}, y3 = {1, 3, 7}, s3 = {0.5, 1, 2};
    const std::vector<double> cube = {0, 1, 8}, ones = {1, 1, 1, 1, 1}, tiny = {0, 1e-7, 2e-7};
    const double nan = kNan;
    // Suspect bits are cleared and others kept (0x4001) after a success.
    const InterpCase cases[] = {
        // Fewer than two samples: NaNs, or the one value and a NaN sigma.
        {Plain, 0, 1, 0, {}, {}, {}, 0x4101, -1, nan, nan, 0x4101},
        {Plain, 7, 3, 1, {1}, {4}, {0.5}, 0x4101, -2, 4, nan, 0x4101},
        // Weights 1/2, 1/2: sigma^2 = 0.5^2 1^2 + 0.5^2 2^2.
        {Plain, 1.5, 1, 3, x3, y3, s3, 0x4101, 0, 5, std::sqrt(1.25), 0x4001},
        {Plain, 2, 1, 3, x3, y3, s3, 0x4101, 0, 7, 2, 0x4001}, // in the last interval
        // A collapsed last interval gives its first sample; a repeated
        // abscissa falls into the interval of its later copy.
        {Plain, 1, 1, 3, {0, 1, 1}, {0, 5, 9}, {1, 2, 3}, 0x4101, 0, 5, 2, 0x4001},
        {Plain, 1, 1, 4, {0, 1, 1, 2}, {0, 5, 9, 11}, {1, 2, 3, 4}, 0x4101, 0, 9, 3, 0x4001},
        // Extrapolation with t = -1 and t = 3: weights (2, -1) and (-2, 3).
        {Plain, -1, 1, 2, {0, 1}, {0, 2}, {1, 1}, 0x4101, 1, -2, std::sqrt(5.0), 0x4001},
        {Plain, 3, 1, 2, {0, 1}, {0, 2}, {1, 1}, 0x4101, 1, 6, std::sqrt(13.0), 0x4001},
        // x^3 at 0, 1, 2: M[1] = 3/2 (ya0 - 2 ya1 + ya2) = 9.  At 0.5 the weights
        // are A = B = 1/2, C = D = -1/16, so y = 1/2 - 9/16; the sample weights
        // 1/2 - 3/32, 1/2 + 3/16, -3/32 give the variance.  Order 2 is linear,
        // and outside the table the spline order extrapolates linearly.
        {Plain, 0.5, 3, 3, x3, cube, ones, 0x4101, 0, -0.0625, std::sqrt(0.646484375), 0x4001,
         true},
        {Spline, 0.5, 3, 3, x3, cube, ones, 0x4101, 0, -0.0625, std::sqrt(0.646484375), 0x4001,
         true},
        {Plain, 0.5, 2, 3, x3, cube, ones, 0x4101, 0, 0.5, std::sqrt(0.5), 0x4001},
        {Plain, 3, 3, 3, x3, cube, ones, 0x4101, 1, 15, std::sqrt(5.0), 0x4001}, // 1 + 7 * 2
        {Plain, 0.5, 3, 2, {0, 2}, {1, 5}, {1, 1}, 0x4101, 0, 2, std::sqrt(0.625), 0x4001},
        // Refusals are suspect: a NaN point, too short tables, points outside
        // the spline's table; empty tables are never read.
        {Linear, nan, 1, 3, x3, y3, s3, 0, -4, nan, nan, 0x100},
        {Linear, 0, 1, 1, {0}, {1}, {1}, 0, -3, nan, nan, 0x100},
        {Spline, 0.5, 3, 2, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {Spline, -0.5, 3, 3, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {Spline, 2.5, 3, 3, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {Spline, nan, 3, 3, x3, cube, ones, 0x1, -3, nan, nan, 0x101},
        {Plain, 1, 3, -3, {}, {}, {}, 0x1, -1, nan, nan, 0x1},
        {Linear, 1, 1, 0, {}, {}, {}, 0x1, -3, nan, nan, 0x101},
        {Linear, 1, 1, -3, {}, {}, {}, 0x1, -3, nan, nan, 0x101},
        {Spline, 1, 3, 0, {}, {}, {}, 0x1, -3, nan, nan, 0x101},
        {Spline, 1, 3, -3, {}, {}, {}, 0x1, -3, nan, nan, 0x101},
        // A repeated abscissa has no spline through it: suspect, -1, NaNs.
        {Plain, 0.5, 3, 4, {0, 1, 1, 2}, {0, 5, 9, 11}, {1, 2, 3, 4}, 0x4001, -1, nan, nan, 0x4101},
        // Spacings of 1e-7: the second pivot of the spline matrix, 2e-7 / 3, is
        // below the solver's 1e-6; its code is returned and nothing written.
        {Spline, 1e-7, 3, 3, tiny, x3, ones, 0, -2, kUntouched, kUntouched, 0x100},
        // Extrapolation is suspect when asked; interpolation then is not.
        {Plain, -1, 1, 2, {0, 1}, {0, 2}, {1, 1}, 0x1, 1, -2, std::sqrt(5.0), 0x101, false, 1},
        {Plain, 0.5, 1, 2, {0, 1}, {0, 2}, {1, 1}, 0x101, 0, 1, std::sqrt(0.5), 0x1, false, 1},
    };
    int row = 0;
    for (const InterpCase& c : cases)
        check_interp<TypeParam>(c, row++);
}

TYPED_TEST(ErrvaTyped, SplineThroughSamplesAndAStraightLine) {
    using T = TypeParam;
    const std::vector<double> xa = {0, 1, 2.5, 4}, ya = {3, -1, 2, 5}, sa = {0.3, 0.7, 1.1, 0.2};
    int row = 0;
    for (int k = 0; k < 4; ++k) // a sample's abscissa returns the sample exactly
        check_interp<T>({Spline, xa[k], 3, 4, xa, ya, sa, 0x1, 0, T(ya[k]), T(sa[k]), 0x1}, row++);
    // A straight line is reproduced: a long table with steps 1.5 and 0.5,
    // long enough for the working storage to come from the heap.
    const int n = 300;
    std::vector<T> lx(n), ly(n), ls(n, T(0.5));
    for (int i = 0; i < n; ++i) {
        lx[i] = T(i + (i % 2) * 0.5);
        ly[i] = 2 * lx[i] + 1;
    }
    errvaclass* g = errva_globptr();
    T y = 0, ys = 0;
    int flags = 0;
    for (T x : {T(0.25), T(2), T(5.75), T(100.25), T(298.8)}) {
        EXPECT_EQ(g->spline_interp(y, ys, flags, x, n, lx.data(), ly.data(), ls.data()), 0);
        EXPECT_NEAR(y, 2 * double(x) + 1, sizeof(T) == 4 ? 2e-4 : 1e-11) << "x " << x;
    }
    EXPECT_EQ(g->spline_interp(y, ys, flags, lx[n - 1], n, lx.data(), ly.data(), ls.data()), 0);
    EXPECT_EQ(std::make_tuple(y, ys), std::make_tuple(ly[n - 1], T(0.5)));
}

TEST_F(ErrvaTest, SplineMatchesAnIndependentSplineAndPropagation) {
    // The value against a dense solve; the spline is linear in the samples,
    // so moving sample j by 1 moves y by its weight: sigma^2 = sum of
    // weight^2 sigma_j^2.  Points in the first and last intervals check the
    // ends of the table.
    std::vector<double> xa = {-1, 0, 0.5, 2, 3, 4.5}, ya(6), sa = {0.5, 1.5, 0.25, 2, 1, 0.75};
    for (std::size_t i = 0; i < xa.size(); ++i)
        ya[i] = xa[i] * xa[i] * xa[i] - 2 * xa[i];
    errvaclass* g = errva_globptr();
    for (double x : {-0.75, 0.2, 1.0, 2.9, 4.5}) {
        double y0 = 0, ys = 0, y1 = 0, unused = 0, var = 0;
        int flags = 0;
        ASSERT_EQ(g->spline_interp(y0, ys, flags, x, 6, xa.data(), ya.data(), sa.data()), 0);
        EXPECT_NEAR(y0, reference_spline(xa, ya, x), 1e-12) << "x " << x;
        for (std::size_t j = 0; j < ya.size(); ++j) {
            std::vector<double> moved = ya;
            moved[j] += 1.0;
            g->spline_interp(y1, unused, flags, x, 6, xa.data(), moved.data(), sa.data());
            var += (y1 - y0) * (y1 - y0) * sa[j] * sa[j];
        }
        EXPECT_NEAR(ys, std::sqrt(var), 1e-12) << "x " << x;
    }
}
