// Not-a-number constants and tests: everything works on the bit image so that
// no comparison of a NaN (and no floating-point exception) is ever involved.
#include "nanvalue.h"

#include <cstring>

extern "C" {

ERRVA_API extern const uint32_t const_exp_float = 0x7F800000u;
ERRVA_API extern const uint32_t const_nan_float = 0x7FC00000u;
ERRVA_API extern const uint32_t const_mant_float = 0x007FFFFFu;
ERRVA_API extern const uint64_t const_exp_double = 0x7FF0000000000000ull;
ERRVA_API extern const uint64_t const_nan_double = 0x7FF8000000000000ull;
ERRVA_API extern const uint64_t const_mant_double = 0x000FFFFFFFFFFFFFull;

} // extern "C"

namespace {

uint32_t float_bits(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

uint64_t double_bits(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

} // namespace

extern "C" {

int iznanf(float x) {
    const uint32_t bits = float_bits(x);
    return (bits & const_exp_float) == const_exp_float && (bits & const_mant_float) != 0;
}

int iznand(double x) {
    const uint64_t bits = double_bits(x);
    return (bits & const_exp_double) == const_exp_double && (bits & const_mant_double) != 0;
}

int izinff(float x) {
    const uint32_t bits = float_bits(x);
    return (bits & const_exp_float) == const_exp_float && (bits & const_mant_float) == 0;
}

int izinfd(double x) {
    const uint64_t bits = double_bits(x);
    return (bits & const_exp_double) == const_exp_double && (bits & const_mant_double) == 0;
}

} // extern "C"
