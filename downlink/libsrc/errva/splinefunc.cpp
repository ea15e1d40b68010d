// Natural cubic spline tables with uncertainties, built with the band LU
// solver, and the classic one-based spline pair.
#include "splinefunc.h"

#include "banded.h"
#include "ugran.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

double* new_array(int n) {
    return static_cast<double*>(std::malloc((size_t)n * sizeof(double)));
}

void fill(double* a, int n, double v) {
    for (int i = 0; i < n; i++) {
        a[i] = v;
    }
}

// Copies n samples into a fresh table, widening them to double.
template <typename T>
int make_table(int n, const T* x, const T* y, const T* y_sigma, spline_table** out) {
    if (splinetab_alloc(n, out) != 0 || x == nullptr || y == nullptr) {
        splinefree(*out);
        *out = nullptr;
        return -1;
    }
    spline_table* t = *out;
    for (int i = 0; i < n; i++) {
        t->x[i] = x[i];
        t->y[i] = y[i];
        t->y_sigma[i] = (y_sigma != nullptr) ? (double)y_sigma[i] : 0.0;
    }
    return splinetab_calc(t);
}

bool strictly_ascending(const double* x, int n) {
    for (int i = 0; i + 1 < n; i++) {
        if (!(x[i + 1] > x[i])) {
            return false;
        }
    }
    return true;
}

// Rows of the spline system R.ypp = S.y: natural ends (ypp = 0) in the
// first and last rows, continuity of the first derivative in the others.
void fill_spline_rows(const double* x, int n, double** r, double** s) {
    r[0][0] = 1.0;
    r[n - 1][n - 1] = 1.0;
    for (int i = 1; i < n - 1; i++) {
        const double hlo = x[i] - x[i - 1], hhi = x[i + 1] - x[i];
        r[i][i - 1] = hlo / 6.0;
        r[i][i] = (x[i + 1] - x[i - 1]) / 3.0;
        r[i][i + 1] = hhi / 6.0;
        s[i][i - 1] = 1.0 / hlo;
        s[i][i] = -1.0 / hhi - 1.0 / hlo;
        s[i][i + 1] = 1.0 / hhi;
    }
}

// ypp = R^-1.S.y with R already factored.
void solve_ypp(spline_table* t, double** r, double** s) {
    const int n = t->n;
    const double* y = t->y;
    t->ypp[0] = s[0][0] * y[0] + s[0][1] * y[1];
    for (int i = 1; i < n - 1; i++) {
        t->ypp[i] = s[i][i - 1] * y[i - 1] + s[i][i] * y[i] + s[i][i + 1] * y[i + 1];
    }
    t->ypp[n - 1] = s[n - 1][n - 2] * y[n - 2] + s[n - 1][n - 1] * y[n - 1];
    bandluforsubst(r, n, 1, 1, t->ypp);
    bandlubaksubst(r, n, 1, 1, t->ypp);
}

// ypp_sigma[k] = norm of column k of R^-1 weighted by the sample sigmas.
void solve_ypp_sigma(spline_table* t, double** r, double* work) {
    const int n = t->n;
    for (int k = 0; k < n; k++) {
        fill(work, n, 0.0);
        work[k] = 1.0;
        bandluforsubst(r, n, 1, 1, work);
        bandlubaksubst(r, n, 1, 1, work);
        double sum = 0.0;
        for (int j = 0; j < n; j++) {
            const double term = work[j] * t->y_sigma[j];
            sum += term * term;
        }
        t->ypp_sigma[k] = std::sqrt(sum);
    }
}

int calc_with(spline_table* t, double** r, double** s, double* work) {
    fill_spline_rows(t->x, t->n, r, s);
    if (bandlufact(r, t->n, 1, 1, 1e-6f) != 0) {
        return -1;
    }
    solve_ypp(t, r, s);
    solve_ypp_sigma(t, r, work);
    return 0;
}

double cube_term(double a) {
    return a * a * a - a;
}

} // namespace

int splinetab_alloc(int n, spline_table** out) {
    *out = nullptr;
    if (n < 2) {
        return -1;
    }
    spline_table* t = static_cast<spline_table*>(std::calloc(1, sizeof(spline_table)));
    if (t == nullptr) {
        return -1;
    }
    t->n = n;
    t->x = new_array(n);
    t->y = new_array(n);
    t->y_sigma = new_array(n);
    t->ypp = new_array(n);
    t->ypp_sigma = new_array(n);
    if (!t->x || !t->y || !t->y_sigma || !t->ypp || !t->ypp_sigma) {
        splinefree(t);
        return -1;
    }
    *out = t;
    return 0;
}

int splinetab(int n, double* x, double* y, double* y_sigma, spline_table** out) {
    return make_table(n, x, y, y_sigma, out);
}

int splinetab_float(int n, float* x, float* y, float* y_sigma, spline_table** out) {
    return make_table(n, x, y, y_sigma, out);
}

int splinetab_calc(spline_table* t) {
    if (t == nullptr || t->n < 2) {
        return -1;
    }
    const int n = t->n;
    int result = -1;
    if (strictly_ascending(t->x, n)) {
        double** r = bandalloc(n, 1, 1);
        double** s = bandalloc(n, 1, 1);
        double* work = new_array(n);
        if (r != nullptr && s != nullptr && work != nullptr) {
            result = calc_with(t, r, s, work);
        }
        std::free(work);
        bandfree(s, n);
        bandfree(r, n);
    }
    if (result != 0) {
        fill(t->ypp, n, nan_value);
        fill(t->ypp_sigma, n, nan_value);
    }
    return result;
}

int splineinterp(double x, double x_sigma, double* y, double* y_sigma, spline_table* t) {
    if (t == nullptr || t->n < 2 || std::isnan(x)) {
        *y = nan_value;
        *y_sigma = nan_value;
        return -1;
    }
    const int n = t->n;
    const double *X = t->x, *Y = t->y, *S = t->y_sigma, *P = t->ypp;
    if (x < X[0]) {
        *y = Y[0] + (Y[1] - Y[0]) * (x - X[0]) / (X[1] - X[0]);
        *y_sigma = S[0];
        return -1;
    }
    if (x > X[n - 1]) {
        *y = Y[n - 1] + (Y[n - 1] - Y[n - 2]) * (x - X[n - 1]) / (X[n - 1] - X[n - 2]);
        *y_sigma = S[n - 1];
        return -2;
    }
    int lo = -1, hi = n;
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (X[mid] <= x) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    if (lo == n - 1) {
        lo = n - 2;
    }
    hi = lo + 1;
    const double h = X[hi] - X[lo];
    const double A = (X[hi] - x) / h, B = 1.0 - A;
    *y = A * Y[lo] + B * Y[hi] + cube_term(A) * h * h / 6.0 * P[lo] +
         cube_term(B) * h * h / 6.0 * P[hi];
    // dy/dx of the cubic on [lo, hi]; x_sigma enters through it alone.
    const double slope = (Y[hi] - Y[lo]) / h - (3.0 * A * A - 1.0) * h / 6.0 * P[lo] +
                         (3.0 * B * B - 1.0) * h / 6.0 * P[hi];
    const double from_x = x_sigma * slope;
    const double from_lo = A * S[lo], from_hi = B * S[hi];
    *y_sigma = std::sqrt(from_x * from_x + (from_lo * from_lo + from_hi * from_hi));
    return 0;
}

void splinefree(spline_table* t) {
    if (t == nullptr) {
        return;
    }
    std::free(t->x);
    std::free(t->y);
    std::free(t->y_sigma);
    std::free(t->ypp);
    std::free(t->ypp_sigma);
    std::free(t);
}

void nrspline(double* x, double* y, int n, double yp1, double ypn, double* y2) {
    if (n < 2) {
        return;
    }
    double* u = new_array(n + 1);
    if (u == nullptr) {
        fill(y2 + 1, n, nan_value);
        return;
    }
    if (yp1 > 0.99e30) {
        y2[1] = u[1] = 0.0;
    } else {
        y2[1] = -0.5;
        u[1] = (3.0 / (x[2] - x[1])) * ((y[2] - y[1]) / (x[2] - x[1]) - yp1);
    }
    for (int i = 2; i <= n - 1; i++) {
        const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        const double p = sig * y2[i - 1] + 2.0;
        y2[i] = (sig - 1.0) / p;
        u[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6.0 * u[i] / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }
    double qn = 0.0, un = 0.0;
    if (!(ypn > 0.99e30)) {
        qn = 0.5;
        un = (3.0 / (x[n] - x[n - 1])) * (ypn - (y[n] - y[n - 1]) / (x[n] - x[n - 1]));
    }
    y2[n] = (un - qn * u[n - 1]) / (qn * y2[n - 1] + 1.0);
    for (int k = n - 1; k >= 1; k--) {
        y2[k] = y2[k] * y2[k + 1] + u[k];
    }
    std::free(u);
}

void nrsplint(double* xa, double* ya, double* y2a, int n, double x, double* y) {
    if (n < 2) {
        *y = nan_value;
        return;
    }
    int klo = 1, khi = n;
    while (khi - klo > 1) {
        const int k = (khi + klo) / 2;
        if (xa[k] > x) {
            khi = k;
        } else {
            klo = k;
        }
    }
    const double h = xa[khi] - xa[klo];
    if (h == 0.0) {
        // A repeated abscissa has no spline through it: the routine's
        // contract is to end the process, with a failing status.
        printf("Bad xa input to routine splint");
        exit(1);
    }
    const double a = (xa[khi] - x) / h, b = (x - xa[klo]) / h;
    *y = a * ya[klo] + b * ya[khi] +
         (cube_term(a) * y2a[klo] + cube_term(b) * y2a[khi]) * h * h / 6.0;
}

namespace {

// Mean of two numbers as the table printer forms it.
double midway(double a, double b) {
    return (a + b) * 0.5;
}

void show_samples(FILE* out, int m, const spline_table* t, const double* ypp_calc) {
    for (int i = 0; i < m; i++) {
        fprintf(out, "%d,%lf,%lf,%lf,%lf,%lf,%lf\n", i, t->x[i], t->y[i], t->y_sigma[i], t->ypp[i],
                t->ypp_sigma[i], ypp_calc ? ypp_calc[i] : nan_value);
    }
}

// The spline at each sample (even k) and at the midpoints between them.
void show_interpolation(FILE* out, int m, spline_table* t) {
    for (int k = 0; k <= 2 * m - 2; k++) {
        const int i = k / 2;
        const double x = (k % 2) ? midway(t->x[i], t->x[i + 1]) : t->x[i];
        const double y = (k % 2) ? midway(t->y[i], t->y[i + 1]) : t->y[i];
        double yi = 0.0, yi_sigma = 0.0;
        splineinterp(x, 0.0, &yi, &yi_sigma, t);
        fprintf(out, "%d,%lf,%lf,%lf,%lf\n", k, x, y, yi, yi_sigma);
    }
}

// Test polynomial: the product of (x - root) over the first `order` roots,
// and its second derivative, the sum over ordered pairs of distinct factors
// of the product of the remaining ones.
double poly_value(double x, const double* roots, int order) {
    double v = 1.0;
    for (int k = 0; k < order; k++) {
        v *= x - roots[k];
    }
    return v;
}

double poly_second(double x, const double* roots, int order) {
    double sum = 0.0;
    for (int a = 0; a < order; a++) {
        for (int b = 0; b < order; b++) {
            if (a == b) {
                continue;
            }
            double prod = 1.0;
            for (int k = 0; k < order; k++) {
                prod *= (k == a || k == b) ? 1.0 : x - roots[k];
            }
            sum += prod;
        }
    }
    return sum;
}

const int test_samples = 6;

void show_nr_table(FILE* out, const double* x, const double* y) {
    const int n = test_samples;
    double x1[test_samples + 1] = {0}, y1[test_samples + 1] = {0}, y2[test_samples + 1] = {0};
    for (int i = 0; i < n; i++) {
        x1[i + 1] = x[i];
        y1[i + 1] = y[i];
    }
    nrspline(x1, y1, n, 1e30, 1e30, y2);
    fprintf(out, "NR spline table n=%d\ni,x[i],y[i],ypp[i]\n", n);
    for (int i = 1; i <= n; i++) {
        fprintf(out, "%d,%lf,%lf,%lf\n", i, x1[i], y1[i], y2[i]);
    }
}

void spline_test_case(FILE* out, int order, double sigmay, double sigmax) {
    static const double roots[5] = {0.0, 1.0, 2.0, 0.0, 2.0};
    const int n = test_samples;
    double lo = roots[0], hi = roots[0];
    for (int k = 1; k < order; k++) {
        lo = std::fmin(lo, roots[k]);
        hi = std::fmax(hi, roots[k]);
    }
    double x[test_samples], y[test_samples], ypp_calc[test_samples];
    double noisy[test_samples], sigma[test_samples];
    for (int i = 0; i < n; i++) {
        x[i] = lo + (hi - lo) * i / (n - 1);
        y[i] = poly_value(x[i], roots, order);
        ypp_calc[i] = poly_second(x[i], roots, order);
        noisy[i] = y[i] + sigmay * gasdev_pure();
        sigma[i] = sigmay;
    }
    fprintf(out, "n,order,sigmay,sigmax\n");
    fprintf(out, "%d,%d,%lf,%lf\n", n, order, sigmay, sigmax);
    spline_table* t = nullptr;
    splinetab(n, x, y, nullptr, &t);
    splitest_showit(out, n, t, "exact y values, sigma=", 0.0, ypp_calc);
    splinefree(t);
    splinetab(n, x, noisy, sigma, &t);
    if (t != nullptr) {
        splinetab_calc(t);
    }
    splitest_showit(out, n, t, "noisy y values, sigma=", sigmay, ypp_calc);
    splinefree(t);
    show_nr_table(out, x, y);
}

} // namespace

void splitest_showit(FILE* out, int n, spline_table* t, const char* label, double value,
                     double* ypp_calc) {
    if (out == nullptr || t == nullptr) {
        return;
    }
    const int m = (n < t->n) ? n : t->n;
    fprintf(out, "%s %lf\n", label ? label : "", value);
    fprintf(out, "sptab, n=%d\ni,x[i],y[i],y_sigma[i],ypp[i],ypp_sigma[i],ypp_calc[i]\n", t->n);
    show_samples(out, m, t, ypp_calc);
    fprintf(out, "i,x,y,yinterp,yinterp_sigma\n");
    show_interpolation(out, m, t);
}

// Polynomials of order 2 to 5 on six samples over the span of their roots,
// exact and with ordinates disturbed by Gaussian noise of sigma 0.01.
void spline_test(void) {
    for (int order = 2; order <= 5; order++) {
        spline_test_case(stdout, order, 0.01, 0.0);
    }
    fflush(stdout);
}
