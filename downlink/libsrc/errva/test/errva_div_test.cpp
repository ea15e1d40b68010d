// Quotients with uncertainty: the states, the zero divisor, the exception and
// the single-precision steps.
#include "errva_testing.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

template <class T> struct Quot {
    T value = T(-99);
    T sigma = T(-99);
    int flags = 0x7 | 0x4000 | 0x100;
    int state = -1;
    Quot(T a, T as, int af, T b, T bs, int bf) {
        if constexpr (sizeof(T) == 4)
            state = errva_div(&value, &sigma, &flags, a, as, af, b, bs, bf);
        else
            state = errva_ddiv(&value, &sigma, &flags, a, as, af, b, bs, bf);
    }
};

template <class T> class ErrvaDiv : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaDiv, Precisions);

template <class T> double tolerance() {
    return sizeof(T) == 4 ? 2e-7 : 1e-15;
}

// Quotient sigma with the precision steps of the single-precision division:
// squares, b^4, a^2 bs^2 and as^2/b^2 in float; the variance in double,
// then rounded to float before a float square root.
float reference_sigma(float a, float as, float b, float bs) {
    const float a2 = a * a, as2 = as * as, b2 = b * b, bs2 = bs * bs;
    const float b4 = b2 * b2;
    const float a2bs2 = a2 * bs2;
    const float first = as2 / b2;
    const double second = (double(as2) * 3.0 * double(bs2) + double(a2bs2)) / double(b4);
    return sqrtf(float(second + double(first)));
}

float all_float_sigma(float a, float as, float b, float bs) {
    const float as2 = as * as, b2 = b * b, bs2 = bs * bs;
    return sqrtf(as2 / b2 + (as2 * 3.0f * bs2 + (a * a) * bs2) / (b2 * b2));
}

float all_double_sigma(double a, double as, double b, double bs) {
    return float(
        std::sqrt(as * as / (b * b) + (3 * as * as * bs * bs + a * a * bs * bs) / (b * b * b * b)));
}

} // namespace

TYPED_TEST(ErrvaDiv, NormalQuotientUsesTheSecondOrderExpansion) {
    using T = TypeParam;
    Quot<T> q(T(6), T(0.3), 0, T(3), T(0.3), 0);
    EXPECT_EQ(q.state, ERRVA_OK);
    EXPECT_EQ(q.value, T(2));
    // 0.09/9 + (3 * 0.09 * 0.09 + 36 * 0.09)/81 = 0.01 + 0.0403
    EXPECT_NEAR(q.sigma, std::sqrt(0.0503), tolerance<T>());
    EXPECT_EQ(q.flags, 0x7);
}

TYPED_TEST(ErrvaDiv, NegativeDivisorIsTestedByMagnitude) {
    using T = TypeParam;
    Quot<T> q(T(6), T(0.3), 0, T(-3), T(0.3), 0);
    EXPECT_EQ(q.state, ERRVA_OK);
    EXPECT_EQ(q.value, T(-2));
    EXPECT_NEAR(q.sigma, std::sqrt(0.0503), tolerance<T>());
}

TYPED_TEST(ErrvaDiv, NanOrBadOperandGivesNanSigmaAndPlainQuotient) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    Quot<T> as_nan(T(6), nan, 0, T(3), T(0.3), 0);
    Quot<T> b_bad(T(6), T(0.3), 0, T(3), T(0.3), 0x4000);
    for (const Quot<T>* q : {&as_nan, &b_bad}) {
        EXPECT_EQ(q->state, ERRVA_BAD);
        EXPECT_EQ(q->value, T(2));
        EXPECT_TRUE(is_library_nan(q->sigma));
        EXPECT_EQ(q->flags, 0x7 | 0x4000);
    }
    Quot<T> b_nan(T(6), T(0.3), 0, nan, T(0.3), 0);
    EXPECT_EQ(b_nan.state, ERRVA_BAD);
    EXPECT_TRUE(is_library_nan(b_nan.sigma));
}

TYPED_TEST(ErrvaDiv, SuspectOperandOnTheNormalPathIsBad) {
    using T = TypeParam;
    Quot<T> q(T(6), T(0.3), 0x100, T(3), T(0.3), 0);
    EXPECT_EQ(q.state, ERRVA_BAD);
    EXPECT_EQ(q.value, T(2));
    EXPECT_NEAR(q.sigma, std::sqrt(0.0503), tolerance<T>());
    EXPECT_EQ(q.flags, 0x7 | 0x4000);
}

TYPED_TEST(ErrvaDiv, ExactZeroDivisorIsReportedBad) {
    using T = TypeParam;
    // b = 0, b_sigma = 0 passes the divisor test (0 <= 0) but leaves no value
    // and no sigma: both are NaN and the result is marked bad.
    Quot<T> q(T(1), T(0.1), 0, T(0), T(0), 0);
    EXPECT_EQ(q.state, ERRVA_BAD);
    EXPECT_TRUE(is_library_nan(q.value));
    EXPECT_TRUE(is_library_nan(q.sigma));
    EXPECT_EQ(q.flags, 0x7 | 0x4000);
    Quot<T> negzero(T(1), T(0.1), 0, -T(0), T(0), 0);
    EXPECT_TRUE(is_library_nan(negzero.value));
}

TYPED_TEST(ErrvaDiv, ZeroDivisorWithSigmaIsUnapproximable) {
    using T = TypeParam;
    errva_globptr()->state_mask[2] = 0x20;
    Quot<T> q(T(1), T(1), 0, T(0), T(2), 0);
    EXPECT_EQ(q.state, ERRVA_UNAPPROX);
    EXPECT_TRUE(is_library_nan(q.value));
    EXPECT_EQ(q.sigma, std::numeric_limits<T>::infinity()); // as^2 / 0
    EXPECT_EQ(q.flags, 0x7 | 0x20);
}

TYPED_TEST(ErrvaDiv, ZeroDivisorWithNoisyNumeratorIsEquivalent) {
    using T = TypeParam;
    // |a_sigma| = 10 > 9 |a|; b = 0 so any b_sigma > 0 is noise.
    Quot<T> q(T(1), T(10), 0, T(0), T(5), 0);
    EXPECT_EQ(q.state, ERRVA_EQUIV);
    EXPECT_TRUE(is_library_nan(q.value));
    EXPECT_NEAR(q.sigma, 4.0 / 2.3548200450309493, tolerance<T>()); // FWHM 2 * 10/5
}

TYPED_TEST(ErrvaDiv, TwoNoiseOperandsGiveTheEquivalentSigma) {
    using T = TypeParam;
    Quot<T> q(T(0.1), T(10), 0, T(0.1), T(10), 0);
    EXPECT_EQ(q.state, ERRVA_EQUIV);
    EXPECT_EQ(q.value, T(1));
    EXPECT_NEAR(q.sigma, 2.0 / 2.3548200450309493, tolerance<T>());
    EXPECT_EQ(q.flags, 0x7); // state_mask[3] = 0
}

TYPED_TEST(ErrvaDiv, UncertainDivisorWithoutNoiseIsUnapproximable) {
    using T = TypeParam;
    Quot<T> q(T(1), T(0.5), 0, T(2), T(2), 0);
    EXPECT_EQ(q.state, ERRVA_UNAPPROX);
    EXPECT_EQ(q.value, T(0.5));
    // 0.25/4 + (3 * 0.25 * 4 + 1 * 4)/16 = 0.0625 + 0.4375
    EXPECT_NEAR(q.sigma, std::sqrt(0.5), tolerance<T>());
}

TEST_F(ErrvaTest, DivisorTestUsesTheWidenedFloatLimit) {
    // approx_limit is the float 0.9 (0x3F666666), a little below 0.9.
    float f = 0, fs = 0;
    int flags = 0;
    EXPECT_EQ(errva_div(&f, &fs, &flags, 1.0f, 0.01f, 0, 1.0f, 0.9f, 0), ERRVA_OK);
    double d = 0, ds = 0;
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, double(0.9f), 0), ERRVA_OK);
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, 0.9, 0), ERRVA_UNAPPROX);
}

TYPED_TEST(ErrvaDiv, UnapproximableQuotientReportedByThePlainEntryWhenThrowing) {
    using T = TypeParam;
    errva_globptr()->throw_on_unapprox = 1;
    errva_globptr()->state_mask[2] = 0x20;
    Quot<T> q(T(1), T(0.5), 0, T(2), T(2), 0);
    EXPECT_EQ(q.state, ERRVA_UNAPPROX);
    EXPECT_EQ(q.value, T(0.5));
    EXPECT_NEAR(q.sigma, std::sqrt(0.5), tolerance<T>());
    EXPECT_EQ(q.flags, 0x7 | 0x20);
}

TYPED_TEST(ErrvaDiv, MemberThrowsItsMessageAfterWritingTheOutputs) {
    using T = TypeParam;
    errvaclass s;
    s.throw_on_unapprox = 1;
    T value = 0, sigma = 0;
    int flags = 0x100;
    const char* message = nullptr;
    try {
        s.div(value, sigma, flags, T(1), T(0.5), 0, T(2), T(2), 0);
    } catch (const char* m) {
        message = m;
    }
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "Un-approximate result in errva.div() - divide by zero??");
    EXPECT_EQ(value, T(0.5));
    EXPECT_NEAR(sigma, std::sqrt(0.5), tolerance<T>());
    EXPECT_EQ(flags, 0);
}

TEST_F(ErrvaTest, SingleQuotientSigmaFollowsTheMixedPrecisionSteps) {
    // Operands for which float-only and double-only evaluation round differently.
    const float cases[][4] = {{9.1645031f, 2.95624208f, 0.179226831f, 0.0830794498f},
                              {2.97195864f, 0.0286126696f, 3.40104842f, 1.52324402f}};
    for (const auto& c : cases) {
        const float expect = reference_sigma(c[0], c[1], c[2], c[3]);
        ASSERT_NE(expect, all_float_sigma(c[0], c[1], c[2], c[3]));
        ASSERT_NE(expect, all_double_sigma(c[0], c[1], c[2], c[3]));
        float value = 0, sigma = 0;
        int flags = 0;
        EXPECT_EQ(errva_div(&value, &sigma, &flags, c[0], c[1], 0, c[2], c[3], 0), ERRVA_OK);
        EXPECT_EQ(bits_of(sigma), bits_of(expect));
        EXPECT_EQ(value, c[0] / c[2]);
    }
}

TEST_F(ErrvaTest, SingleEquivalentSigmaRoundsTheFloatRatio) {
    float value = 0, sigma = 0;
    int flags = 0;
    const float as = 10.0f, bs = 3.0f;
    EXPECT_EQ(errva_div(&value, &sigma, &flags, 0.1f, as, 0, 0.1f, bs, 0), ERRVA_EQUIV);
    const float ratio = as / bs; // divided in float
    EXPECT_EQ(sigma, float(2.0 * double(ratio) / 2.3548200450309493));
}
