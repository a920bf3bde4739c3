// The three metric functions shared by both indexes, and the orders they rank by.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tessra {

// Each function compares the first n = min(a_len, b_len) elements with one
// double accumulator fed in increasing element order; callers pass the query
// (or the vector being inserted) first and the stored vector second.
double euclidean_distance(const double* a, std::size_t a_len, const double* b, std::size_t b_len);
double dot_product(const double* a, std::size_t a_len, const double* b, std::size_t b_len);
// dot / (sqrt(sum a^2 over all of a) * sqrt(sum b^2 over all of b)); no zero-norm guard.
double cosine_similarity(const double* a, std::size_t a_len, const double* b, std::size_t b_len);

using MetricFn = double (*)(const double*, std::size_t, const double*, std::size_t);

enum class Metric { Euclidean, Cosine, Dot };

MetricFn metric_function(Metric metric);

// Sum of squares over the whole vector, in element order: the query's share of cosine.
double sum_of_squares(const double* a, std::size_t len);

// Distance order: numbers as usual (-0.0 == +0.0), NaN after every number and
// equal to any other NaN. True when a ranks strictly before b.
inline bool distance_before(double a, double b) {
    return !std::isnan(a) && (std::isnan(b) || a < b);
}

// A (distance, id) pair; candidate order is distance order, then smaller id.
struct Candidate {
    double distance;
    std::uint64_t id;
};

inline bool candidate_before(const Candidate& a, const Candidate& b) {
    if (distance_before(a.distance, b.distance)) return true;
    if (distance_before(b.distance, a.distance)) return false;
    return a.id < b.id;
}

}  // namespace tessra
