// Shared helpers for the sketch bound tests: scoped settings, adversarial
// data and queries, and bit-for-bit comparison of results.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/fault.hpp"
#include "flat/flat.hpp"
#include "sketch/sketch_index.hpp"

namespace sketch_test {

using namespace tessra;

// Sets the process-wide sketch settings for one test and restores them after.
struct ScopedSettings {
    SketchSettings saved = sketch_settings();
    ScopedSettings(std::size_t min_vectors, std::size_t rank, bool checking) {
        set_sketch_settings({min_vectors, rank, checking});
    }
    ~ScopedSettings() { set_sketch_settings(saved); }
};
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

inline const double kNan = std::numeric_limits<double>::quiet_NaN();
inline const double kInf = std::numeric_limits<double>::infinity();

enum class Data { Gaussian, Duplicates, Lattice, NearTies, Tiny, Huge, Mixed, NonFinite, Small, Large, Wide };
inline const Data kAllData[] = {Data::Gaussian, Data::Duplicates, Data::Lattice, Data::NearTies,
                                Data::Tiny,     Data::Huge,       Data::Mixed,   Data::NonFinite,
                                Data::Small,    Data::Large,      Data::Wide};
inline const char* name(Data d) {
    const char* names[] = {"gaussian", "duplicates", "lattice", "near-ties", "tiny", "huge", "mixed", "non-finite",
                           "small", "large", "wide"};
    return names[static_cast<int>(d)];
}

// Vectors of one kind: clustered Gaussians as the base, reshaped per kind.
inline std::vector<std::vector<double>> make_data(Data kind, std::size_t n, std::size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    std::vector<std::vector<double>> centres(6, std::vector<double>(dim));
    for (auto& c : centres)
        for (std::size_t j = 0; j < dim; ++j) c[j] = 4.0 * normal(rng) / (1.0 + static_cast<double>(j) * 0.3);
    std::vector<std::vector<double>> out;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> v = centres[i % centres.size()];
        for (std::size_t j = 0; j < dim; ++j) v[j] += normal(rng) / (1.0 + static_cast<double>(j));
        switch (kind) {
            case Data::Gaussian: break;
            case Data::Duplicates:
                if (i >= 5) v = out[i % 5];
                break;
            case Data::Lattice:
                for (double& x : v) x = std::round(x);
                break;
            case Data::NearTies:
                if (i >= 4) {
                    v = out[i % 4];
                    for (double& x : v) {
                        const int steps = static_cast<int>(rng() % 5) - 2;
                        for (int s = 0; s < std::abs(steps); ++s) x = std::nextafter(x, steps > 0 ? kInf : -kInf);
                    }
                }
                break;
            case Data::Tiny:
                for (double& x : v) x *= 1e-300;
                break;
            case Data::Huge:
                for (double& x : v) x *= 1e300;
                break;
            case Data::Mixed: {
                const double scale = std::pow(10.0, -300.0 + 600.0 * unit(rng));
                for (double& x : v) x *= (i % 3 == 0) ? scale : 1.0;
                break;
            }
            case Data::Small:  // squares and their sums in the subnormal range
                for (double& x : v) x *= 1e-157;
                break;
            case Data::Large:  // squares near the overflow threshold
                for (double& x : v) x *= 1e152;
                break;
            case Data::Wide: {  // magnitudes spread over 1e-150 to 1e150 within a vector and across vectors
                const double scale = std::pow(10.0, -150.0 + 300.0 * unit(rng));
                for (std::size_t j = 0; j < dim; ++j) v[j] *= (j % 4 == 0) ? scale : (i % 2 ? 1e-100 : 1e100);
                break;
            }
            case Data::NonFinite:
                if (i % 17 == 3) v[i % dim] = (i % 2) ? kNan : -kInf;
                break;
        }
        out.push_back(std::move(v));
    }
    return out;
}

// Queries: stored vectors, perturbed ones, fresh ones, and special vectors.
inline std::vector<std::vector<double>> make_queries(const std::vector<std::vector<double>>& data, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const std::size_t dim = data[0].size();
    std::vector<std::vector<double>> out;
    for (std::size_t i = 0; i < 12; ++i) {
        std::vector<double> q = data[(i * 37) % data.size()];
        if (i % 3 == 1)
            for (double& x : q) x += 1e-3 * normal(rng) * (std::fabs(x) + 1e-300);
        if (i % 3 == 2)
            for (double& x : q) x = std::nextafter(x, kInf);
        out.push_back(q);
    }
    out.push_back(std::vector<double>(dim, 0.0));
    std::vector<double> with_nan = data[1];
    with_nan[0] = kNan;
    out.push_back(with_nan);
    std::vector<double> with_inf = data[2];
    with_inf[dim - 1] = kInf;
    out.push_back(with_inf);
    return out;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

inline bool same_results(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || !same_bits(a[i].distance, b[i].distance)) return false;
    return true;
}

inline std::string where(Metric metric, Data kind, std::size_t rank) {
    return std::string("metric ") + std::to_string(static_cast<int>(metric)) + " data " + name(kind) + " rank " +
           std::to_string(rank);
}

// Runs `body`, turning a sketch fault (a skipped admissible vector) into a test failure.
template <typename Body>
void expect_no_fault(const std::string& context, Body&& body) {
    try {
        body();
    } catch (const Fault& fault) {
        check::fail(__FILE__, __LINE__, context + ": " + fault.what());
    }
}


}  // namespace sketch_test
