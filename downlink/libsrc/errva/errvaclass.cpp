// The settings object of the uncertainty arithmetic: the quotient and the
// interpolation of tabulated values with uncertainty.
#include "errva.h"
#include "errva_rules.h"
#include "tridiagonal.h"

#include <cmath>
#include <cstdlib>

using namespace errva_rules;

extern "C" {
ERRVA_API extern const double fwhm_to_sigma = std::sqrt(std::log(2.0) * 2.0) * 2.0;
ERRVA_API errvaclass errva_global;
}

namespace {

const char* const unapprox_message = "Un-approximate result in errva.div() - divide by zero??";

// Equivalent Gaussian sigma of the ratio of two noise-dominated operands,
// whose distribution has a full width at half maximum of 2 |as / bs|.
float equiv_sigma(errvaclass& s, float a_sigma, float b_sigma) {
    const float ratio = std::fabs(a_sigma / b_sigma);
    return float(s.EquivSigma(2.0 * double(ratio)));
}

double equiv_sigma(errvaclass& s, double a_sigma, double b_sigma) {
    return s.EquivSigma(2.0 * std::fabs(a_sigma / b_sigma));
}

// Sigma and state of a quotient whose operands passed the screening.
template <class T>
errva_state quotient_sigma(errvaclass& s, T& sigma, T a, T a_sigma, int a_flags, T b, T b_sigma,
                           int b_flags) {
    if (divisor_approximable(s, b, b_sigma)) {
        if (b == T(0)) {
            // An exact zero divisor leaves neither value nor sigma: report it as bad.
            sigma = nan_value<T>();
            return ERRVA_BAD;
        }
        sigma = nan_as_library_nan(expansion_sigma(a, a_sigma, b, b_sigma));
        return suspect_state(s, a_flags, b_flags);
    }
    const T noise = T(s.noise_ratio);
    if (std::fabs(a_sigma) > std::fabs(noise * a) && std::fabs(b_sigma) > std::fabs(noise * b)) {
        sigma = nan_as_library_nan(equiv_sigma(s, a_sigma, b_sigma));
        return ERRVA_EQUIV;
    }
    sigma = nan_as_library_nan(expansion_sigma(a, a_sigma, b, b_sigma));
    return ERRVA_UNAPPROX;
}

template <class T>
errva_state divide(errvaclass& s, T& result, T& result_sigma, int& result_flags, T a, T a_sigma,
                   int a_flags, T b, T b_sigma, int b_flags) {
    errva_state state = ERRVA_BAD;
    if (operands_bad(s, a, a_sigma, a_flags, b, b_sigma, b_flags))
        result_sigma = nan_value<T>();
    else
        state = quotient_sigma(s, result_sigma, a, a_sigma, a_flags, b, b_sigma, b_flags);
    result = quotient_value(a, b);
    update_flags(s, result_flags, state);
    if (state == ERRVA_UNAPPROX && s.throw_on_unapprox != 0)
        throw unapprox_message;
    return state;
}

} // namespace

errvaclass::errvaclass() : errva_settings{0x4000, 0x100, 0, {0, 0x4000, 0, 0}, 9.0f, 0.9f, 0} {}

errvaclass::errvaclass(float noise_ratio_, float approx_limit_) : errvaclass() {
    noise_ratio = noise_ratio_;
    approx_limit = approx_limit_;
}

// The quotient in either precision.
#define ERRVA_DIV_MEMBER(T)                                                                        \
    errva_state errvaclass::div(T& result, T& result_sigma, int& result_flags, T a, T a_sigma,     \
                                int a_flags, T b, T b_sigma, int b_flags) {                        \
        return divide(*this, result, result_sigma, result_flags, a, a_sigma, a_flags, b, b_sigma,  \
                      b_flags);                                                                    \
    }

ERRVA_DIV_MEMBER(float)
ERRVA_DIV_MEMBER(double)

double errvaclass::EquivSigma(double width) {
    return width / fwhm_to_sigma;
}

// ---- Interpolation ----

namespace {

void set_suspect(const errvaclass& s, int& flags) {
    flags |= s.suspect_mask;
}
void clear_suspect(const errvaclass& s, int& flags) {
    flags &= ~s.suspect_mask;
}

template <class T> void write_nans(T& y, T& y_sigma) {
    y = nan_value<T>();
    y_sigma = nan_value<T>();
}

// Linear interpolation or extrapolation between samples i and i + 1 of
// independent samples.  Single precision forms t in float, 1 - t and the
// products with it in double, and rounds the sums (the variance before its
// square root) to float.
void linear_between(float& y, float& y_sigma, float x, const float* xa, const float* ya,
                    const float* ya_sigma, int i) {
    const float t = (x - xa[i]) / (xa[i + 1] - xa[i]);
    const double u = 1.0 - double(t);
    const float si = ya_sigma[i] * ya_sigma[i];
    const float sk = ya_sigma[i + 1] * ya_sigma[i + 1];
    y = float(double(ya[i]) * u + double(ya[i + 1] * t));
    y_sigma = std::sqrt(float(double(si) * (u * u) + double(sk * (t * t))));
}

void linear_between(double& y, double& y_sigma, double x, const double* xa, const double* ya,
                    const double* ya_sigma, int i) {
    const double t = (x - xa[i]) / (xa[i + 1] - xa[i]);
    const double u = 1.0 - t;
    y = ya[i] * u + ya[i + 1] * t;
    y_sigma = std::sqrt(ya_sigma[i] * ya_sigma[i] * (u * u) +
                        ya_sigma[i + 1] * ya_sigma[i + 1] * (t * t));
}

// Index of the last sample with xa[lo] <= x, -1 when none compares so (x NaN).
// round_up selects the midpoint (lo + hi + 1) / 2 instead of (lo + hi) / 2.
template <class T> int bisect(T x, int n, const T* xa, bool round_up) {
    int lo = -1, hi = n;
    while (hi - lo > 1) {
        const int mid = (lo + hi + (round_up ? 1 : 0)) >> 1;
        if (xa[mid] <= x)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

template <class T>
int linear(const errvaclass& s, T& y, T& y_sigma, int& flags, T x, int n, const T* xa, const T* ya,
           const T* ya_sigma) {
    if (n < 2) {
        // Too few samples is a failure in both precisions: the result is suspect.
        write_nans(y, y_sigma);
        set_suspect(s, flags);
        return -3;
    }
    if (x < xa[0] || x > xa[n - 1]) {
        linear_between(y, y_sigma, x, xa, ya, ya_sigma, x < xa[0] ? 0 : n - 2);
        if (s.flag_extrap != 0)
            set_suspect(s, flags);
        else
            clear_suspect(s, flags);
        return 1;
    }
    int lo = bisect(x, n, xa, false);
    if (lo == n - 1)
        lo = n - 2;
    if (lo < 0 || !(xa[lo] <= x && x <= xa[lo + 1])) {
        write_nans(y, y_sigma);
        set_suspect(s, flags);
        return -4;
    }
    if (xa[lo] >= xa[lo + 1]) {
        y = ya[lo];
        y_sigma = ya_sigma[lo];
    } else {
        linear_between(y, y_sigma, x, xa, ya, ya_sigma, lo);
    }
    clear_suspect(s, flags);
    return 0;
}

int solve(float* a, float* b, float* c, float* r, float* u, float* gam, int n) {
    return tridiagsolve(a, b, c, r, u, gam, 1e-6f, n);
}
int solve(double* a, double* b, double* c, double* r, double* u, double* gam, int n) {
    return dtridiagsolve(a, b, c, r, u, gam, 1e-6, n);
}
void put_row(float* a, float* b, float* c, float* row, int i, int n) {
    triputrow(a, b, c, row, i, n);
}
void put_row(double* a, double* b, double* c, double* row, int i, int n) {
    dtriputrow(a, b, c, row, i, n);
}
void multiply(float* a, float* b, float* c, float* x, float* y, int n) {
    trimulvec(a, b, c, x, y, n);
}
void multiply(double* a, double* b, double* c, double* x, double* y, int n) {
    dtrimulvec(a, b, c, x, y, n);
}

// Working storage of the spline: the diagonals of the spline matrix A
// (aa, ab, ac) and of the second-difference matrix B (ba, bb, bc), a
// row/solution vector, a right-hand side, the solver's scratch and the two
// sensitivity vectors.  Short tables use storage on the stack; longer ones
// take one block from the heap for the call.
template <class T> struct SplineWork {
    static constexpr int kLocal = 128;
    static constexpr int kArrays = 11;
    T local[kArrays * kLocal];
    T* block = nullptr;
    T *aa, *ab, *ac, *ba, *bb, *bc, *vec, *rhs, *gam, *s_lo, *s_hi;

    bool obtain(int n) {
        T* base = local;
        if (n > kLocal) {
            block = static_cast<T*>(std::calloc(std::size_t(kArrays) * std::size_t(n), sizeof(T)));
            if (block == nullptr)
                return false;
            base = block;
        }
        T** arrays[kArrays] = {&aa, &ab, &ac, &ba, &bb, &bc, &vec, &rhs, &gam, &s_lo, &s_hi};
        for (int k = 0; k < kArrays; ++k) {
            *arrays[k] = base + std::size_t(k) * std::size_t(n);
            for (int i = 0; i < n; ++i)
                (*arrays[k])[i] = T(0);
        }
        return true;
    }
    ~SplineWork() { std::free(block); }
};

// Rows of A (natural end conditions M[0] = M[n-1] = 0) and of B, so that
// A.M = B.ya gives the second derivatives M at the samples.
template <class T> void build_spline_system(SplineWork<T>& w, int n, const T* xa) {
    T* row = w.vec;
    row[0] = T(1);
    row[1] = T(0);
    put_row(w.aa, w.ab, w.ac, row, 0, n);
    row[0] = row[1] = T(0);
    put_row(w.ba, w.bb, w.bc, row, 0, n);
    for (int i = 1; i < n - 1; ++i) {
        const T h0 = xa[i] - xa[i - 1], h1 = xa[i + 1] - xa[i];
        row[i - 1] = h0 / T(6);
        row[i] = (xa[i + 1] - xa[i - 1]) / T(3);
        row[i + 1] = h1 / T(6);
        put_row(w.aa, w.ab, w.ac, row, i, n);
        row[i - 1] = T(1) / h0;
        row[i] = -T(1) / h1 - T(1) / h0;
        row[i + 1] = T(1) / h1;
        put_row(w.ba, w.bb, w.bc, row, i, n);
        row[i - 1] = T(0);
    }
    row[n - 2] = T(0);
    row[n - 1] = T(1);
    put_row(w.aa, w.ab, w.ac, row, n - 1, n);
    row[n - 1] = T(0);
    put_row(w.ba, w.bb, w.bc, row, n - 1, n);
}

// Sensitivity of M[lo] and M[hi] to each sample: dM/dya[j] = A^-1 times
// column j of B.  (Column, not row: B is not symmetric at its zero boundary
// rows, and only the column gives the right sigma at the ends of the table.)
template <class T> void spline_sensitivities(SplineWork<T>& w, int n, int lo, int hi) {
    for (int j = 0; j < n; ++j) {
        if (j > 0)
            w.rhs[j - 1] = w.bc[j - 1];
        w.rhs[j] = w.bb[j];
        if (j < n - 1)
            w.rhs[j + 1] = w.ba[j + 1];
        solve(w.aa, w.ab, w.ac, w.rhs, w.vec, w.gam, n);
        w.s_lo[j] = w.vec[lo];
        w.s_hi[j] = w.vec[hi];
        for (int k = j - 1; k <= j + 1; ++k)
            if (k >= 0 && k < n)
                w.rhs[k] = T(0);
    }
}

// Interpolation weights of one interval: y = A ya[lo] + B ya[hi] + C M[lo] + D M[hi].
template <class T> struct SplineWeights {
    T a, b, c, d;
    SplineWeights(T x, T x_lo, T x_hi) {
        const T h = x_hi - x_lo;
        a = (x_hi - x) / h;
        b = T(1) - a;
        c = (a * a * a - a) * (h * h) / T(6);
        d = (b * b * b - b) * (h * h) / T(6);
    }
};

// Propagated sigma: each term w^2 s^2 in the working precision, summed in double.
template <class T>
T spline_sigma(const SplineWork<T>& w, const SplineWeights<T>& k, int n, int lo, int hi,
               const T* ya_sigma) {
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        T wj = k.c * w.s_lo[j] + k.d * w.s_hi[j];
        if (j == lo)
            wj += k.a;
        if (j == hi)
            wj += k.b;
        sum += double(((wj * wj) * ya_sigma[j]) * ya_sigma[j]);
    }
    return T(std::sqrt(sum));
}

template <class T> bool strictly_ascending(int n, const T* xa) {
    for (int i = 1; i < n; ++i)
        if (!(xa[i - 1] < xa[i]))
            return false;
    return true;
}

template <class T>
int spline(const errvaclass& s, T& y, T& y_sigma, int& flags, T x, int n, const T* xa, T* ya,
           const T* ya_sigma) {
    SplineWork<T> w;
    if (n > 0 && !w.obtain(n)) {
        write_nans(y, y_sigma);
        set_suspect(s, flags);
        return -5;
    }
    // A NaN x is outside every table and never reaches the bracketing.
    const int lo_found = n < 3 ? -1 : bisect(x, n, xa, true);
    if (n < 3 || !(x >= xa[0] && x <= xa[n - 1]) || lo_found < 0) {
        write_nans(y, y_sigma);
        set_suspect(s, flags);
        return -3;
    }
    if (!strictly_ascending(n, xa)) {
        // No spline passes through a repeated abscissa, as for splinetab.
        write_nans(y, y_sigma);
        set_suspect(s, flags);
        return -1;
    }
    const int lo = lo_found == n - 1 ? n - 2 : lo_found;
    const int hi = lo + 1;
    build_spline_system(w, n, xa);
    multiply(w.ba, w.bb, w.bc, ya, w.rhs, n);
    const int code = solve(w.aa, w.ab, w.ac, w.rhs, w.vec, w.gam, n);
    if (code < 0) {
        set_suspect(s, flags);
        return code;
    }
    const SplineWeights<T> k(x, xa[lo], xa[hi]);
    y = k.a * ya[lo] + k.b * ya[hi] + k.c * w.vec[lo] + k.d * w.vec[hi];
    for (int i = 0; i < n; ++i)
        w.rhs[i] = T(0);
    spline_sensitivities(w, n, lo, hi);
    y_sigma = spline_sigma(w, k, n, lo, hi, ya_sigma);
    clear_suspect(s, flags);
    return 0;
}

template <class T>
int dispatch(errvaclass& s, T& y, T& y_sigma, int& flags, T x, int order, int n, T* xa, T* ya,
             T* ya_sigma) {
    if (n < 1) {
        write_nans(y, y_sigma);
        return -1;
    }
    if (n == 1) {
        y = ya[0];
        y_sigma = nan_value<T>();
        return -2;
    }
    if (n > 2 && order > 2 && !(x < xa[0]) && !(x > xa[n - 1]))
        return s.spline_interp(y, y_sigma, flags, x, n, xa, ya, ya_sigma);
    return s.linear_interp(y, y_sigma, flags, x, n, xa, ya, ya_sigma);
}

} // namespace

int errvaclass::interp(float& y, float& y_sigma, int& flags, float x, int order, int n, float* xa,
                       float* ya, float* ya_sigma) {
    return dispatch(*this, y, y_sigma, flags, x, order, n, xa, ya, ya_sigma);
}

int errvaclass::interp(double& y, double& y_sigma, int& flags, double x, int order, int n,
                       double* xa, double* ya, double* ya_sigma) {
    return dispatch(*this, y, y_sigma, flags, x, order, n, xa, ya, ya_sigma);
}

// A table method in either precision, handed to the template that does its work.
#define ERRVA_TABLE_MEMBER(member, T, method)                                                      \
    int errvaclass::member(T& y, T& y_sigma, int& flags, T x, int n, T* xa, T* ya, T* ya_sigma) {  \
        return method(*this, y, y_sigma, flags, x, n, xa, ya, ya_sigma);                           \
    }

ERRVA_TABLE_MEMBER(linear_interp, float, linear)
ERRVA_TABLE_MEMBER(linear_interp, double, linear)
ERRVA_TABLE_MEMBER(spline_interp, float, spline)
ERRVA_TABLE_MEMBER(spline_interp, double, spline)
