// Shared helpers of the liberrva tests: a fixture that starts every test from the default
// settings of the library object, bit images, and the plain entry points by operation.
#ifndef DOWNLINK_ERRVA_TESTING_H
#define DOWNLINK_ERRVA_TESTING_H

#include "errva.h"
#include "nanvalue.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

class ErrvaTest : public ::testing::Test {
  protected:
    void SetUp() override { *errva_globptr() = errvaclass(); }
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

const double kNan = std::numeric_limits<double>::quiet_NaN();

// An expected NaN is the library's NaN bit for bit; `near` allows a relative error of one
// epsilon of T (the operands' own rounding), otherwise the result is T(expected) exactly.
template <class T>::testing::AssertionResult same(T got, double expected, bool near = false) {
    const double tol = near ? std::numeric_limits<T>::epsilon() * std::fabs(expected) : 0;
    if (std::isnan(expected) ? bits_of(got) == (sizeof(T) == 4 ? const_nan_float : const_nan_double)
                             : (near ? std::fabs(got - expected) <= tol : got == T(expected)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << expected;
}

// The plain entry point of an operation in precision T.
enum ErrvaOp { Add, Sub, Mul, Div };
template <class T> using op_fn = int (*)(T*, T*, int*, T, T, int, T, T, int);
template <class T> op_fn<T> plain_op(ErrvaOp op) {
    if constexpr (sizeof(T) == 4)
        return std::array<op_fn<float>, 4>{errva_add, errva_sub, errva_mul, errva_div}[op];
    else
        return std::array<op_fn<double>, 4>{errva_dadd, errva_dsub, errva_dmul, errva_ddiv}[op];
}

#endif
