#include "metrics/metrics.hpp"

#include <algorithm>

namespace tessra {

double euclidean_distance(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const std::size_t n = std::min(a_len, b_len);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
    }
    return std::sqrt(sum);
}

double dot_product(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const std::size_t n = std::min(a_len, b_len);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

double sum_of_squares(const double* a, std::size_t len) {
    double sum = 0.0;
    for (std::size_t i = 0; i < len; ++i) sum += a[i] * a[i];
    return sum;
}

double cosine_similarity(const double* a, std::size_t a_len, const double* b, std::size_t b_len) {
    const double dot = dot_product(a, a_len, b, b_len);
    const double norm_a = std::sqrt(sum_of_squares(a, a_len));
    const double norm_b = std::sqrt(sum_of_squares(b, b_len));
    return dot / (norm_a * norm_b);
}

MetricFn metric_function(Metric metric) {
    switch (metric) {
        case Metric::Cosine: return cosine_similarity;
        case Metric::Dot: return dot_product;
        case Metric::Euclidean: break;
    }
    return euclidean_distance;
}

}  // namespace tessra
