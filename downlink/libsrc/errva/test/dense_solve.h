// Reference dense solver for the numeric tests: Gauss-Jordan elimination on a
// full copy of the matrix, without pivoting, so only for the diagonally
// dominant matrices the tests use.
#ifndef DOWNLINK_TEST_DENSE_SOLVE_H
#define DOWNLINK_TEST_DENSE_SOLVE_H

#include <cstddef>
#include <vector>

using DenseMatrix = std::vector<std::vector<double>>;

inline std::vector<double> dense_solve(DenseMatrix m, std::vector<double> r) {
    const size_t n = r.size();
    for (size_t k = 0; k < n; k++) {
        for (size_t i = 0; i < n; i++) {
            const double f = i == k ? 0.0 : m[i][k] / m[k][k];
            for (size_t j = 0; j < n; j++)
                m[i][j] -= f * m[k][j];
            r[i] -= f * r[k];
        }
    }
    for (size_t k = 0; k < n; k++)
        r[k] /= m[k][k];
    return r;
}

#endif
