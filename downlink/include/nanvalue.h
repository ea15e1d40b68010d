/* Not-a-number constants and bit-image tests of liberrva.
 *
 * The constants are the bit images of the quiet NaNs and of the exponent and
 * mantissa fields of single and double precision numbers, held as unsigned
 * integers of the same width.  Read a NaN value by copying its bits, e.g.
 *     float f; memcpy(&f, &const_nan_float, sizeof f);
 * The tests look at the bit image only and never raise a floating-point
 * exception; the sign bit is ignored and signalling NaNs count as NaN. */
#ifndef DOWNLINK_NANVALUE_H
#define DOWNLINK_NANVALUE_H

#include <stdint.h>

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

ERRVA_API extern const uint32_t const_exp_float;   /* 0x7F800000 */
ERRVA_API extern const uint32_t const_nan_float;   /* 0x7FC00000 */
ERRVA_API extern const uint32_t const_mant_float;  /* 0x007FFFFF */
ERRVA_API extern const uint64_t const_exp_double;  /* 0x7FF0000000000000 */
ERRVA_API extern const uint64_t const_nan_double;  /* 0x7FF8000000000000 */
ERRVA_API extern const uint64_t const_mant_double; /* 0x000FFFFFFFFFFFFF */

/* 1 when x is a NaN (exponent all ones, mantissa non-zero), else 0. */
ERRVA_API int iznanf(float x);
ERRVA_API int iznand(double x);
/* 1 when x is +infinity or -infinity (exponent all ones, mantissa zero). */
ERRVA_API int izinff(float x);
ERRVA_API int izinfd(double x);

#ifdef __cplusplus
}
#endif

#endif
