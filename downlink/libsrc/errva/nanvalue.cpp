// Not-a-number constants and tests: everything works on the bit image so that
// no comparison of a NaN (and no floating-point exception) is ever involved.
#include "nanvalue.h"
#include "errva_rules.h"

using namespace errva_rules;

extern "C" {

ERRVA_API extern const uint32_t const_exp_float = exp_float_bits;
ERRVA_API extern const uint32_t const_nan_float = nan_float_bits;
ERRVA_API extern const uint32_t const_mant_float = mant_float_bits;
ERRVA_API extern const uint64_t const_exp_double = exp_double_bits;
ERRVA_API extern const uint64_t const_nan_double = nan_double_bits;
ERRVA_API extern const uint64_t const_mant_double = mant_double_bits;

int iznanf(float x) {
    return is_nan(x) ? 1 : 0;
}

int iznand(double x) {
    return is_nan(x) ? 1 : 0;
}

int izinff(float x) {
    return is_inf(x) ? 1 : 0;
}

int izinfd(double x) {
    return is_inf(x) ? 1 : 0;
}

} // extern "C"
