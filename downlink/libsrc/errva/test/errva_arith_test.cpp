// Sums, differences and products with uncertainty, in both precisions.
#include "errva_testing.h"

#include <cmath>
#include <limits>

namespace {

const int kOutside = 0x7; // caller bits outside both default masks

template <class T> using arith_fn = int (*)(T*, T*, int*, T, T, int, T, T, int);

// Calls an operation with a result flag word that holds all default mask bits
// and some bits of its own.
template <class T> struct Call {
    T value = T(-99);
    T sigma = T(-99);
    int flags = kOutside | 0x4000 | 0x100;
    int state = -1;
    Call(arith_fn<T> fn, T a, T as, int af, T b, T bs, int bf) {
        state = fn(&value, &sigma, &flags, a, as, af, b, bs, bf);
    }
};

template <class T> struct Ops;
template <> struct Ops<float> {
    static constexpr arith_fn<float> add = errva_add, sub = errva_sub, mul = errva_mul;
};
template <> struct Ops<double> {
    static constexpr arith_fn<double> add = errva_dadd, sub = errva_dsub, mul = errva_dmul;
};

template <class T> class ErrvaArith : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaArith, Precisions);

} // namespace

TYPED_TEST(ErrvaArith, SumOfThreeAndFourSigmasHasSigmaFive) {
    using T = TypeParam;
    Call<T> c(Ops<T>::add, T(1), T(3), 0, T(2), T(4), 0);
    EXPECT_EQ(c.state, ERRVA_OK);
    EXPECT_EQ(c.value, T(3));
    EXPECT_EQ(c.sigma, T(5));
    EXPECT_EQ(c.flags, kOutside); // mask bits replaced by state_mask[0] = 0
}

TYPED_TEST(ErrvaArith, DifferenceAddsVariances) {
    using T = TypeParam;
    Call<T> c(Ops<T>::sub, T(5), T(4), 0, T(2), T(3), 0);
    EXPECT_EQ(c.state, ERRVA_OK);
    EXPECT_EQ(c.value, T(3));
    EXPECT_EQ(c.sigma, T(5));
}

TYPED_TEST(ErrvaArith, ProductSigmaIsTheExactVariance) {
    using T = TypeParam;
    Call<T> c(Ops<T>::mul, T(2), T(0.1), 0, T(3), T(0.2), 0);
    EXPECT_EQ(c.state, ERRVA_OK);
    EXPECT_NEAR(c.value, 6.0, 1e-6);
    // 2^2 0.2^2 + 3^2 0.1^2 + 0.1^2 0.2^2 = 0.16 + 0.09 + 0.0004
    const double tol = sizeof(T) == 4 ? 1e-6 : 1e-14;
    EXPECT_NEAR(c.sigma, std::sqrt(0.2504), tol);
}

TYPED_TEST(ErrvaArith, ProductOfTwoZeroValuesKeepsTheSigmaProduct) {
    using T = TypeParam;
    // Only the second-order term survives: sigma = 3 * 4.
    Call<T> c(Ops<T>::mul, T(0), T(3), 0, T(0), T(4), 0);
    EXPECT_EQ(c.value, T(0));
    EXPECT_EQ(c.sigma, T(12));
}

TYPED_TEST(ErrvaArith, NanOrBadOperandGivesNanSigmaAndPlainValue) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const arith_fn<T> fns[] = {Ops<T>::add, Ops<T>::sub, Ops<T>::mul};
    const T expect[] = {T(5), T(1), T(6)}; // 3 op 2
    for (int k = 0; k < 3; ++k) {
        Call<T> as_nan(fns[k], T(3), nan, 0, T(2), T(1), 0);
        Call<T> bs_nan(fns[k], T(3), T(1), 0, T(2), nan, 0);
        Call<T> a_bad(fns[k], T(3), T(1), 0x4000, T(2), T(1), 0);
        Call<T> b_bad(fns[k], T(3), T(1), 0, T(2), T(1), 0x4001);
        for (const Call<T>* c : {&as_nan, &bs_nan, &a_bad, &b_bad}) {
            EXPECT_EQ(c->state, ERRVA_BAD) << "operation " << k;
            EXPECT_TRUE(is_library_nan(c->sigma)) << "operation " << k;
            EXPECT_EQ(c->value, expect[k]) << "operation " << k;
            EXPECT_EQ(c->flags, kOutside | 0x4000) << "operation " << k;
        }
        Call<T> a_nan(fns[k], nan, T(1), 0, T(2), T(1), 0);
        EXPECT_EQ(a_nan.state, ERRVA_BAD);
        EXPECT_TRUE(is_library_nan(a_nan.sigma));
        EXPECT_TRUE(std::isnan(a_nan.value));
    }
}

TYPED_TEST(ErrvaArith, SuspectOperandKeepsFormulasButIsBad) {
    using T = TypeParam;
    Call<T> c(Ops<T>::add, T(1), T(3), 0x100, T(2), T(4), 0);
    EXPECT_EQ(c.state, ERRVA_BAD);
    EXPECT_EQ(c.value, T(3));
    EXPECT_EQ(c.sigma, T(5));
    EXPECT_EQ(c.flags, kOutside | 0x4000); // loses 0x100, gains 0x4000
    Call<T> d(Ops<T>::mul, T(0), T(3), 0, T(0), T(4), 0x100);
    EXPECT_EQ(d.state, ERRVA_BAD);
    EXPECT_EQ(d.sigma, T(12));
}

TYPED_TEST(ErrvaArith, InfinityIsANumberNotANan) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    Call<T> c(Ops<T>::add, inf, T(1), 0, T(2), T(1), 0);
    EXPECT_EQ(c.state, ERRVA_OK);
    EXPECT_EQ(c.value, inf);
}
