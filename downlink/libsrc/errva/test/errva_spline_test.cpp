// Natural cubic spline interpolation with propagated uncertainty.
#include "errva_testing.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

template <class T> class ErrvaSpline : public ErrvaTest {
  protected:
    int call(T x, int n, T* xa, T* ya, T* sa) {
        return errva_globptr()->spline_interp(y, ys, flags, x, n, xa, ya, sa);
    }
    T y = T(-99), ys = T(-99);
    int flags = 0x4000 | 0x100 | 0x1;
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaSpline, Precisions);

template <class T> double tolerance() {
    return sizeof(T) == 4 ? 2e-6 : 1e-12;
}

// Natural spline by a dense solve of the moment equations (Gaussian
// elimination with partial pivoting), evaluated at x.
double reference_spline(const std::vector<double>& xa, const std::vector<double>& ya, double x) {
    const std::size_t n = xa.size();
    std::vector<std::vector<double>> m(n, std::vector<double>(n + 1, 0.0));
    m[0][0] = m[n - 1][n - 1] = 1.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double h0 = xa[i] - xa[i - 1], h1 = xa[i + 1] - xa[i];
        m[i][i - 1] = h0 / 6;
        m[i][i] = (h0 + h1) / 3;
        m[i][i + 1] = h1 / 6;
        m[i][n] = (ya[i + 1] - ya[i]) / h1 - (ya[i] - ya[i - 1]) / h0;
    }
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[p][c]))
                p = r;
        std::swap(m[c], m[p]);
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c)
                continue;
            const double f = m[r][c] / m[c][c];
            for (std::size_t k = c; k <= n; ++k)
                m[r][k] -= f * m[c][k];
        }
    }
    std::size_t lo = 0;
    while (lo + 2 < n && xa[lo + 1] <= x)
        ++lo;
    const double h = xa[lo + 1] - xa[lo];
    const double a = (xa[lo + 1] - x) / h, b = 1 - a;
    const double mlo = m[lo][n] / m[lo][lo], mhi = m[lo + 1][n] / m[lo + 1][lo + 1];
    return a * ya[lo] + b * ya[lo + 1] +
           ((a * a * a - a) * mlo + (b * b * b - b) * mhi) * h * h / 6;
}

} // namespace

TYPED_TEST(ErrvaSpline, CubicSamplesGiveTheHandComputedValueAndSigma) {
    using T = TypeParam;
    // x^3 at 0, 1, 2: M[1] = 3/2 (ya0 - 2 ya1 + ya2) = 9.  At x = 0.5 the
    // weights are A = B = 1/2, C = D = -1/16, so y = 1/2 - 9/16, and the
    // sample weights 1/2 - 3/32, 1/2 + 3/16, -3/32 give the variance below.
    T xa[] = {0, 1, 2}, ya[] = {0, 1, 8}, sa[] = {1, 1, 1};
    EXPECT_EQ(this->call(T(0.5), 3, xa, ya, sa), 0);
    EXPECT_NEAR(this->y, -0.0625, tolerance<T>());
    EXPECT_NEAR(this->ys, std::sqrt(0.646484375), tolerance<T>());
    EXPECT_EQ(this->flags, 0x4001);
}

TYPED_TEST(ErrvaSpline, SampleAbscissaReturnsTheSampleExactly) {
    using T = TypeParam;
    T xa[] = {0, 1, 2.5, 4}, ya[] = {3, -1, 2, 5}, sa[] = {0.3, 0.7, 1.1, 0.2};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(this->call(xa[k], 4, xa, ya, sa), 0);
        EXPECT_EQ(this->y, ya[k]) << "sample " << k;
        EXPECT_EQ(this->ys, sa[k]) << "sample " << k;
    }
}

TYPED_TEST(ErrvaSpline, StraightLineIsReproduced) {
    using T = TypeParam;
    T xa[] = {0, 1, 3, 4, 7}, ya[] = {1, 3, 7, 9, 15}, sa[] = {1, 1, 1, 1, 1};
    for (T x : {T(0.25), T(2), T(5.5)}) {
        EXPECT_EQ(this->call(x, 5, xa, ya, sa), 0);
        EXPECT_NEAR(this->y, 2 * double(x) + 1, 10 * tolerance<T>()) << "x " << x;
    }
}

TEST_F(ErrvaTest, SplineValueMatchesAnIndependentNaturalSpline) {
    std::vector<double> xa = {-1, 0, 0.5, 2, 3, 4.5}, ya(6), sa(6, 1.0);
    for (std::size_t i = 0; i < xa.size(); ++i)
        ya[i] = xa[i] * xa[i] * xa[i] - 2 * xa[i];
    for (double x : {-0.75, 0.2, 1.0, 2.9, 4.5}) {
        double y = 0, ys = 0;
        int flags = 0;
        ASSERT_EQ(
            errva_globptr()->spline_interp(y, ys, flags, x, 6, xa.data(), ya.data(), sa.data()), 0);
        EXPECT_NEAR(y, reference_spline(xa, ya, x), 1e-12) << "x " << x;
    }
}

TEST_F(ErrvaTest, SplineSigmaMatchesPropagationOfSampleChanges) {
    // The spline value is linear in the samples, so changing sample j by 1
    // changes y by exactly its weight; sigma^2 = sum of weight^2 sigma_j^2.
    // Points in the first and last intervals check the ends of the table.
    std::vector<double> xa = {0, 0.7, 1.5, 2, 3.2, 4}, ya = {1, -2, 0.5, 3, 2, -1};
    std::vector<double> sa = {0.5, 1.5, 0.25, 2, 1, 0.75};
    errvaclass* g = errva_globptr();
    for (double x : {0.3, 1.8, 3.9}) {
        double y0 = 0, ys = 0, y1 = 0, unused = 0;
        int flags = 0;
        ASSERT_EQ(g->spline_interp(y0, ys, flags, x, 6, xa.data(), ya.data(), sa.data()), 0);
        double var = 0;
        for (std::size_t j = 0; j < ya.size(); ++j) {
            std::vector<double> moved = ya;
            moved[j] += 1.0;
            g->spline_interp(y1, unused, flags, x, 6, xa.data(), moved.data(), sa.data());
            var += (y1 - y0) * (y1 - y0) * sa[j] * sa[j];
        }
        EXPECT_NEAR(ys, std::sqrt(var), 1e-12) << "x " << x;
    }
}

TEST_F(ErrvaTest, LongTableUsesHeapStorageAndStaysExact) {
    const int n = 300;
    std::vector<double> xa(n), ya(n), sa(n, 0.5);
    for (int i = 0; i < n; ++i) {
        xa[i] = i * 0.5;
        ya[i] = 3 - xa[i];
    }
    double y = 0, ys = 0;
    int flags = 0;
    EXPECT_EQ(
        errva_globptr()->spline_interp(y, ys, flags, 100.25, n, xa.data(), ya.data(), sa.data()),
        0);
    EXPECT_NEAR(y, 3 - 100.25, 1e-10);
    EXPECT_EQ(
        errva_globptr()->spline_interp(y, ys, flags, 149.5, n, xa.data(), ya.data(), sa.data()), 0);
    EXPECT_EQ(y, ya[n - 1]);
    EXPECT_EQ(ys, 0.5);
}

TYPED_TEST(ErrvaSpline, ShortTableOrOutsideOrNanIsRefused) {
    using T = TypeParam;
    T xa[] = {0, 1, 2}, ya[] = {0, 1, 8}, sa[] = {1, 1, 1};
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const int n[] = {2, 3, 3, 3};
    const T x[] = {T(0.5), T(-0.5), T(2.5), nan};
    for (int k = 0; k < 4; ++k) {
        this->flags = 0x1;
        EXPECT_EQ(this->call(x[k], n[k], xa, ya, sa), -3) << "case " << k;
        EXPECT_TRUE(is_library_nan(this->y));
        EXPECT_TRUE(is_library_nan(this->ys));
        EXPECT_EQ(this->flags, 0x101);
    }
}

TYPED_TEST(ErrvaSpline, SingularSystemReturnsTheSolverCodeAndWritesNothing) {
    using T = TypeParam;
    // Three equal abscissae: the second pivot of the spline matrix is 0.
    T xa[] = {1, 1, 1}, ya[] = {0, 1, 2}, sa[] = {1, 1, 1};
    this->flags = 0;
    EXPECT_EQ(this->call(T(1), 3, xa, ya, sa), -2);
    EXPECT_EQ(this->y, T(-99));
    EXPECT_EQ(this->ys, T(-99));
    EXPECT_EQ(this->flags, 0x100);
}
