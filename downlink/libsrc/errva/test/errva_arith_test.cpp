// Sums, differences, products and quotients with uncertainty in both precisions, worked by
// hand: the quotient's states, zero divisor, exception and single-precision steps; the
// settings object and its mask set-up; fetching of elements.
#include "errva_testing.h"

#include <tuple>

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kEquiv = 2.3548200450309493; // FWHM of a unit Gaussian
const int kUnapprox = 0x20;               // a state_mask[2] of the test's own

// Operands, the expected state, value, sigma (near: within one epsilon) and flag word, and
// the settings state_mask[2] and throw_on_unapprox.  The flag word starts as 0x4107:
// caller bits 0x7 and both default mask bits.
struct OpCase {
    ErrvaOp op;
    double a, as;
    int af;
    double b, bs;
    int bf, state;
    double value, sigma;
    int flags;
    bool near = false;
    int unapprox_bit = 0, throws = 0;
};

template <class T> void check_case(const OpCase& c, int row) {
    errva_globptr()->state_mask[2] = c.unapprox_bit;
    errva_globptr()->throw_on_unapprox = c.throws;
    T v = T(-99), s = T(-99);
    int f = 0x4107;
    const int state = plain_op<T>(c.op)(&v, &s, &f, T(c.a), T(c.as), c.af, T(c.b), T(c.bs), c.bf);
    EXPECT_EQ(std::make_pair(state, f), std::make_pair(c.state, c.flags)) << "row " << row;
    EXPECT_TRUE(same(v, c.value)) << "value, row " << row;
    EXPECT_TRUE(same(s, c.sigma, c.near)) << "sigma, row " << row;
}

} // namespace

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, WorkedCases) {
    // 6/3: 0.09/9 + (3 * 0.09 * 0.09 + 36 * 0.09)/81 = 0.01 + 0.0403.
    // 1/2 with divisor sigma 2: 0.25/4 + (3 * 0.25 * 4 + 1 * 4)/16 = 0.5.
    const double s6 = std::sqrt(0.0503), s1 = std::sqrt(0.5);
    const OpCase cases[] = {
        {Sub, 1, 3, 0, 2, 4, 0, ERRVA_OK, -1, 5, 0x7}, // sqrt(3^2 + 4^2)
        // 2^2 0.2^2 + 3^2 0.1^2 + 0.1^2 0.2^2 = 0.16 + 0.09 + 0.0004
        {Mul, 2, 0.1, 0, 3, 0.2, 0, ERRVA_OK, 6, std::sqrt(0.2504), 0x7, true},
        {Mul, 0, 3, 0, 0, 4, 0, ERRVA_OK, 0, 12, 0x7}, // only the term 3 * 4 is left
        // A suspect operand keeps the formulas but makes the result bad (mask bits 0x4000).
        {Add, 1, 3, 0x100, 2, 4, 0, ERRVA_BAD, 3, 5, 0x4007},
        {Add, kInf, 1, 0, 2, 1, 0, ERRVA_OK, kInf, std::sqrt(2.0), 0x7}, // a number, not a NaN
        // A NaN sigma or a bad operand: plain value, NaN sigma; a NaN value stays NaN.
        {Mul, 3, 1, 0, 2, kNan, 0, ERRVA_BAD, 6, kNan, 0x4007},
        {Sub, 3, 1, 0x4000, 2, 1, 0, ERRVA_BAD, 1, kNan, 0x4007},
        {Mul, kNan, 1, 0, 2, 1, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        {Div, 6, 0.3, 0, 3, 0.3, 0, ERRVA_OK, 2, s6, 0x7, true},
        {Div, 6, 0.3, 0, -3, 0.3, 0, ERRVA_OK, -2, s6, 0x7, true}, // divisor tested by magnitude
        {Div, 6, 0.3, 0, kNan, 0.3, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        {Div, 6, 0.3, 0x100, 3, 0.3, 0, ERRVA_BAD, 2, s6, 0x4007, true}, // suspect
        // b = 0 with b sigma 0 passes the divisor test (0 <= 0) but has no value nor sigma.
        {Div, 1, 0.1, 0, -0.0, 0, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        // b = 0 with a sigma: unapproximable, sigma as^2 / 0.
        {Div, 1, 1, 0, 0, 2, 0, ERRVA_UNAPPROX, kNan, kInf, 0x7 | kUnapprox, false, kUnapprox},
        // |a sigma| 10 > 9 |a| and b = 0: both noise, FWHM 2 * 10/5.
        {Div, 1, 10, 0, 0, 5, 0, ERRVA_EQUIV, kNan, 4 / kEquiv, 0x7, true},
        {Div, 0.1, 10, 0, 0.1, 10, 0, ERRVA_EQUIV, 1, 2 / kEquiv, 0x7, true},
        // An uncertain divisor without noise: the expansion's value, with the state's bit;
        // thrown by the member, reported by the plain entry.
        {Div, 1, 0.5, 0, 2, 2, 0, ERRVA_UNAPPROX, 0.5, s1, 0x7, true},
        {Div, 1, 0.5, 0, 2, 2, 0, ERRVA_UNAPPROX, 0.5, s1, 0x7 | kUnapprox, true, kUnapprox, 1},
    };
    int row = 0;
    for (const OpCase& c : cases)
        check_case<TypeParam>(c, row++);
    // The member throws its message after writing the outputs.
    TypeParam v = 0, sigma = 0, one = 1, half = 0.5, two = 2;
    int flags = 0x100;
    try {
        errva_global.div(v, sigma, flags, one, half, 0, two, two, 0);
        ADD_FAILURE() << "no exception";
    } catch (const char* m) {
        EXPECT_STREQ(m, "Un-approximate result in errva.div() - divide by zero??");
    }
    EXPECT_TRUE(v == half && same(sigma, s1, true) && flags == kUnapprox);
}

TEST_F(ErrvaTest, SingleQuotientStepsAndTheWidenedFloatLimit) {
    // Squares, b^4, a^2 bs^2 and as^2/b^2 in float, the rest of the variance in double, the
    // root in float: sigma bits 0x41FE2692 and 0x3EC87486, where float-only steps give ...91
    // and ...87 and double-only steps ...93 and ...85.
    const float rows[2][5] = {
        {9.1645031f, 2.95624208f, 0.179226831f, 0.0830794498f, 51.133544921875f},
        {2.97195864f, 0.0286126696f, 3.40104842f, 1.52324402f, 0.8738360404968262f}};
    const uint32_t sigmas[2] = {0x41FE2692u, 0x3EC87486u};
    float value = 0, sigma = 0;
    int flags = 0;
    for (int k = 0; k < 2; k++) {
        const float* r = rows[k];
        EXPECT_EQ(errva_div(&value, &sigma, &flags, r[0], r[1], 0, r[2], r[3], 0), ERRVA_OK);
        EXPECT_EQ(std::make_pair(bits_of(sigma), value), std::make_pair(sigmas[k], r[4]));
    }
    // The equivalent sigma divides the sigmas in float: 2 x float(10/3) / FWHM.
    EXPECT_EQ(errva_div(&value, &sigma, &flags, 0.1f, 10.0f, 0, 0.1f, 3.0f, 0), ERRVA_EQUIV);
    EXPECT_EQ(sigma, 2.8310725688934326f);
    // approx_limit is the float 0.9 (0x3F666666), a little below 0.9.
    double d = 0, ds = 0;
    EXPECT_EQ(errva_div(&value, &sigma, &flags, 1.0f, 0.01f, 0, 1.0f, 0.9f, 0), ERRVA_OK);
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, double(0.9f), 0), ERRVA_OK);
    EXPECT_EQ(errva_ddiv(&d, &ds, &flags, 1.0, 0.01, 0, 1.0, 0.9, 0), ERRVA_UNAPPROX);
}

TEST_F(ErrvaTest, SettingsConstructorsAndMaskSetup) {
    const errvaclass made, two(4.0f, 0.5f); // noise ratio first, then the limit
    EXPECT_EQ(std::memcmp(&made, errva_globpubptr(), sizeof made), 0);
    EXPECT_EQ(std::make_tuple(two.noise_ratio, two.approx_limit, two.bad_mask, two.state_mask[1]),
              std::make_tuple(4.0f, 0.5f, 0x4000, 0x4000));
    EXPECT_DOUBLE_EQ(errvaclass().EquivSigma(2.0), 2.0 / kEquiv);
    // New masks decide bad and suspect operands and the bad state's bits; the other settings
    // stay but flag_extrap.  0x4000 and 0x100 are no longer mask bits: they survive in the
    // result word (0x4107 less the mask bits 0x3) and mark nothing.
    errvaclass* g = errva_globptr();
    g->state_mask[0] = g->state_mask[3] = g->flag_extrap = g->throw_on_unapprox = 1;
    g->noise_ratio = 0;
    errva_mask_setup(0x1, 0x2);
    EXPECT_EQ(
        std::make_tuple(g->flag_extrap, g->throw_on_unapprox, g->noise_ratio, g->state_mask[3]),
        std::make_tuple(0, 1, 0.0f, 0));
    const OpCase cases[] = {{Add, 1, 3, 0x1, 2, 4, 0, ERRVA_BAD, 3, kNan, 0x4105},
                            {Add, 1, 3, 0, 2, 4, 0x2, ERRVA_BAD, 3, 5, 0x4105},
                            {Add, 1, 3, 0x4000, 2, 4, 0, ERRVA_OK, 3, 5, 0x4104}};
    for (int row = 0; row < 3; ++row)
        check_case<float>(cases[row], row);
}

TEST(ErrvaFetch, FetchesElementOfEachPresentArrayOrNothing) {
    // Absent arrays are not read and give 0; no values: 1, the value untouched.
    double vals[] = {1, 2, 3}, sigs[] = {0.1, 0.2, 0.3}, value = 7, sigma = 7;
    float fvals[] = {1.5f, 2.5f}, fsigs[] = {0.5f, 0.25f}, fvalue = 7, fsigma = 7;
    unsigned short masks[] = {4, 5, 6}, mask = 7;
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 2, 99, 1, vals, 0, sigs, 1, masks), 0);
    EXPECT_EQ(std::make_tuple(value, sigma, mask), std::make_tuple(3.0, 0.0, 6));
    EXPECT_EQ(ffetch(&fvalue, &fsigma, &mask, 1, 0, 0, fvals, 1, fsigs, 1, masks), 1);
    EXPECT_EQ(std::make_tuple(fvalue, fsigma, mask), std::make_tuple(7.0f, 0.0f, 0));
}
