/* Banded LU solver in double precision, without pivoting.
 *
 * A band matrix of order n is an array of n+1 row pointers: pointer i
 * addresses row i so that element (i, j) is a[i][j] with j in matrix
 * coordinates, and pointer n holds the single storage block.  A band matrix
 * from bandalloc(n, p, q) may be addressed only in columns i-p .. i+q of
 * row i; a full matrix from matalloc may be given to the band routines with
 * any p and q.  Rows and columns are numbered 0 .. n-1.
 *
 * To solve A.x = b: bandlufact, then bandluforsubst (b becomes L^-1.b), then
 * bandlubaksubst (b becomes x). */
#ifndef DOWNLINK_BANDED_H
#define DOWNLINK_BANDED_H

#include <stdio.h>

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Zero-filled band matrix with lower bandwidth p and upper bandwidth q;
 * null when memory cannot be had or n, p or q is negative. */
ERRVA_API double** bandalloc(int n, int p, int q);
/* Zero-filled full n x m matrix in the same shape; null on failure. */
ERRVA_API double** matalloc(int n, int m);
/* Release a matrix of order n (null allowed). */
ERRVA_API void bandfree(double** rows, int n);
ERRVA_API void matfree(double** rows, int n);

/* LU factors of a overwrite it (L unit lower, multipliers below the
 * diagonal).  Returns -1 when a pivot a[k][k], k < n-1, has
 * |a[k][k]| < tol; the rows above it are then factored.  Else 0. */
ERRVA_API int bandlufact(double** a, int n, int p, int q, float tol);
/* b = L^-1.b with the unit lower factor (q unused).  Returns 0. */
ERRVA_API int bandluforsubst(double** a, int n, int p, int q, double* b);
/* b = U^-1.b with the upper factor (p unused).  Returns 0. */
ERRVA_API int bandlubaksubst(double** a, int n, int p, int q, double* b);

/* Prints the matrix with zeros outside the band; nothing when out is null.
 * Returns 0. */
ERRVA_API int bandshow(FILE* out, double** a, int n, int p, int q, const char* title);
/* Self-test of the band family on matrices of order n; reports to out
 * (nothing when out is null).  Returns 0 when it passes, else the number of
 * failed factor rows, or 1 when only the solution test failed. */
ERRVA_API int bandunit(FILE* out, int n);

#ifdef __cplusplus
}
#endif

#endif
