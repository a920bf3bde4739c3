#include "sketch/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tessra {

SymmetricEigen symmetric_eigen(const std::vector<double>& matrix, std::size_t n) {
    std::vector<double> a(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) a[i * n + j] = a[j * n + i] = matrix[i * n + j];
    std::vector<double> v(n * n, 0.0);  // columns are the eigenvectors
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;

    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0, diag = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            diag += a[i * n + i] * a[i * n + i];
            for (std::size_t j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
        }
        if (!(off > 1e-30 * diag)) break;  // also ends on NaN
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                // The rotation that zeroes a[p][q] (the smaller of the two angles).
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {  // columns p and q
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {  // rows p and q
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return a[x * n + x] > a[y * n + y]; });
    SymmetricEigen out;
    out.values.resize(n);
    out.vectors.resize(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        out.values[i] = a[order[i] * n + order[i]];
        for (std::size_t k = 0; k < n; ++k) out.vectors[i * n + k] = v[k * n + order[i]];
    }
    return out;
}

}  // namespace tessra
