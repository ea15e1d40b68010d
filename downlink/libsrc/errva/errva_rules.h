// Operand screening, flag-word update, NaN values and the quotient's sigma
// shared by the arithmetic and interpolation routines of liberrva (internal,
// not installed).
#ifndef DOWNLINK_ERRVA_RULES_H
#define DOWNLINK_ERRVA_RULES_H

#include "errva.h"
#include "nanvalue.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace errva_rules {

// Bit images of the exponent and mantissa fields and of the library's quiet NaNs.
constexpr uint32_t exp_float_bits = 0x7F800000u;
constexpr uint32_t mant_float_bits = 0x007FFFFFu;
constexpr uint32_t nan_float_bits = 0x7FC00000u;
constexpr uint64_t exp_double_bits = 0x7FF0000000000000ull;
constexpr uint64_t mant_double_bits = 0x000FFFFFFFFFFFFFull;
constexpr uint64_t nan_double_bits = 0x7FF8000000000000ull;
constexpr uint32_t sign_float_bit = 0x80000000u;
constexpr uint64_t sign_double_bit = 0x8000000000000000ull;

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

// NaN: exponent all ones and a non-zero mantissa, whatever the sign, that is
// a bit image above that of infinity once the sign is cleared.  Tested on the
// bit image so that no floating-point exception is ever raised.
inline bool is_nan(float x) {
    return (bits_of(x) & ~sign_float_bit) > exp_float_bits;
}
inline bool is_nan(double x) {
    return (bits_of(x) & ~sign_double_bit) > exp_double_bits;
}
// Infinity: exponent all ones and a zero mantissa, whatever the sign.
inline bool is_inf(float x) {
    return (bits_of(x) & ~sign_float_bit) == exp_float_bits;
}
inline bool is_inf(double x) {
    return (bits_of(x) & ~sign_double_bit) == exp_double_bits;
}

template <class T> T nan_value();
template <> inline float nan_value<float>() {
    float f;
    std::memcpy(&f, &nan_float_bits, sizeof f);
    return f;
}
template <> inline double nan_value<double>() {
    double d;
    std::memcpy(&d, &nan_double_bits, sizeof d);
    return d;
}

// True when an operand is NaN, has a NaN sigma or carries bad_mask bits.
template <class T>
bool operands_bad(const errvaclass& s, T a, T a_sigma, int a_flags, T b, T b_sigma, int b_flags) {
    // Every test is cheap and free of side effects: evaluate all of them
    // rather than branch on each.
    return (int(is_nan(a)) | int(is_nan(a_sigma)) | int(is_nan(b)) | int(is_nan(b_sigma)) |
            int(((a_flags | b_flags) & s.bad_mask) != 0)) != 0;
}

inline errva_state suspect_state(const errvaclass& s, int a_flags, int b_flags) {
    return ((a_flags | b_flags) & s.suspect_mask) != 0 ? ERRVA_BAD : ERRVA_OK;
}

// Replaces the bits of both masks in the caller's word by the state's bits.
inline void update_flags(const errvaclass& s, int& flags, int state) {
    flags = (flags & ~(s.bad_mask | s.suspect_mask)) | s.state_mask[state];
}

// Second-order expansion of the quotient's sigma,
// sqrt(as^2/b^2 + (3 as^2 bs^2 + a^2 bs^2)/b^4).  Single precision forms the
// squares and b^4 in float, the variance in double, and the root in float.
inline float expansion_sigma(float a, float a_sigma, float b, float b_sigma) {
    const float a2 = a * a;
    const float as2 = a_sigma * a_sigma;
    const float b2 = b * b;
    const float bs2 = b_sigma * b_sigma;
    const float b4 = b2 * b2;
    const float a2bs2 = a2 * bs2;
    const float ratio = as2 / b2;
    const double var = ((double(as2) * 3.0) * double(bs2) + double(a2bs2)) / double(b4) + ratio;
    return std::sqrt(float(var));
}

inline double expansion_sigma(double a, double a_sigma, double b, double b_sigma) {
    const double as2 = a_sigma * a_sigma;
    const double bs2 = b_sigma * b_sigma;
    const double b2 = b * b;
    const double b4 = b2 * b2;
    return std::sqrt(as2 / b2 + ((as2 * 3.0) * bs2 + (a * a) * bs2) / b4);
}

// A NaN produced by the arithmetic leaves as the library's own NaN.
template <class T> T nan_as_library_nan(T x) {
    return is_nan(x) ? nan_value<T>() : x;
}

template <class T> T quotient_value(T a, T b) {
    return b == T(0) ? nan_value<T>() : a / b;
}

// The divisor test of the quotient: the expansion holds while
// |b_sigma| <= |approx_limit b|, the limit product formed in T.
template <class T> bool divisor_approximable(const errvaclass& s, T b, T b_sigma) {
    const T limit = T(s.approx_limit) * b;
    return !(std::fabs(b_sigma) > std::fabs(limit));
}

} // namespace errva_rules

#endif
