/* Portable uniform and Gaussian random numbers.
 *
 * The uniform generator combines two multiplicative congruential generators
 * whose states, portrand_s1 and portrand_s2, start at 123456 and 234567 and
 * live for the whole process; the Gaussian deviates come in pairs, the
 * second kept for the next call.  The state is unprotected: one thread at a
 * time. */
#ifndef DOWNLINK_UGRAN_H
#define DOWNLINK_UGRAN_H

#include <stdint.h>

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

ERRVA_API extern int32_t portrand_s1;
ERRVA_API extern int32_t portrand_s2;

/* Next uniform deviate in (0, 1). */
ERRVA_API double uniform_pure(void);
/* Restarts the generator; a seed outside 1 .. 214783399 is replaced by
 * 345678 (seed1) or 456789 (seed2).  A stored Gaussian deviate is kept. */
ERRVA_API void uniformseed(int seed1, int seed2);
/* Next standard normal deviate. */
ERRVA_API float gasdev_pure(void);

#ifdef __cplusplus
}
#endif

#endif
