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

class ErrvaTest : public ::testing::Test {
  protected:
    void SetUp() override { *errva_globptr() = errvaclass(); }
    void TearDown() override { *errva_globptr() = errvaclass(); }
};
template <class T> class ErrvaTyped : public ErrvaTest {};
using Precisions = ::testing::Types<float, double>;

inline uint32_t bits_of(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
// The float (T = float, low 32 bits) or double with the given bit image.
template <class T> T from_bits(uint64_t bits) {
    T x;
    if constexpr (sizeof(T) == 4) {
        const uint32_t b = uint32_t(bits);
        std::memcpy(&x, &b, sizeof x);
    } else {
        std::memcpy(&x, &bits, sizeof x);
    }
    return x;
}

// The library's NaN, bit for bit.
inline bool is_library_nan(float x) {
    return bits_of(x) == const_nan_float;
}
inline bool is_library_nan(double x) {
    return bits_of(x) == const_nan_double;
}

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// An expected NaN is the library's NaN; `near` allows a few units in the last
// place of T, otherwise the result is T(expected) exactly.
template <class T>::testing::AssertionResult same(T got, double expected, bool near = false) {
    const double tol = near ? 8 * std::numeric_limits<T>::epsilon() * std::fabs(expected) : 0;
    if (std::isnan(expected) ? is_library_nan(got)
                             : (near ? std::fabs(got - expected) <= tol : got == T(expected)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << expected;
}

// The plain entry points of one operation in both precisions.
enum ErrvaOp { Add, Sub, Mul, Div };
template <class T>
int plain_op(ErrvaOp op, T* v, T* s, int* f, T a, T as, int af, T b, T bs, int bf) {
    if constexpr (sizeof(T) == 4) {
        auto* fn = op == Add   ? errva_add
                   : op == Sub ? errva_sub
                   : op == Mul ? errva_mul
                               : errva_div;
        return fn(v, s, f, a, as, af, b, bs, bf);
    } else {
        auto* fn = op == Add   ? errva_dadd
                   : op == Sub ? errva_dsub
                   : op == Mul ? errva_dmul
                               : errva_ddiv;
        return fn(v, s, f, a, as, af, b, bs, bf);
    }
}

// One worked case: operands, settings (state_mask[2], throw_on_unapprox) and
// the expected state, value, sigma (near: within a few ulps) and flag word.
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
    const int state = plain_op<T>(c.op, &v, &s, &f, T(c.a), T(c.as), c.af, T(c.b), T(c.bs), c.bf);
    EXPECT_EQ(state, c.state) << "row " << row;
    EXPECT_TRUE(same(v, c.value)) << "value, row " << row;
    EXPECT_TRUE(same(s, c.sigma, c.near)) << "sigma, row " << row;
    EXPECT_EQ(f, c.flags) << "row " << row;
}

#endif
