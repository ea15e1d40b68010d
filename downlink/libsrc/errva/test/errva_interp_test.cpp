// Linear interpolation and extrapolation with uncertainty, and the
// dispatcher's choice between the methods.
#include "errva_testing.h"

#include <cmath>
#include <limits>

namespace {

template <class T> class ErrvaInterp : public ErrvaTest {
  protected:
    // Calls the exported entry point of the precision.
    int call(T& y, T& ys, int& flags, T x, int order, int n, T* xa, T* ya, T* sa) {
        if constexpr (sizeof(T) == 4)
            return errva_interp(&y, &ys, &flags, x, order, n, xa, ya, sa);
        else
            return errva_dinterp(&y, &ys, &flags, x, order, n, xa, ya, sa);
    }
    T y = T(-99), ys = T(-99);
    int flags = 0x4000 | 0x100 | 0x1;
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaInterp, Precisions);

} // namespace

TYPED_TEST(ErrvaInterp, EmptyTableGivesNansAndLeavesFlags) {
    using T = TypeParam;
    T xa[1] = {0}, ya[1] = {0}, sa[1] = {0};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(0), 1, 0, xa, ya, sa), -1);
    EXPECT_TRUE(is_library_nan(this->y));
    EXPECT_TRUE(is_library_nan(this->ys));
    EXPECT_EQ(this->flags, 0x4101);
}

TYPED_TEST(ErrvaInterp, SingleSampleGivesItsValueAndNanSigma) {
    using T = TypeParam;
    T xa[] = {1}, ya[] = {4}, sa[] = {0.5};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(7), 3, 1, xa, ya, sa), -2);
    EXPECT_EQ(this->y, T(4));
    EXPECT_TRUE(is_library_nan(this->ys));
    EXPECT_EQ(this->flags, 0x4101);
}

TYPED_TEST(ErrvaInterp, InteriorPointWeighsTheTwoNeighbours) {
    using T = TypeParam;
    T xa[] = {0, 1, 2}, ya[] = {1, 3, 7}, sa[] = {0.5, 1, 2};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(1.5), 1, 3, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(5));
    // 1^2 0.5^2 + 2^2 0.5^2
    EXPECT_EQ(this->ys, T(std::sqrt(1.25)));
    EXPECT_EQ(this->flags, 0x4001); // suspect bits cleared, others kept
}

TYPED_TEST(ErrvaInterp, LastAbscissaInterpolatesInTheLastInterval) {
    using T = TypeParam;
    T xa[] = {0, 1, 2}, ya[] = {1, 3, 7}, sa[] = {0.5, 1, 2};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(2), 1, 3, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(7));
    EXPECT_EQ(this->ys, T(2));
}

TYPED_TEST(ErrvaInterp, CollapsedLastIntervalGivesItsFirstSample) {
    using T = TypeParam;
    T xa[] = {0, 1, 1}, ya[] = {0, 5, 9}, sa[] = {1, 2, 3};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(1), 1, 3, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(5));
    EXPECT_EQ(this->ys, T(2));
}

TYPED_TEST(ErrvaInterp, RepeatedAbscissaFallsIntoTheIntervalOfItsLaterCopy) {
    using T = TypeParam;
    T xa[] = {0, 1, 1, 2}, ya[] = {0, 5, 9, 11}, sa[] = {1, 2, 3, 4};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(1), 1, 4, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(9));
    EXPECT_EQ(this->ys, T(3));
}

TYPED_TEST(ErrvaInterp, ExtrapolatesBelowAndAboveTheTable) {
    using T = TypeParam;
    T xa[] = {0, 1}, ya[] = {0, 2}, sa[] = {1, 1};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(-1), 1, 2, xa, ya, sa), 1);
    EXPECT_EQ(this->y, T(-2)); // t = -1
    EXPECT_EQ(this->ys, T(std::sqrt(5.0)));
    EXPECT_EQ(this->flags, 0x4001);
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(3), 1, 2, xa, ya, sa), 1);
    EXPECT_EQ(this->y, T(6)); // t = 3
    EXPECT_EQ(this->ys, T(std::sqrt(13.0)));
}

TYPED_TEST(ErrvaInterp, ExtrapolationIsSuspectWhenAsked) {
    using T = TypeParam;
    errva_globptr()->flag_extrap = 1;
    T xa[] = {0, 1}, ya[] = {0, 2}, sa[] = {1, 1};
    this->flags = 0x1;
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(-1), 1, 2, xa, ya, sa), 1);
    EXPECT_EQ(this->flags, 0x101);
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(0.5), 1, 2, xa, ya, sa), 0);
    EXPECT_EQ(this->flags, 0x1);
}

TYPED_TEST(ErrvaInterp, NanAbscissaFindsNoIntervalAndIsSuspect) {
    using T = TypeParam;
    T xa[] = {0, 1, 2}, ya[] = {1, 3, 7}, sa[] = {0.5, 1, 2};
    errvaclass* g = errva_globptr();
    this->flags = 0;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    EXPECT_EQ(g->linear_interp(this->y, this->ys, this->flags, nan, 3, xa, ya, sa), -4);
    EXPECT_TRUE(is_library_nan(this->y));
    EXPECT_TRUE(is_library_nan(this->ys));
    EXPECT_EQ(this->flags, 0x100);
}

TYPED_TEST(ErrvaInterp, TooShortTableForLinearIsSuspectInBothPrecisions) {
    using T = TypeParam;
    T xa[] = {0}, ya[] = {1}, sa[] = {1};
    errva_mask_setup(0, 0x100);
    this->flags = 0;
    EXPECT_EQ(errva_globptr()->linear_interp(this->y, this->ys, this->flags, T(0), 1, xa, ya, sa),
              -3);
    EXPECT_TRUE(is_library_nan(this->y));
    EXPECT_EQ(this->flags, 0x100);
}

TYPED_TEST(ErrvaInterp, OrderAboveTwoUsesTheSplineInsideOnly) {
    using T = TypeParam;
    // Samples of x^3.  Linear at 0.5 gives 0.5; the natural spline gives
    // -1/16 (second derivative 9 at x = 1, 0 at the ends).
    T xa[] = {0, 1, 2}, ya[] = {0, 1, 8}, sa[] = {1, 1, 1};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(0.5), 3, 3, xa, ya, sa), 0);
    EXPECT_NEAR(this->y, -0.0625, 1e-6);
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(0.5), 2, 3, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(0.5));
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(3), 3, 3, xa, ya, sa), 1);
    EXPECT_EQ(this->y, T(15)); // 1 + 7 * 2
}

TYPED_TEST(ErrvaInterp, TwoSamplesAreAlwaysLinear) {
    using T = TypeParam;
    T xa[] = {0, 2}, ya[] = {1, 5}, sa[] = {1, 1};
    EXPECT_EQ(this->call(this->y, this->ys, this->flags, T(0.5), 3, 2, xa, ya, sa), 0);
    EXPECT_EQ(this->y, T(2));
    EXPECT_EQ(this->ys, T(std::sqrt(0.625))); // 0.75^2 + 0.25^2
}

TYPED_TEST(ErrvaInterp, EmptyTablesAreNeverRead) {
    using T = TypeParam;
    errvaclass* g = errva_globptr();
    for (int n : {0, -3}) {
        EXPECT_EQ(g->interp(this->y, this->ys, this->flags, T(1), 3, n, nullptr, nullptr, nullptr),
                  -1);
        EXPECT_EQ(
            g->linear_interp(this->y, this->ys, this->flags, T(1), n, nullptr, nullptr, nullptr),
            -3);
        EXPECT_EQ(
            g->spline_interp(this->y, this->ys, this->flags, T(1), n, nullptr, nullptr, nullptr),
            -3);
        EXPECT_TRUE(is_library_nan(this->y));
    }
}
