// Plain entry points of the uncertainty arithmetic, usable from C.
#include "errva.h"
#include "errva_rules.h"

#include <cmath>

using namespace errva_rules;

namespace {

enum class op { add, sub, mul };

template <class T> T plain_value(op o, T a, T b) {
    switch (o) {
    case op::add:
        return a + b;
    case op::sub:
        return a - b;
    default:
        return a * b;
    }
}

// Sigma of a sum or difference, or the exact sigma of a product of
// independent operands (first-order terms plus as^2 bs^2).
template <class T> T plain_sigma(op o, T a, T a_sigma, T b, T b_sigma) {
    if (o != op::mul)
        return std::sqrt(a_sigma * a_sigma + b_sigma * b_sigma);
    const T var = ((a * a) * b_sigma) * b_sigma + ((b * b) * a_sigma) * a_sigma +
                  ((b_sigma * b_sigma) * a_sigma) * a_sigma;
    return std::sqrt(var);
}

template <class T>
int combine(op o, T* result, T* result_sigma, int* result_flags, T a, T a_sigma, int a_flags, T b,
            T b_sigma, int b_flags) {
    const errvaclass& s = errva_global;
    int state = ERRVA_BAD;
    if (operands_bad(s, a, a_sigma, a_flags, b, b_sigma, b_flags)) {
        *result_sigma = nan_value<T>();
    } else {
        *result_sigma = plain_sigma(o, a, a_sigma, b, b_sigma);
        state = suspect_state(s, a_flags, b_flags);
    }
    *result = plain_value(o, a, b);
    update_flags(s, *result_flags, state);
    return state;
}

// The common quotient: no bad bits among the operands, a non-zero divisor
// that passes the divisor test, and a sigma that is a number.  Its state is
// ERRVA_OK, or ERRVA_BAD for a suspect operand, so it can never throw and
// needs neither the exception handling nor the state ladder of the member.
// A NaN operand always makes the sigma NaN, so the one test of the sigma also
// screens the operands.  It writes what the member writes, in the same order.
// Returns false, having written nothing, for any other quotient.
template <class T>
bool common_quotient(const errvaclass& s, T* result, T* result_sigma, int* result_flags, T a,
                     T a_sigma, int a_flags, T b, T b_sigma, int b_flags, int& state) {
    if (((a_flags | b_flags) & s.bad_mask) != 0 || b == T(0) ||
        !divisor_approximable(s, b, b_sigma))
        return false;
    const T sigma = expansion_sigma(a, a_sigma, b, b_sigma);
    if (is_nan(sigma))
        return false;
    *result_sigma = sigma;
    state = suspect_state(s, a_flags, b_flags);
    *result = a / b;
    update_flags(s, *result_flags, state);
    return true;
}

// The quotient of the global object through the member; a throw on an
// unapproximable quotient has already written the outputs and is reported by
// its state.  Kept out of line so that the common quotient needs no frame.
template <class T>
__attribute__((noinline)) int general_quotient(T* result, T* result_sigma, int* result_flags, T a,
                                               T a_sigma, int a_flags, T b, T b_sigma,
                                               int b_flags) {
    try {
        return errva_global.div(*result, *result_sigma, *result_flags, a, a_sigma, a_flags, b,
                                b_sigma, b_flags);
    } catch (const char*) {
        return ERRVA_UNAPPROX;
    }
}

template <class T>
int divide(T* result, T* result_sigma, int* result_flags, T a, T a_sigma, int a_flags, T b,
           T b_sigma, int b_flags) {
    int state = ERRVA_OK;
    if (common_quotient(errva_global, result, result_sigma, result_flags, a, a_sigma, a_flags, b,
                        b_sigma, b_flags, state))
        return state;
    return general_quotient(result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                            b_flags);
}

template <class T>
int fetch(T* value, T* sigma, unsigned short* mask, int i, short have_values, const T* values,
          short have_sigmas, const T* sigmas, short have_masks, const unsigned short* masks) {
    *sigma = 0;
    *mask = 0;
    if (have_values == 0 || values == nullptr)
        return 1;
    *value = values[i];
    if (have_sigmas != 0 && sigmas != nullptr)
        *sigma = sigmas[i];
    if (have_masks != 0 && masks != nullptr)
        *mask = masks[i];
    return 0;
}

} // namespace

extern "C" {

int errva_add(float* result, float* result_sigma, int* result_flags, float a, float a_sigma,
              int a_flags, float b, float b_sigma, int b_flags) {
    return combine(op::add, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_sub(float* result, float* result_sigma, int* result_flags, float a, float a_sigma,
              int a_flags, float b, float b_sigma, int b_flags) {
    return combine(op::sub, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_mul(float* result, float* result_sigma, int* result_flags, float a, float a_sigma,
              int a_flags, float b, float b_sigma, int b_flags) {
    return combine(op::mul, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_div(float* result, float* result_sigma, int* result_flags, float a, float a_sigma,
              int a_flags, float b, float b_sigma, int b_flags) {
    return divide(result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma, b_flags);
}

int errva_dadd(double* result, double* result_sigma, int* result_flags, double a, double a_sigma,
               int a_flags, double b, double b_sigma, int b_flags) {
    return combine(op::add, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_dsub(double* result, double* result_sigma, int* result_flags, double a, double a_sigma,
               int a_flags, double b, double b_sigma, int b_flags) {
    return combine(op::sub, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_dmul(double* result, double* result_sigma, int* result_flags, double a, double a_sigma,
               int a_flags, double b, double b_sigma, int b_flags) {
    return combine(op::mul, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,
                   b_flags);
}

int errva_ddiv(double* result, double* result_sigma, int* result_flags, double a, double a_sigma,
               int a_flags, double b, double b_sigma, int b_flags) {
    return divide(result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma, b_flags);
}

int errva_interp(float* y, float* y_sigma, int* flags, float x, int order, int n, float* xa,
                 float* ya, float* ya_sigma) {
    return errva_global.interp(*y, *y_sigma, *flags, x, order, n, xa, ya, ya_sigma);
}

int errva_dinterp(double* y, double* y_sigma, int* flags, double x, int order, int n, double* xa,
                  double* ya, double* ya_sigma) {
    return errva_global.interp(*y, *y_sigma, *flags, x, order, n, xa, ya, ya_sigma);
}

void errva_mask_setup(int bad, int suspect) {
    errva_global.bad_mask = bad;
    errva_global.suspect_mask = suspect;
    errva_global.flag_extrap = 0;
    errva_global.state_mask[0] = 0;
    errva_global.state_mask[1] = bad;
    errva_global.state_mask[3] = 0;
}

errvaclass* errva_globptr(void) {
    return &errva_global;
}

errvaclass* errva_globpubptr(void) {
    return &errva_global;
}

int dfetch(double* value, double* sigma, unsigned short* mask, int i, int, short have_values,
           double* values, short have_sigmas, double* sigmas, short have_masks,
           unsigned short* masks) {
    return fetch(value, sigma, mask, i, have_values, values, have_sigmas, sigmas, have_masks,
                 masks);
}

int ffetch(float* value, float* sigma, unsigned short* mask, int i, int, short have_values,
           float* values, short have_sigmas, float* sigmas, short have_masks,
           unsigned short* masks) {
    return fetch(value, sigma, mask, i, have_values, values, have_sigmas, sigmas, have_masks,
                 masks);
}

} // extern "C"
