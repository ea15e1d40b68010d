// Band matrices: storage, LU factorization without pivoting, the two
// substitutions, a printer and a self-test of the family.
#include "banded.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

// Row-pointer array of n+1 entries over one zero-filled block of `size`
// doubles; row i starts `offset + i * stride` elements into the block.
double** make_rows(int n, std::size_t size, std::size_t offset, std::size_t stride) {
    double** rows = static_cast<double**>(std::malloc(((std::size_t)n + 1) * sizeof(double*)));
    if (rows == nullptr) {
        return nullptr;
    }
    double* block =
        static_cast<double*>(std::calloc(std::max<std::size_t>(size, 1), sizeof(double)));
    if (block == nullptr) {
        std::free(rows);
        return nullptr;
    }
    for (int i = 0; i < n; i++) {
        rows[i] = block + offset + (std::size_t)i * stride;
    }
    rows[n] = block;
    return rows;
}

// *out = a * b; false when either is negative or the product is too large.
bool block_size(int a, int b, std::size_t* out) {
    if (a < 0 || b < 0) {
        return false;
    }
    const std::uint64_t s = (std::uint64_t)a * (std::uint64_t)b;
    if (s > (std::uint64_t)INT_MAX * 64) {
        return false;
    }
    *out = (std::size_t)s;
    return true;
}

bool within(double found, double expected) {
    return std::fabs(found - expected) <= 1e-5 * std::max(1.0, std::fabs(expected));
}

// Element (i, j) of a full matrix, 0 outside the matrix.
double elem(double** m, int n, int i, int j) {
    return (j < 0 || j >= n) ? 0.0 : m[i][j];
}

// The test factors of bandunit: L unit lower bidiagonal, U upper bidiagonal,
// both well conditioned, and their product LU as a full matrix.
void make_test_factors(double** l, double** u, double** lu, int n) {
    for (int i = 0; i < n; i++) {
        l[i][i] = 1.0;
        if (i > 0) {
            l[i][i - 1] = (i % 2) ? 0.5 : -0.25;
        }
        u[i][i] = 2.0 + i % 3;
        if (i < n - 1) {
            u[i][i + 1] = 1.0 - 0.25 * (i % 4);
        }
    }
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) {
            double s = 0.0;
            for (int k = 0; k < n; k++) {
                s += l[i][k] * u[k][j];
            }
            lu[i][j] = s;
        }
    }
}

// Compares each factored row's band (i-1, i, i+1) with the known factors;
// returns the number of rows that differ.
int check_factors(FILE* out, double** l, double** u, double** lu, int n) {
    int failed = 0;
    for (int i = 0; i < n; i++) {
        const double expect[3] = {elem(l, n, i, i - 1), u[i][i], elem(u, n, i, i + 1)};
        const double found[3] = {elem(lu, n, i, i - 1), lu[i][i], elem(lu, n, i, i + 1)};
        if (within(found[0], expect[0]) && within(found[1], expect[1]) &&
            within(found[2], expect[2])) {
            continue;
        }
        failed++;
        if (out != nullptr) {
            fprintf(out,
                    "row %d failed unit test, expected=(%lf,%lf,%lf), found=(%lf,%lf,%lf)\nn=%d", i,
                    expect[0], expect[1], expect[2], found[0], found[1], found[2], n);
        }
    }
    return failed;
}

// Solves LU.x = b for a known x through both substitutions; v holds the
// rows b, x, y = U.x, found x and found y.  Returns 0 or 1.
int check_solution(FILE* out, double** l, double** u, double** lu, double** v, int n) {
    double *b = v[0], *x = v[1], *y = v[2], *xf = v[3], *yf = v[4];
    for (int i = 0; i < n; i++) {
        x[i] = 1.0 + i * ((i % 2) ? -0.5 : 0.75);
    }
    for (int i = 0; i < n; i++) {
        y[i] = u[i][i] * x[i] + ((i < n - 1) ? u[i][i + 1] * x[i + 1] : 0.0);
        b[i] = y[i] + ((i > 0) ? l[i][i - 1] * y[i - 1] : 0.0);
        yf[i] = b[i];
    }
    bandluforsubst(lu, n, 1, 1, yf);
    std::copy(yf, yf + n, xf);
    bandlubaksubst(lu, n, 1, 1, xf);
    bool ok = true;
    for (int i = 0; i < n; i++) {
        ok = ok && within(yf[i], y[i]) && within(xf[i], x[i]);
    }
    if (ok) {
        return 0;
    }
    if (out != nullptr) {
        fprintf(out, "failed forward & backward solution test \n y = Ux\n b =Ly =LU x\n"
                     "i,b[i],x[i],y[i],xfound[i],yfound[i]\n");
        for (int i = 0; i < n; i++) {
            fprintf(out, "%d,%lf,%lf,%lf,%lf,%lf\n", i, b[i], x[i], y[i], xf[i], yf[i]);
        }
    }
    return 1;
}

int run_unit(FILE* out, double** l, double** u, double** lu, double** v, int n) {
    make_test_factors(l, u, lu, n);
    bandlufact(lu, n, 1, 1, 1e-6f);
    int result = check_factors(out, l, u, lu, n);
    if (result == 0) {
        result = check_solution(out, l, u, lu, v, n);
        if (result == 0) {
            if (out != nullptr) {
                fprintf(out, "bandunit passed unit test OK, n=%d\n", n);
            }
            return 0;
        }
    }
    bandshow(out, l, n, n, n, "L");
    bandshow(out, u, n, n, n, "U");
    bandshow(out, lu, n, n, n, "LU factored");
    return result;
}

} // namespace

double** bandalloc(int n, int p, int q) {
    std::size_t cells = 0;
    if (p < 0 || q < 0 || p > INT_MAX / 2 - q || !block_size(n, p + q + 1, &cells)) {
        return nullptr;
    }
    return make_rows(n, cells + 1, (std::size_t)p, (std::size_t)(p + q));
}

double** matalloc(int n, int m) {
    std::size_t cells = 0;
    if (!block_size(n, m, &cells)) {
        return nullptr;
    }
    return make_rows(n, cells, 0, (std::size_t)m);
}

void bandfree(double** rows, int n) {
    if (rows == nullptr) {
        return;
    }
    std::free(rows[n]);
    std::free(rows);
}

void matfree(double** rows, int n) {
    bandfree(rows, n);
}

int bandlufact(double** a, int n, int p, int q, float tol) {
    if (n < 2) {
        return 0;
    }
    for (int k = 0; k < n - 1; k++) {
        if (std::fabs(a[k][k]) < (double)tol) {
            return -1;
        }
        const int ilast = std::min(k + p, n - 1);
        for (int i = k + 1; i <= ilast; i++) {
            a[i][k] = a[i][k] / a[k][k];
        }
        const int jlast = std::min(k + q, n - 1);
        for (int j = k + 1; j <= jlast; j++) {
            for (int i = k + 1; i <= ilast; i++) {
                a[i][j] = a[i][j] - a[i][k] * a[k][j];
            }
        }
    }
    return 0;
}

int bandluforsubst(double** a, int n, int p, int /*q*/, double* b) {
    for (int j = 0; j < n; j++) {
        const int ilast = std::min(j + p, n - 1);
        for (int i = j + 1; i <= ilast; i++) {
            b[i] = b[i] - a[i][j] * b[j];
        }
    }
    return 0;
}

int bandlubaksubst(double** a, int n, int /*p*/, int q, double* b) {
    for (int j = n - 1; j >= 0; j--) {
        b[j] = b[j] / a[j][j];
        for (int i = std::max(0, j - q); i < j; i++) {
            b[i] = b[i] - a[i][j] * b[j];
        }
    }
    return 0;
}

int bandshow(FILE* out, double** a, int n, int p, int q, const char* title) {
    if (out == nullptr) {
        return 0;
    }
    fprintf(out, "banded matrix n=%d,p=%d,q=%d: %s\n", n, p, q, title ? title : "");
    for (int i = 0; i < n; i++) {
        fprintf(out, "%3d,", i);
        for (int j = 0; j < n; j++) {
            const bool in_band = j >= i - p && j <= i + q;
            fprintf(out, "%14.3lf,", in_band ? a[i][j] : 0.0);
        }
        fprintf(out, "\n");
    }
    return 0;
}

int bandunit(FILE* out, int n) {
    if (n < 0) {
        n = 0;
    }
    double** l = matalloc(n, n);
    double** u = matalloc(n, n);
    double** lu = matalloc(n, n);
    double** v = matalloc(5, n);
    int result = 1;
    if (l != nullptr && u != nullptr && lu != nullptr && v != nullptr) {
        result = run_unit(out, l, u, lu, v, n);
    }
    matfree(v, 5);
    matfree(lu, n);
    matfree(u, n);
    matfree(l, n);
    return result;
}
