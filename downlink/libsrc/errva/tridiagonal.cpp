// Tridiagonal systems: elimination without pivoting, products, row access and
// the central band of the inverse.  Each routine exists for float and double;
// both twins are instances of one template.
#include "tridiagonal.h"

#include <cmath>

namespace {

template <typename T>
int solve(const T* a, const T* b, const T* c, const T* r, T* u, T* gam, T tol, int n) {
    if (n < 1) {
        return 0;
    }
    T bet = b[0];
    if (std::fabs(bet) <= tol) {
        return -1;
    }
    u[0] = r[0] / bet;
    for (int j = 1; j < n; j++) {
        gam[j] = c[j - 1] / bet;
        bet = b[j] - a[j] * gam[j];
        if (std::fabs(bet) <= tol) {
            return -2;
        }
        u[j] = (r[j] - a[j] * u[j - 1]) / bet;
    }
    for (int j = n - 2; j >= 0; j--) {
        u[j] = u[j] - gam[j + 1] * u[j + 1];
    }
    return 0;
}

template <typename T> void mulvec(const T* a, const T* b, const T* c, const T* x, T* y, int n) {
    if (n < 1) {
        return;
    }
    if (n == 1) {
        y[0] = b[0] * x[0];
        return;
    }
    y[0] = b[0] * x[0] + c[0] * x[1];
    for (int i = 1; i < n - 1; i++) {
        y[i] = a[i] * x[i - 1] + b[i] * x[i] + c[i] * x[i + 1];
    }
    y[n - 1] = a[n - 1] * x[n - 2] + b[n - 1] * x[n - 1];
}

template <typename T> void getrow(const T* a, const T* b, const T* c, T* row, int i, int n) {
    for (int k = 0; k < n; k++) {
        row[k] = 0;
    }
    if (i < 0 || i >= n) {
        return;
    }
    if (i > 0) {
        row[i - 1] = a[i];
    }
    row[i] = b[i];
    if (i < n - 1) {
        row[i + 1] = c[i];
    }
}

template <typename T> void putrow(T* a, T* b, T* c, const T* row, int i, int n) {
    if (i < 0 || i >= n) {
        return;
    }
    if (i > 0) {
        a[i] = row[i - 1];
    }
    b[i] = row[i];
    if (i < n - 1) {
        c[i] = row[i + 1];
    }
}

} // namespace

int tridiagsolve(float* a, float* b, float* c, float* r, float* u, float* gam, float tol, int n) {
    return solve(a, b, c, r, u, gam, tol, n);
}

int dtridiagsolve(double* a, double* b, double* c, double* r, double* u, double* gam, double tol,
                  int n) {
    return solve(a, b, c, r, u, gam, tol, n);
}

void trimulvec(float* a, float* b, float* c, float* x, float* y, int n) {
    mulvec(a, b, c, x, y, n);
}

void dtrimulvec(double* a, double* b, double* c, double* x, double* y, int n) {
    mulvec(a, b, c, x, y, n);
}

void trigetrow(float* a, float* b, float* c, float* row, int i, int n) {
    getrow(a, b, c, row, i, n);
}

void dtrigetrow(double* a, double* b, double* c, double* row, int i, int n) {
    getrow(a, b, c, row, i, n);
}

void triputrow(float* a, float* b, float* c, float* row, int i, int n) {
    putrow(a, b, c, row, i, n);
}

void dtriputrow(double* a, double* b, double* c, double* row, int i, int n) {
    putrow(a, b, c, row, i, n);
}

// With M = L.U, alpha[i] the pivots of elimination from the top and beta[i]
// those of elimination from the bottom, the inverse X satisfies
//     X[i][i]   = 1 / (alpha[i] + beta[i] - b[i])
//     X[i][i+1] = -c[i] / alpha[i] * X[i+1][i+1]
//     X[i+1][i] = -a[i+1] / alpha[i] * X[i+1][i+1]
// The forward pass parks alpha[i] in e[i]; the backward pass replaces it by
// X[i][i] once the neighbours below have used it.
int triadiaginvert(float* a, float* b, float* c, float* d, float* e, float* f, float tol, int n) {
    if (n < 1) {
        return 0;
    }
    double alpha = b[0];
    for (int i = 0; i < n; i++) {
        if (i > 0) {
            alpha = b[i] - a[i] * (double)c[i - 1] / alpha;
        }
        if (std::fabs(alpha) < tol) {
            return -1;
        }
        e[i] = (float)alpha;
    }
    d[0] = 0.0f;
    f[n - 1] = 0.0f;
    double beta = b[n - 1];
    for (int i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            beta = b[i] - c[i] * (double)a[i + 1] / beta;
        }
        if (std::fabs(beta) < tol) {
            return -1;
        }
        const double alpha_i = e[i];
        if (i < n - 1) {
            f[i] = (float)(-c[i] / alpha_i * e[i + 1]);
            d[i + 1] = (float)(-a[i + 1] / alpha_i * e[i + 1]);
        }
        e[i] = (float)(1.0 / (alpha_i + beta - b[i]));
    }
    return 0;
}
