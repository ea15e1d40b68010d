// Reference dense solver for the numeric tests: Gaussian elimination with
// partial pivoting on a full copy of the matrix.
#ifndef DOWNLINK_TEST_DENSE_SOLVE_H
#define DOWNLINK_TEST_DENSE_SOLVE_H

#include <cmath>
#include <utility>
#include <vector>

using DenseMatrix = std::vector<std::vector<double>>;

inline std::vector<double> dense_solve(DenseMatrix m, std::vector<double> r) {
    const size_t n = r.size();
    for (size_t k = 0; k < n; k++) {
        size_t piv = k;
        for (size_t i = k + 1; i < n; i++) {
            if (std::fabs(m[i][k]) > std::fabs(m[piv][k])) {
                piv = i;
            }
        }
        std::swap(m[k], m[piv]);
        std::swap(r[k], r[piv]);
        for (size_t i = k + 1; i < n; i++) {
            const double f = m[i][k] / m[k][k];
            for (size_t j = k; j < n; j++) {
                m[i][j] -= f * m[k][j];
            }
            r[i] -= f * r[k];
        }
    }
    std::vector<double> x(n);
    for (size_t k = n; k-- > 0;) {
        double s = r[k];
        for (size_t j = k + 1; j < n; j++) {
            s -= m[k][j] * x[j];
        }
        x[k] = s / m[k][k];
    }
    return x;
}

#endif
