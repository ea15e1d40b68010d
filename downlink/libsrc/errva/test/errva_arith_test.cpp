// Sums, differences, products and quotients with uncertainty in both
// precisions; the quotient's states, zero divisor, exception and
// single-precision steps.
#include "errva_testing.h"

namespace {

const double kEquiv = 2.3548200450309493; // FWHM of a unit Gaussian
const int kUnapprox = 0x20;               // a state_mask[2] of the test's own

} // namespace

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, SumsDifferencesAndProducts) {
    // The mask bits of the result word are replaced by state_mask[0] = 0 or,
    // for a bad or suspect operand, by state_mask[1] = 0x4000.
    const OpCase cases[] = {
        {Add, 1, 3, 0, 2, 4, 0, ERRVA_OK, 3, 5, 0x7}, // sqrt(3^2 + 4^2)
        {Sub, 5, 4, 0, 2, 3, 0, ERRVA_OK, 3, 5, 0x7},
        // 2^2 0.2^2 + 3^2 0.1^2 + 0.1^2 0.2^2 = 0.16 + 0.09 + 0.0004
        {Mul, 2, 0.1, 0, 3, 0.2, 0, ERRVA_OK, 6, std::sqrt(0.2504), 0x7, true},
        {Mul, 0, 3, 0, 0, 4, 0, ERRVA_OK, 0, 12, 0x7}, // only the term 3 * 4 is left
        // A suspect operand keeps the formulas but makes the result bad.
        {Add, 1, 3, 0x100, 2, 4, 0, ERRVA_BAD, 3, 5, 0x4007},
        {Mul, 0, 3, 0, 0, 4, 0x100, ERRVA_BAD, 0, 12, 0x4007},
        // Infinity is a number, not a NaN.
        {Add, kInf, 1, 0, 2, 1, 0, ERRVA_OK, kInf, std::sqrt(2.0), 0x7},
    };
    int row = 0;
    for (const OpCase& c : cases)
        check_case<TypeParam>(c, row++);
    // A NaN sigma or a bad operand: plain value 3 op 2, NaN sigma; a NaN value
    // stays NaN.
    const double plain[] = {5, 1, 6};
    for (ErrvaOp op : {Add, Sub, Mul}) {
        check_case<TypeParam>({op, 3, kNan, 0, 2, 1, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0, 2, kNan, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0x4000, 2, 1, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0, 2, 1, 0x4001, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, kNan, 1, 0, 2, 1, 0, ERRVA_BAD, kNan, kNan, 0x4007}, op);
    }
}

TYPED_TEST(ErrvaTyped, Quotients) {
    // 6/3: 0.09/9 + (3 * 0.09 * 0.09 + 36 * 0.09)/81 = 0.01 + 0.0403.
    // 1/2 with divisor sigma 2: 0.25/4 + (3 * 0.25 * 4 + 1 * 4)/16 = 0.5.
    const double s6 = std::sqrt(0.0503), s1 = std::sqrt(0.5);
    const OpCase cases[] = {
        {Div, 6, 0.3, 0, 3, 0.3, 0, ERRVA_OK, 2, s6, 0x7, true},
        {Div, 6, 0.3, 0, -3, 0.3, 0, ERRVA_OK, -2, s6, 0x7, true}, // divisor tested by magnitude
        {Div, 6, kNan, 0, 3, 0.3, 0, ERRVA_BAD, 2, kNan, 0x4007},
        {Div, 6, 0.3, 0, 3, 0.3, 0x4000, ERRVA_BAD, 2, kNan, 0x4007},
        {Div, 6, 0.3, 0, kNan, 0.3, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        {Div, 6, 0.3, 0x100, 3, 0.3, 0, ERRVA_BAD, 2, s6, 0x4007, true}, // suspect
        // b = 0 with b sigma 0 passes the divisor test (0 <= 0) but has no
        // value nor sigma: both NaN, the result bad.
        {Div, 1, 0.1, 0, 0, 0, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        {Div, 1, 0.1, 0, -0.0, 0, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        // b = 0 with a sigma: unapproximable, sigma as^2 / 0.
        {Div, 1, 1, 0, 0, 2, 0, ERRVA_UNAPPROX, kNan, kInf, 0x7 | kUnapprox, false, kUnapprox},
        // |a sigma| 10 > 9 |a| and b = 0: both noise, FWHM 2 * 10/5.
        {Div, 1, 10, 0, 0, 5, 0, ERRVA_EQUIV, kNan, 4 / kEquiv, 0x7, true},
        {Div, 0.1, 10, 0, 0.1, 10, 0, ERRVA_EQUIV, 1, 2 / kEquiv, 0x7, true},
        // An uncertain divisor without noise: the expansion's value, with the
        // state's bit; thrown by the member, reported by the plain entry.
        {Div, 1, 0.5, 0, 2, 2, 0, ERRVA_UNAPPROX, 0.5, s1, 0x7, true},
        {Div, 1, 0.5, 0, 2, 2, 0, ERRVA_UNAPPROX, 0.5, s1, 0x7 | kUnapprox, true, kUnapprox, 1},
    };
    int row = 0;
    for (const OpCase& c : cases)
        check_case<TypeParam>(c, row++);
    // The member throws its message after writing the outputs.
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
    EXPECT_STREQ(message, "Un-approximate result in errva.div() - divide by zero??");
    EXPECT_EQ(value, T(0.5));
    EXPECT_TRUE(same(sigma, std::sqrt(0.5), true));
    EXPECT_EQ(flags, 0);
}

TEST_F(ErrvaTest, DivisorTestUsesTheWidenedFloatLimit) {
    // approx_limit is the float 0.9 (0x3F666666), a little below 0.9.
    EXPECT_EQ(bits_of(errva_globptr()->approx_limit), 0x3F666666u);
    float f = 0, fs = 0;
    double d = 0, ds = 0;
    int flags = 0;
    EXPECT_EQ(errva_div(&f, &fs, &flags, 1.0f, 0.01f, 0, 1.0f, 0.9f, 0), ERRVA_OK);
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, double(0.9f), 0), ERRVA_OK);
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, 0.9, 0), ERRVA_UNAPPROX);
}

TEST_F(ErrvaTest, SingleQuotientFollowsTheMixedPrecisionSteps) {
    // Worked in single precision for the squares, b^4, a^2 bs^2 and as^2/b^2,
    // double for the rest of the variance, float for the root: sigma bits
    // 0x41FE2692 and 0x3EC87486, where float-only steps give ...91 and ...87
    // and double-only steps ...93 and ...85.
    const struct {
        float a, as, b, bs, value;
        uint32_t sigma;
    } rows[] = {
        {9.1645031f, 2.95624208f, 0.179226831f, 0.0830794498f, 51.133544921875f, 0x41FE2692u},
        {2.97195864f, 0.0286126696f, 3.40104842f, 1.52324402f, 0.8738360404968262f, 0x3EC87486u}};
    float value = 0, sigma = 0;
    int flags = 0;
    for (const auto& r : rows) {
        EXPECT_EQ(errva_div(&value, &sigma, &flags, r.a, r.as, 0, r.b, r.bs, 0), ERRVA_OK);
        EXPECT_EQ(bits_of(sigma), r.sigma);
        EXPECT_EQ(value, r.value);
    }
    // The equivalent sigma divides the sigmas in float: 2 x float(10/3) / FWHM.
    EXPECT_EQ(errva_div(&value, &sigma, &flags, 0.1f, 10.0f, 0, 0.1f, 3.0f, 0), ERRVA_EQUIV);
    EXPECT_EQ(sigma, 2.8310725688934326f);
}
