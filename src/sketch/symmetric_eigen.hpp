// Eigen-decomposition of a small symmetric matrix by cyclic Jacobi rotations.
// Used on the (at most 72 x 72) projected covariance when fitting sketch axes;
// slow for large matrices, but short, stable and accurate to rounding.
#pragma once

#include <cstddef>
#include <vector>

namespace tessra {

struct SymmetricEigen {
    std::vector<double> values;   // n eigenvalues, largest first
    std::vector<double> vectors;  // n x n, row i = unit eigenvector of values[i]
};

// `matrix` is n x n row-major and symmetric (only the upper triangle is read).
SymmetricEigen symmetric_eigen(const std::vector<double>& matrix, std::size_t n);

}  // namespace tessra
