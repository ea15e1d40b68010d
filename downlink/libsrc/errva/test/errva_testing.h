// Shared helpers of the liberrva tests: a fixture that starts every test from
// the default settings of the library object, bit images, and one table row
// format for the worked cases of the sums, products and quotients.
#ifndef DOWNLINK_ERRVA_TESTING_H
#define DOWNLINK_ERRVA_TESTING_H

#include "errva.h"
#include "nanvalue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

class ErrvaTest : public ::testing::Test {
  protected:
    void SetUp() override { *errva_globptr() = errvaclass(); }
    void TearDown() override { *errva_globptr() = errvaclass(); }
};
template <class T> class ErrvaTyped : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;

// Bit image of a float (32 bits) or double, and the value of a bit image.
template <class T> using bits_t = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
template <class T> bits_t<T> bits_of(T x) {
    bits_t<T> b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
template <class T> T from_bits(uint64_t bits) {
    const bits_t<T> b = bits_t<T>(bits);
    T x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
// The library's NaN, bit for bit.
template <class T> bool is_library_nan(T x) {
    return bits_of(x) == (sizeof(T) == 4 ? const_nan_float : const_nan_double);
}

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// An expected NaN is the library's NaN; `near` allows a relative error of one
// epsilon of T (the operands' own rounding), otherwise the result is
// T(expected) exactly.
template <class T>::testing::AssertionResult same(T got, double expected, bool near = false) {
    const double tol = near ? std::numeric_limits<T>::epsilon() * std::fabs(expected) : 0;
    if (std::isnan(expected) ? is_library_nan(got)
                             : (near ? std::fabs(got - expected) <= tol : got == T(expected)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << expected;
}

// The plain entry point of an operation in precision T.
enum ErrvaOp { Add, Sub, Mul, Div };
template <class T> using op_fn = int (*)(T*, T*, int*, T, T, int, T, T, int);
template <class T> op_fn<T> plain_op(ErrvaOp op) {
    if constexpr (sizeof(T) == 4) {
        const op_fn<float> fns[] = {errva_add, errva_sub, errva_mul, errva_div};
        return fns[op];
    } else {
        const op_fn<double> fns[] = {errva_dadd, errva_dsub, errva_dmul, errva_ddiv};
        return fns[op];
    }
}

// One worked case: operands, settings (state_mask[2], throw_on_unapprox) and
// the expected state, value, sigma (near: within one epsilon) and flag word.
// The result flag word starts with caller bits 0x7 and both default mask bits.
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
    EXPECT_EQ(state, c.state) << "row " << row;
    EXPECT_TRUE(same(v, c.value)) << "value, row " << row;
    EXPECT_TRUE(same(s, c.sigma, c.near)) << "sigma, row " << row;
    EXPECT_EQ(f, c.flags) << "row " << row;
}

#endif
