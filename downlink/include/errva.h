/* Arithmetic on values that carry a one-sigma uncertainty and a flag word.
 *
 * Every operation takes two triples (value, sigma, flags), writes the result
 * value and sigma, rewrites the caller's flag word as
 *     flags = (flags & ~(bad_mask | suspect_mask)) | state_mask[state]
 * and returns the state.  The settings live in the one library object
 * errva_global, ready as soon as the library is loaded; a caller changes them
 * through the pointer from errva_globptr, in C as in C++.  The routines read
 * the settings without locking: change them while no other thread uses the
 * library.  The plain functions and the settings are usable from C; the
 * methods of errvaclass are visible to C++ only. */
#ifndef DOWNLINK_ERRVA_H
#define DOWNLINK_ERRVA_H

#include "errva_api.h"

/* State of an operation; the index into state_mask. */
typedef enum errva_state {
    ERRVA_OK = 0,       /* value and sigma from the normal propagation formula */
    ERRVA_BAD = 1,      /* operand NaN, bad or suspect (sigma NaN unless suspect) */
    ERRVA_UNAPPROX = 2, /* divisor too uncertain for the quotient's expansion */
    ERRVA_EQUIV = 3     /* both operands noise: equivalent Gaussian sigma of the ratio */
} errva_state;

/* Settings of the uncertainty arithmetic: the members of errvaclass, which
 * C callers see under that name. */
struct errva_settings {
    int bad_mask;          /* flag bits that make an operand unusable */
    int suspect_mask;      /* flag bits of a questionable value */
    int flag_extrap;       /* non-zero: extrapolation marks the result suspect */
    int state_mask[4];     /* bits ORed into the result flags, by state */
    float noise_ratio;     /* relative sigma above which an operand is pure noise */
    float approx_limit;    /* divisor relative sigma limit of the quotient expansion */
    int throw_on_unapprox; /* non-zero: an ERRVA_UNAPPROX quotient throws */
};

#ifdef __cplusplus

/* The settings and the quotient itself. */
class ERRVA_API errvaclass : public errva_settings {
  public:
    errvaclass();
    errvaclass(float noise_ratio, float approx_limit);

    /* result = a / b with uncertainty; see the state table above. */
    errva_state div(float& result, float& result_sigma, int& result_flags, float a, float a_sigma,
                    int a_flags, float b, float b_sigma, int b_flags);
    errva_state div(double& result, double& result_sigma, int& result_flags, double a,
                    double a_sigma, int a_flags, double b, double b_sigma, int b_flags);

    /* Gaussian sigma equivalent to a full width at half maximum. */
    double EquivSigma(double width);

    /* Interpolation of a table xa (strictly ascending), ya with one sigma per
     * sample, at x.  order <= 2 asks for linear interpolation, order > 2 for
     * a natural cubic spline inside the table (linear extrapolation outside).
     * Returns 0 interpolated, 1 extrapolated, -1 n < 1, -2 n = 1 (y = ya[0]),
     * or the negative code of the method used. */
    int interp(float& y, float& y_sigma, int& flags, float x, int order, int n, float* xa,
               float* ya, float* ya_sigma);
    int interp(double& y, double& y_sigma, int& flags, double x, int order, int n, double* xa,
               double* ya, double* ya_sigma);
    /* Returns 0 inside, 1 extrapolated from the two nearest samples, -3 n < 2,
     * -4 no bracketing interval (x NaN or xa not ascending). */
    int linear_interp(float& y, float& y_sigma, int& flags, float x, int n, float* xa, float* ya,
                      float* ya_sigma);
    int linear_interp(double& y, double& y_sigma, int& flags, double x, int n, double* xa,
                      double* ya, double* ya_sigma);
    /* Returns 0, -3 for n < 3 or x outside [xa[0], xa[n-1]] (NaN included),
     * -1 when xa is not strictly ascending (a repeated abscissa), -5 when
     * working storage cannot be had, or the negative code of the tridiagonal
     * solver when the spline system is singular. */
    int spline_interp(float& y, float& y_sigma, int& flags, float x, int n, float* xa, float* ya,
                      float* ya_sigma);
    int spline_interp(double& y, double& y_sigma, int& flags, double x, int n, double* xa,
                      double* ya, double* ya_sigma);
};

extern "C" {
/* The library's settings object. */
ERRVA_API extern errvaclass errva_global;
}

#else
typedef struct errva_settings errvaclass;
/* The library's settings object. */
ERRVA_API extern errvaclass errva_global;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 2 sqrt(2 ln 2): full width at half maximum of a unit Gaussian. */
ERRVA_API extern const double fwhm_to_sigma;

ERRVA_API int errva_add(float* result, float* result_sigma, int* result_flags, float a,
                        float a_sigma, int a_flags, float b, float b_sigma, int b_flags);
ERRVA_API int errva_sub(float* result, float* result_sigma, int* result_flags, float a,
                        float a_sigma, int a_flags, float b, float b_sigma, int b_flags);
ERRVA_API int errva_mul(float* result, float* result_sigma, int* result_flags, float a,
                        float a_sigma, int a_flags, float b, float b_sigma, int b_flags);
ERRVA_API int errva_div(float* result, float* result_sigma, int* result_flags, float a,
                        float a_sigma, int a_flags, float b, float b_sigma, int b_flags);

ERRVA_API int errva_dadd(double* result, double* result_sigma, int* result_flags, double a,
                         double a_sigma, int a_flags, double b, double b_sigma, int b_flags);
ERRVA_API int errva_dsub(double* result, double* result_sigma, int* result_flags, double a,
                         double a_sigma, int a_flags, double b, double b_sigma, int b_flags);
ERRVA_API int errva_dmul(double* result, double* result_sigma, int* result_flags, double a,
                         double a_sigma, int a_flags, double b, double b_sigma, int b_flags);
ERRVA_API int errva_ddiv(double* result, double* result_sigma, int* result_flags, double a,
                         double a_sigma, int a_flags, double b, double b_sigma, int b_flags);

/* errva_global.interp with pointers in place of references. */
ERRVA_API int errva_interp(float* y, float* y_sigma, int* flags, float x, int order, int n,
                           float* xa, float* ya, float* ya_sigma);
ERRVA_API int errva_dinterp(double* y, double* y_sigma, int* flags, double x, int order, int n,
                            double* xa, double* ya, double* ya_sigma);

/* Sets bad_mask, suspect_mask, flag_extrap = 0 and state_mask[0,1,3] = {0, bad, 0}. */
ERRVA_API void errva_mask_setup(int bad, int suspect);
/* Both return the address of errva_global. */
ERRVA_API errvaclass* errva_globptr(void);
ERRVA_API errvaclass* errva_globpubptr(void);

/* Fetch element i of parallel value, sigma and mask arrays: *sigma and *mask
 * are zeroed first, and stay so where their array is absent.  Returns 1 and
 * leaves *value alone when there are no values, else 0. */
ERRVA_API int dfetch(double* value, double* sigma, unsigned short* mask, int i, int unused,
                     short have_values, double* values, short have_sigmas, double* sigmas,
                     short have_masks, unsigned short* masks);
ERRVA_API int ffetch(float* value, float* sigma, unsigned short* mask, int i, int unused,
                     short have_values, float* values, short have_sigmas, float* sigmas,
                     short have_masks, unsigned short* masks);

#ifdef __cplusplus
}
#endif

#endif
