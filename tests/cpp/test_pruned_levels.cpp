// Level draws of the pruned graph: exact thresholds, the cap, and the shares.
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"
#include "pruned/levels.hpp"

using namespace tessra;

namespace {

// The word whose u is exactly `units` * 2^-53 (units from 1 to 2^53).
std::uint64_t word_at(std::uint64_t units) { return (units - 1) << 11; }

}  // namespace

TEST(pruned_levels_thresholds_and_cap) {
    // With m = 2 every threshold 2^-j is exact: u = 2^-j is not below it, one unit less is.
    for (std::uint64_t j = 1; j <= 10; ++j) {
        const std::uint64_t at = std::uint64_t{1} << (53 - j);
        CHECK_EQ(draw_pruned_level(2, 64, word_at(at)), j - 1);
        CHECK_EQ(draw_pruned_level(2, 64, word_at(at - 1)), j);
    }
    // u = 1 (the largest word) is level 0; u = 2^-53 (word 0) goes as high as any u can.
    CHECK_EQ(draw_pruned_level(16, 16, ~std::uint64_t{0}), std::uint64_t{0});
    CHECK_EQ(draw_pruned_level(2, 64, 0), std::uint64_t{52});
    CHECK_EQ(draw_pruned_level(3, 64, 0), std::uint64_t{33});  // 3^-33 > 2^-53 > 3^-34
    // The cap: layers - 1.
    CHECK_EQ(draw_pruned_level(2, 5, 0), std::uint64_t{4});
    CHECK_EQ(draw_pruned_level(2, 1, 0), std::uint64_t{0});
}

TEST(pruned_levels_shares_follow_powers_of_m) {
    for (const std::uint64_t m : {2, 5, 16}) {
        hnsw_test::SeededRandom rng(m);
        const std::size_t draws = 400000;
        std::vector<std::size_t> at_least(8, 0);
        for (std::size_t i = 0; i < draws; ++i) {
            const std::uint64_t level = draw_pruned_level(m, 16, rng);
            for (std::uint64_t j = 0; j <= level && j < at_least.size(); ++j) ++at_least[j];
        }
        for (std::uint64_t j = 1; j < 4; ++j) {
            const double expected = std::pow(static_cast<double>(m), -static_cast<double>(j)) * draws;
            if (expected < 100) break;
            // Five standard deviations of a binomial count.
            CHECK(std::fabs(static_cast<double>(at_least[j]) - expected) < 5 * std::sqrt(expected));
        }
    }
}
