// The uncertainty arithmetic in both precisions: sums, differences, products and quotients
// worked by hand, the settings and their mask set-up; the plain quotient
// entry points against the member errvaclass::div bit for bit over special and random
// operands; interpolation by the dispatcher and the member routines against known answers.
#include "errva.h"
#include "nanvalue.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kEquiv = 2.3548200450309493; // FWHM of a unit Gaussian
const int kUnapprox = 0x20;               // a state_mask[2] of the test's own

class ErrvaTest : public ::testing::Test {
  protected:
    void SetUp() override { *errva_globptr() = errvaclass(); }
};
template <class T> class ErrvaTyped : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ErrvaTyped, Precisions);

template <class T> auto bits_of(T x) {
    std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t> b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// An expected NaN is the library's NaN bit for bit; `near` allows a relative error of one
// epsilon of T (the operands' own rounding), otherwise the result is T(expected) exactly.
template <class T>::testing::AssertionResult same(T got, double expected, bool near = false) {
    const double tol = near ? std::numeric_limits<T>::epsilon() * std::fabs(expected) : 0;
    if (std::isnan(expected) ? bits_of(got) == (sizeof(T) == 4 ? const_nan_float : const_nan_double)
                             : (near ? std::fabs(got - expected) <= tol : got == T(expected)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << expected;
}

enum ErrvaOp { Add, Sub, Mul, Div };
template <class T> using op_fn = int (*)(T*, T*, int*, T, T, int, T, T, int);
template <class T> op_fn<T> plain_op(ErrvaOp op) {
    if constexpr (sizeof(T) == 4)
        return std::array<op_fn<float>, 4>{errva_add, errva_sub, errva_mul, errva_div}[op];
    else
        return std::array<op_fn<double>, 4>{errva_dadd, errva_dsub, errva_dmul, errva_ddiv}[op];
}

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
    int only = 0; // the size of the one precision the row is for
};

template <class T> void check_case(const OpCase& c, int row) {
    if (c.only != 0 && c.only != int(sizeof(T)))
        return;
    errva_globptr()->state_mask[2] = c.unapprox_bit;
    errva_globptr()->throw_on_unapprox = c.throws;
    T v = T(-99), s = T(-99);
    int f = 0x4107;
    const int state = plain_op<T>(c.op)(&v, &s, &f, T(c.a), T(c.as), c.af, T(c.b), T(c.bs), c.bf);
    EXPECT_EQ(std::make_pair(state, f), std::make_pair(c.state, c.flags)) << "row " << row;
    EXPECT_TRUE(same(v, c.value) && same(s, c.sigma, c.near)) << "row " << row;
}

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

} // namespace

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
        // A NaN sigma or a bad operand: plain value, NaN sigma; a NaN value stays NaN.
        {Mul, 3, 1, 0, 2, kNan, 0, ERRVA_BAD, 6, kNan, 0x4007},
        {Sub, 3, 1, 0x4000, 2, 1, 0, ERRVA_BAD, 1, kNan, 0x4007},
        {Mul, kNan, 1, 0, 2, 1, 0, ERRVA_BAD, kNan, kNan, 0x4007},
        {Add, kInf, 1, 0, 2, 1, 0, ERRVA_OK, kInf, std::sqrt(2.0), 0x7}, // a number, not a NaN
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
        // Float quotients take squares, b^4, a^2 bs^2 and as^2/b^2 in float, the rest of the
        // variance in double, the root in float: sigma bits 0x41FE2692 and 0x3EC87486, where
        // float-only steps give ...91 and ...87 and double-only steps ...93 and ...85.  The
        // equivalent sigma divides the sigmas in float: 2 x float(10/3) / FWHM.
        // clang-format off
        {Div, 9.1645031, 2.95624208, 0, 0.179226831, 0.0830794498, 0, ERRVA_OK, 51.133544921875, 31.768833160400391, 0x7, false, 0, 0, 4},
        {Div, 2.97195864, 0.0286126696, 0, 3.40104842, 1.52324402, 0, ERRVA_OK, 0.8738360404968262, 0.39151400327682495, 0x7, false, 0, 0, 4},
        {Div, 0.1, 10, 0, 0.1, 3, 0, ERRVA_EQUIV, 1, 2.8310725688934326, 0x7, false, 0, 0, 4},
        // clang-format on
        // An uncertain divisor without noise: the expansion's value, with the state's bit;
        // thrown by the member, reported by the plain entry.
        {Div, 1, 0.5, 0, 2, 2, 0, ERRVA_UNAPPROX, 0.5, s1, 0x7 | kUnapprox, true, kUnapprox, 1},
    };
    for (const OpCase& c : cases)
        check_case<TypeParam>(c, int(&c - cases));
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

TEST_F(ErrvaTest, SettingsAndMaskSetup) {
    const errvaclass made;
    EXPECT_EQ(std::memcmp(&made, errva_globpubptr(), sizeof made), 0);
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
    for (const OpCase& c : cases)
        check_case<float>(c, int(&c - cases));
}

// The plain quotient entry points take a shortcut for common quotients; they must give, bit
// for bit, what the member gives: value, sigma, flag word and state (a thrown message counts
// as ERRVA_UNAPPROX, as the plain entries report it).  Every quadruple of special values with
// plain flags and, on every stride-th, other flag words; then random bit images (every class
// of number) and ordinary magnitudes with random flag words.  Under the default settings;
// other masks and state bits; throwing; then limits: a zero limit fails every divisor with a
// non-zero sigma, a negative one is used by its magnitude, an infinite limit times a zero
// divisor and a NaN limit are NaN, which passes every divisor.
TYPED_TEST(ErrvaTyped, PlainQuotientsAgreeWithTheMemberBitForBit) {
    using T = TypeParam;
    using L = std::numeric_limits<T>;
    const float inf = std::numeric_limits<float>::infinity(), nan = float(kNan);
    const struct {
        int bad, suspect, unapprox_bit, equiv_bit, throws;
        float noise, limit;
        std::size_t stride;
    } settings[] = {
        {0x4000, 0x100, 0, 0, 0, 9, 0.9f, 7},     {0x1, 0x6, 0x40, 0x80, 0, 9, 0.9f, 7},
        {0x4000, 0x100, 0, 0, 1, 9, 0.9f, 7},     {0x4000, 0x100, 0, 0, 0, 9, 0, 1000},
        {0x4000, 0x100, 0, 0, 0, 2, -0.5f, 1000}, {0x4000, 0x100, 0, 0, 0, 0, inf, 1000},
        {0x4000, 0x100, 0, 0, 0, 9, nan, 1000}};
    // Values at the divisor limit (0.9 b) and the noise limit (9 a) of the default settings,
    // zeros, denormals, the ends of the normal range, infinities, quiet and signalling NaNs.
    const T limit = T(0.9f);
    std::vector<T> v = {L::signaling_NaN(), limit, std::nextafter(limit, T(1)),
                        std::nextafter(limit, T(0)), T(sizeof(T) == 8 ? 0.9 : 0)};
    for (T m : {T(0), L::denorm_min(), L::min() / T(3), L::min(), T(1), T(3), T(9),
                std::nextafter(T(9), T(10)), L::max(), L::infinity(), L::quiet_NaN()})
        v.insert(v.end(), {m, -m});
    const int words[] = {0, 0x7, 0x100, 0x4000, 0x4100, 0x20, -1};
    std::size_t failures = 0, n = 0, row = 0;
    auto check = [&](T a, T as, int af, T b, T bs, int bf, int flags) {
        T pv = T(-7.5), ps = T(3.25), mv = pv, ms = ps;
        int pf = flags, state = ERRVA_UNAPPROX;
        const int ps_state = plain_op<T>(Div)(&pv, &ps, &pf, a, as, af, b, bs, bf);
        try {
            state = errva_global.div(mv, ms, flags, a, as, af, b, bs, bf);
        } catch (const char*) {
        }
        const auto p = std::make_tuple(bits_of(pv), bits_of(ps), pf, ps_state);
        const auto m = std::make_tuple(bits_of(mv), bits_of(ms), flags, state);
        if (p != m && ++failures <= 5) // settings row, operands, plain, member
            ADD_FAILURE() << row << ::testing::PrintToString(std::tie(a, as, af, b, bs, bf, p, m));
    };
    for (const auto& s : settings) {
        static_cast<errva_settings&>(errva_global) = {
            s.bad,   s.suspect, 0,       {0, s.bad, s.unapprox_bit, s.equiv_bit},
            s.noise, s.limit,   s.throws};
        row = &s - settings;
        for (T a : v)
            for (T as : v)
                for (T b : v)
                    for (T bs : v) {
                        const bool sampled = (n++ % s.stride) == 0;
                        for (int af : words)
                            for (int bf : {0, 0x100, 0x4000})
                                if (sampled || (af == 0 && bf == 0))
                                    check(a, as, af, b, bs, bf, 0x7 | 0x4100);
                    }
        std::mt19937_64 gen(row + 1);
        for (int i = 0; i < 200000; ++i) {
            T x[4];
            for (T& e : x) {
                const uint64_t bits = gen();
                const double m = (bits & 0x10 ? -1 : 1) * double(bits >> 11) * 0x1p-53;
                e = T(std::ldexp(m, int(bits % 16) - 8));
                if (i % 2 == 0)
                    std::memcpy(&e, &bits, sizeof e);
            }
            const uint64_t f = gen();
            check(x[0], x[1], words[f % 7], x[2], x[3], words[(f >> 8) % 7], int(f >> 32));
        }
    }
}

TYPED_TEST(ErrvaTyped, InterpolationCases) {
    using T = TypeParam;
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
    for (const InterpCase& c : cases) {
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
        EXPECT_EQ(std::make_pair(ret, flags), std::make_pair(c.ret, c.flags)) << &c - cases;
        EXPECT_TRUE(same(v, c.y, c.near) && same(vs, c.ys, c.near)) << &c - cases;
    }
}
