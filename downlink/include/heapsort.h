/* In-place ascending heap sorts of a[0 .. n-1]; n < 2 leaves a unchanged. */
#ifndef DOWNLINK_HEAPSORT_H
#define DOWNLINK_HEAPSORT_H

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

ERRVA_API void heapsort(int n, float* a);
ERRVA_API void heapsortd(int n, double* a);

#ifdef __cplusplus
}
#endif

#endif
