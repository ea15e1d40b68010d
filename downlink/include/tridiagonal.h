/* Tridiagonal linear systems in single and double precision.
 *
 * A tridiagonal matrix M of order n is held in three arrays of n elements:
 * a[i] = M[i][i-1] (subdiagonal), b[i] = M[i][i] (diagonal) and
 * c[i] = M[i][i+1] (superdiagonal); a[0] and c[n-1] are not used.  A row
 * vector is a full-length array of n elements of which only the entries
 * i-1, i and i+1 matter.  The routines work in place on the caller's arrays
 * and allocate nothing.  An order n < 1 is an empty matrix: nothing is read
 * or written. */
#ifndef DOWNLINK_TRIDIAGONAL_H
#define DOWNLINK_TRIDIAGONAL_H

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Solves M.u = r by elimination without pivoting; gam is scratch of n
 * elements and r is not changed.  Returns 0, -1 when |b[0]| <= tol, or -2
 * when a later pivot has |pivot| <= tol (u and gam then hold partial
 * results).  A NaN pivot passes the test. */
ERRVA_API int tridiagsolve(float* a, float* b, float* c, float* r, float* u, float* gam, float tol,
                           int n);
ERRVA_API int dtridiagsolve(double* a, double* b, double* c, double* r, double* u, double* gam,
                            double tol, int n);

/* y = M.x; x and y must be distinct arrays. */
ERRVA_API void trimulvec(float* a, float* b, float* c, float* x, float* y, int n);
ERRVA_API void dtrimulvec(double* a, double* b, double* c, double* x, double* y, int n);

/* row = row i of M (all n elements written, zero outside the band).
 * An i outside 0 .. n-1 leaves row all zero. */
ERRVA_API void trigetrow(float* a, float* b, float* c, float* row, int i, int n);
ERRVA_API void dtrigetrow(double* a, double* b, double* c, double* row, int i, int n);

/* Row i of M = row (entries i-1, i, i+1); other elements untouched.
 * An i outside 0 .. n-1 changes nothing. */
ERRVA_API void triputrow(float* a, float* b, float* c, float* row, int i, int n);
ERRVA_API void dtriputrow(double* a, double* b, double* c, double* row, int i, int n);

/* Central band of the inverse of M.  a, b, c (M) are not changed; on return
 * d[i] = Minv[i][i-1], e[i] = Minv[i][i] and f[i] = Minv[i][i+1] (d[0] and
 * f[n-1] are set to 0).  Uses the pivots of elimination from the top and
 * from the bottom, computed in double; returns -1 when one of them has
 * |pivot| < tol (d, e, f then hold partial results), else 0. */
ERRVA_API int triadiaginvert(float* a, float* b, float* c, float* d, float* e, float* f, float tol,
                             int n);

#ifdef __cplusplus
}
#endif

#endif
