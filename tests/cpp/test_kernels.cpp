// Every kernel variant this CPU runs must equal the plain functions bit for bit.
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "check.hpp"
#include "metrics/kernels.hpp"

using namespace tessra;

namespace {

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Same bits, or both NaN: the compiler may commute an addition of two NaNs in
// either loop, so which NaN's sign and payload survive is not fixed.
bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// Random components with a share of adversarial ones mixed in.
std::vector<double> make_values(std::mt19937_64& rng, std::size_t n, bool adversarial) {
    static const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::denorm_min(),
                                      -4.9e-320,
                                      1e300,
                                      -1e300,
                                      0.0,
                                      -0.0};
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 40);
    std::vector<double> v(n);
    for (auto& x : v) {
        const int r = pick(rng);
        x = (adversarial && r < 10) ? specials[r] : normal(rng) * (r % 3 == 0 ? 1e-3 : 1e3);
    }
    return v;
}

void compare_all(const KernelSet& kernels, std::mt19937_64& rng, bool adversarial) {
    const std::size_t dims[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 100, 129};
    for (std::size_t dim : dims) {
        for (std::size_t qlen : {dim, dim + 3, dim > 2 ? dim - 2 : 0}) {
            const auto query = make_values(rng, qlen, adversarial);
            std::vector<std::vector<double>> stored;
            std::vector<const double*> ptrs;
            for (std::size_t i = 0; i < kBatch; ++i) stored.push_back(make_values(rng, dim, adversarial));
            for (auto& s : stored) ptrs.push_back(s.data());
            for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
                const MetricFn plain = metric_function(metric);
                const QueryDistances distances(metric, query.data(), qlen, dim, kernels);
                for (std::size_t count = 1; count <= kBatch; ++count) {
                    double out[kBatch];
                    distances.batch(ptrs.data(), count, out);
                    for (std::size_t i = 0; i < count; ++i) {
                        const double want = plain(query.data(), qlen, ptrs[i], dim);
                        if (!same(out[i], want)) {
                            check::fail(__FILE__, __LINE__,
                                        std::string(kernels.name) + " metric " +
                                            std::to_string(static_cast<int>(metric)) + " dim " +
                                            std::to_string(dim) + " qlen " + std::to_string(qlen) +
                                            " count " + std::to_string(count) + ": " +
                                            std::to_string(out[i]) + " vs " + std::to_string(want));
                            return;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

TEST(kernels_match_plain_loop_on_random_data) {
    std::mt19937_64 rng(12345);
    for (const KernelSet* kernels : supported_kernels()) compare_all(*kernels, rng, false);
}

TEST(kernels_match_plain_loop_on_adversarial_data) {
    std::mt19937_64 rng(777);
    for (int round = 0; round < 4; ++round)
        for (const KernelSet* kernels : supported_kernels()) compare_all(*kernels, rng, true);
}

TEST(metric_examples) {
    const double zero[] = {0, 0}, three_four[] = {3, 4}, one_two_three[] = {1, 2, 3}, four_five_six[] = {4, 5, 6};
    CHECK_EQ(euclidean_distance(zero, 2, three_four, 2), 5.0);
    CHECK_EQ(dot_product(one_two_three, 3, four_five_six, 3), 32.0);
    CHECK_EQ(dot_product(nullptr, 0, nullptr, 0), 0.0);
    CHECK(std::isnan(cosine_similarity(nullptr, 0, nullptr, 0)));
    const double one_two[] = {1, 2};
    CHECK_EQ(euclidean_distance(one_two_three, 3, one_two, 2), 0.0);
    CHECK_EQ(dot_product(one_two_three, 3, one_two, 2), 5.0);
    CHECK_EQ(cosine_similarity(one_two_three, 3, one_two, 2), 5.0 / (std::sqrt(14.0) * std::sqrt(5.0)));
}

TEST(distance_order_puts_nan_last) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK(distance_before(1.0, nan));
    CHECK(!distance_before(nan, 1.0));
    CHECK(!distance_before(nan, nan));
    CHECK(!distance_before(-0.0, 0.0));
    CHECK(candidate_before({nan, 1}, {nan, 2}));
    CHECK(candidate_before({1.0, 9}, {nan, 0}));
}

TEST(bounded_kernels_are_exact_below_the_bound) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> share(0.0, 1.5);
    for (const KernelSet* kernels : supported_kernels()) {
        for (std::size_t dim : {1, 3, 63, 64, 65, 200, 784}) {
            for (int round = 0; round < 20; ++round) {
                const auto query = make_values(rng, dim, round % 4 == 0);
                std::vector<std::vector<double>> stored;
                std::vector<const double*> ptrs;
                for (std::size_t i = 0; i < kBatch; ++i) stored.push_back(make_values(rng, dim, round % 4 == 0));
                for (auto& s : stored) ptrs.push_back(s.data());
                double exact[kBatch];
                for (std::size_t i = 0; i < kBatch; ++i) exact[i] = euclidean_distance(query.data(), dim, ptrs[i], dim);
                const double bound = exact[round % kBatch] * share(rng);
                const std::size_t count = 1 + round % kBatch;
                double out[kBatch];
                kernels->euclidean_bounded({query.data(), dim, 0.0}, ptrs.data(), count, dim, bound, out);
                for (std::size_t i = 0; i < count; ++i) {
                    const bool below = distance_before(exact[i], bound);
                    const bool ok = below ? same(out[i], exact[i])
                                          : (same(out[i], exact[i]) || out[i] == std::numeric_limits<double>::infinity());
                    if (!ok) {
                        check::fail(__FILE__, __LINE__, std::string(kernels->name) + " bounded dim " + std::to_string(dim));
                        return;
                    }
                }
            }
        }
    }
}

// Bounds at and next to each exact distance of a batch whose distances spread
// widely, so groups run with any number of live lanes (and finish the last
// one or two in plain code): every distance below the bound is exact, bit for
// bit, and some vectors are abandoned.
TEST(bounded_kernels_are_exact_at_every_bound_of_a_spread_batch) {
    std::mt19937_64 rng(4242);
    std::normal_distribution<double> normal;
    for (const KernelSet* kernels : supported_kernels()) {
        std::size_t abandoned = 0;
        for (std::size_t dim : {65, 130, 300, 784}) {
            std::vector<double> query(dim);
            for (double& x : query) x = normal(rng);
            std::vector<std::vector<double>> stored(kBatch, std::vector<double>(dim));
            std::vector<const double*> ptrs;
            for (std::size_t i = 0; i < kBatch; ++i) {
                // Vector i differs from the query mostly in its first elements, by a factor 2^i.
                for (std::size_t j = 0; j < dim; ++j)
                    stored[i][j] = query[j] + normal(rng) * (j < 64 ? std::ldexp(1.0, static_cast<int>(i) - 8) : 1e-3);
                ptrs.push_back(stored[i].data());
            }
            double exact[kBatch];
            for (std::size_t i = 0; i < kBatch; ++i) exact[i] = euclidean_distance(query.data(), dim, ptrs[i], dim);
            for (std::size_t count : {1, 3, 8, 9, 15, 16}) {
                for (std::size_t b = 0; b < count; ++b) {
                    for (double bound : {exact[b], std::nextafter(exact[b], 0.0), std::nextafter(exact[b], 1e300)}) {
                        double out[kBatch];
                        kernels->euclidean_bounded({query.data(), dim, 0.0}, ptrs.data(), count, dim, bound, out);
                        for (std::size_t i = 0; i < count; ++i) {
                            const bool below = exact[i] < bound;
                            const bool inf = out[i] == std::numeric_limits<double>::infinity();
                            abandoned += inf ? 1 : 0;
                            if (below ? !same(out[i], exact[i]) : !(same(out[i], exact[i]) || inf)) {
                                check::fail(__FILE__, __LINE__, std::string(kernels->name) + " spread dim " +
                                                                    std::to_string(dim) + " count " + std::to_string(count));
                                return;
                            }
                        }
                    }
                }
            }
        }
        CHECK(abandoned > 0);
    }
}
