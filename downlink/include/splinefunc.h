/* Natural cubic spline tables with uncertainties, and the classic one-based
 * spline pair.
 *
 * A table holds n samples (x strictly ascending, y, y_sigma) and the
 * natural spline's second derivatives ypp at the samples with an
 * uncertainty figure ypp_sigma for each.  It is built once and evaluated
 * many times.  Tables need at least two samples. */
#ifndef DOWNLINK_SPLINEFUNC_H
#define DOWNLINK_SPLINEFUNC_H

#include <stdio.h>

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The table and each of its five arrays of n doubles are separate heap
 * blocks owned by the table. */
typedef struct spline_table {
    int n;             /* number of samples */
    double* x;         /* abscissae, strictly ascending */
    double* y;         /* ordinates */
    double* y_sigma;   /* one-sigma uncertainty of each y (0 when none given) */
    double* ypp;       /* second derivative of the natural spline at each sample */
    double* ypp_sigma; /* sample-sigma-weighted norm of column k of the spline matrix inverse */
} spline_table;

/* Table of n >= 2 samples with uninitialised arrays in *out; returns 0, or
 * -1 (and *out null) when n < 2 or memory cannot be had. */
ERRVA_API int splinetab_alloc(int n, spline_table** out);
/* Builds a table from the samples (y_sigma may be null: zero sigmas) and
 * computes it; returns the result of splinetab_calc, or -1 when no table
 * could be made (*out then null).  A table whose calculation failed is
 * still stored in *out. */
ERRVA_API int splinetab(int n, double* x, double* y, double* y_sigma, spline_table** out);
ERRVA_API int splinetab_float(int n, float* x, float* y, float* y_sigma, spline_table** out);
/* Computes ypp and ypp_sigma from x, y and y_sigma.  Returns 0, or -1 when
 * the table has fewer than two samples, the abscissae are not strictly
 * ascending, the spline matrix has a pivot below 1e-6 or memory cannot be
 * had; ypp and ypp_sigma are then NaN. */
ERRVA_API int splinetab_calc(spline_table* t);
/* Spline value at x and its sigma, propagating x_sigma through the slope of
 * the spline and the sigmas of the two bracketing samples.  Returns 0
 * inside the table; below or above it the value is extrapolated along the
 * end interval's line with the end sample's sigma and the result is -1 or
 * -2.  A NaN x (or a table of fewer than two samples) gives NaN value and
 * sigma and -1. */
ERRVA_API int splineinterp(double x, double x_sigma, double* y, double* y_sigma, spline_table* t);
/* Releases a table (null allowed). */
ERRVA_API void splinefree(spline_table* t);

/* Second derivatives y2[1 .. n] of the interpolating cubic spline through
 * x[1 .. n], y[1 .. n] with end slopes yp1, ypn (a slope above 0.99e30
 * makes that end natural).  Element 0 of each array is never used. */
ERRVA_API void nrspline(double* x, double* y, int n, double yp1, double ypn, double* y2);
/* *y = spline value at x from the tables of nrspline (one-based).  Two equal
 * abscissae around x end the process with a message and status 1; n < 2
 * gives NaN. */
ERRVA_API void nrsplint(double* xa, double* ya, double* y2a, int n, double x, double* y);

/* Prints the first n samples of table t with ypp_calc beside ypp, then the
 * spline at the samples and at the midpoints between them. */
ERRVA_API void splitest_showit(FILE* out, int n, spline_table* t, const char* label, double value,
                               double* ypp_calc);
/* Test driver: tables of polynomials with exact and noisy ordinates, printed
 * on standard output. */
ERRVA_API void spline_test(void);

#ifdef __cplusplus
}
#endif

#endif
