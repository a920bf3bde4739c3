// Block kernels must give, for every pair, exactly the bits the one-query
// kernels of the same set give. As in test_kernels.cpp, two NaNs count as
// equal: the compiler may commute an operation on two NaNs in either kernel,
// so which NaN survives is not fixed (the batched scan recomputes a NaN it
// keeps with the one-query kernel).
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "check.hpp"
#include "metrics/kernels_block.hpp"

using namespace tessra;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

std::vector<double> make_values(std::mt19937_64& rng, std::size_t n, bool adversarial) {
    static const double specials[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::denorm_min(), -4.9e-320, 1e300, -1e300, 0.0, -0.0};
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 60);
    std::vector<double> v(n);
    for (auto& x : v) {
        const int r = pick(rng);
        x = (adversarial && r < 10) ? specials[r] : normal(rng) * (r % 3 == 0 ? 1e-3 : 1e3);
    }
    return v;
}

// A block of `lanes` queries and `count` stored vectors of `dim` elements.
struct Case {
    std::vector<std::vector<double>> queries, stored;
    std::vector<const double*> rows, pointers;
    std::vector<double> columns, sum_sq;

    Case(std::mt19937_64& rng, std::size_t lanes, std::size_t count, std::size_t dim, bool adversarial)
        : columns(dim * kQueryLanes, 0.0), sum_sq(kQueryLanes, 0.0) {
        for (std::size_t j = 0; j < lanes; ++j) queries.push_back(make_values(rng, dim, adversarial));
        for (std::size_t s = 0; s < count; ++s) stored.push_back(make_values(rng, dim, adversarial));
        for (std::size_t j = 0; j < lanes; ++j) {
            rows.push_back(queries[j].data());
            sum_sq[j] = sum_of_squares(queries[j].data(), dim);
            for (std::size_t i = 0; i < dim; ++i) columns[i * kQueryLanes + j] = queries[j][i];
        }
        for (auto& s : stored) pointers.push_back(s.data());
    }
    QueryBlockView view(std::size_t dim) const { return {rows.size(), dim, rows.data(), columns.data(), sum_sq.data()}; }
    // The one-query kernel's distances of query j to every stored vector.
    std::vector<double> one_query(const KernelSet& set, Metric metric, std::size_t j, std::size_t dim) const {
        const QueryDistances distances(metric, rows[j], dim, dim, set);
        std::vector<double> out(pointers.size());
        for (std::size_t s = 0; s < pointers.size(); s += kBatch)
            distances.batch(pointers.data() + s, std::min(kBatch, pointers.size() - s), out.data() + s);
        return out;
    }
};

void compare(const KernelSet& set, std::mt19937_64& rng, bool adversarial) {
    const BlockKernelSet& block = block_kernels_for(set);
    for (std::size_t dim : {1, 2, 3, 7, 8, 9, 17, 64, 65, 130}) {
        for (std::size_t lanes : {1, 3, 8}) {
            for (std::size_t count : {1, 5, 8, 13, 33}) {
                const Case c(rng, lanes, count, dim, adversarial);
                std::vector<double> out(count * kQueryLanes);
                for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
                    block.for_metric(metric)(c.view(dim), c.pointers.data(), count, out.data());
                    for (std::size_t j = 0; j < lanes; ++j) {
                        const auto want = c.one_query(set, metric, j, dim);
                        for (std::size_t s = 0; s < count; ++s) {
                            if (same(out[s * kQueryLanes + j], want[s])) continue;
                            check::fail(__FILE__, __LINE__,
                                        std::string(block.name) + " metric " + std::to_string(static_cast<int>(metric)) +
                                            " dim " + std::to_string(dim) + " lane " + std::to_string(j) + " vector " +
                                            std::to_string(s) + ": " + std::to_string(out[s * kQueryLanes + j]) +
                                            " vs " + std::to_string(want[s]));
                            return;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

TEST(block_kernels_match_the_one_query_kernels_bit_for_bit) {
    std::mt19937_64 rng(2024);
    for (const KernelSet* set : supported_kernels()) {
        compare(*set, rng, false);
        for (int round = 0; round < 3; ++round) compare(*set, rng, true);
    }
}

TEST(bounded_block_kernels_are_exact_below_each_lanes_bound) {
    std::mt19937_64 rng(4242);
    std::uniform_real_distribution<double> share(0.0, 1.5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const KernelSet* set : supported_kernels()) {
        const BlockKernelSet& block = block_kernels_for(*set);
        for (std::size_t dim : {1, 63, 64, 65, 200, 784}) {
            for (int round = 0; round < 12; ++round) {
                const std::size_t lanes = 1 + round % kQueryLanes, count = 1 + (round * 7) % 40;
                const Case c(rng, lanes, count, dim, round % 4 == 0);
                std::vector<std::vector<double>> exact;
                for (std::size_t j = 0; j < lanes; ++j) exact.push_back(c.one_query(*set, Metric::Euclidean, j, dim));
                double bounds[kQueryLanes];
                for (std::size_t j = 0; j < kQueryLanes; ++j)
                    bounds[j] = j >= lanes ? -std::numeric_limits<double>::infinity()
                                : (round + j) % 5 == 0 ? nan
                                                       : exact[j][(round + j) % count] * share(rng);
                std::vector<double> out(count * kQueryLanes);
                block.euclidean_bounded(c.view(dim), c.pointers.data(), count, bounds, out.data());
                for (std::size_t j = 0; j < lanes; ++j) {
                    for (std::size_t s = 0; s < count; ++s) {
                        const double got = out[s * kQueryLanes + j], want = exact[j][s];
                        const bool below = std::isnan(bounds[j]) || distance_before(want, bounds[j]);
                        const bool ok = same(got, want) ||
                                        (!below && got == std::numeric_limits<double>::infinity());
                        if (!ok) {
                            check::fail(__FILE__, __LINE__, std::string(block.name) + " bounded dim " + std::to_string(dim));
                            return;
                        }
                    }
                }
            }
        }
    }
}
