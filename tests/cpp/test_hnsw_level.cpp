// Level weights and the level draw of new nodes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;
using namespace hnsw_test;

namespace {

// The draw over a full table of `layers` weights, zeros included, walked to the end.
std::uint64_t draw_over_full_table(std::uint64_t layers, std::uint64_t word) {
    std::vector<double> weights;
    for (std::uint64_t j = 0; j < layers; ++j) weights.push_back(std::exp(-static_cast<double>(j)));
    double total = 0.0;
    for (double w : weights) total += w;
    const double threshold = total * (static_cast<double>(word >> 11) * 0x1.0p-53);
    double running = 0.0;
    for (std::uint64_t k = 0; k < layers; ++k) {
        running += weights[k];
        if (running > threshold) return k;
    }
    return layers - 1;
}

}  // namespace

TEST(level_weights_for_five_layers_are_exact) {
    const HNSW index = make_index(4, 5);
    const std::vector<double> expected = {1.0, 0.36787944117144233, 0.1353352832366127, 0.049787068367863944,
                                          0.01831563888873418};
    CHECK(index.level_weights() == expected);
    CHECK_EQ(index.layers(), 5u);
    CHECK(make_level_weights(1) == std::vector<double>{1.0});
    CHECK(make_level_weights(0).empty());
}

TEST(level_weights_stop_before_the_first_zero) {
    const std::vector<double> huge = make_level_weights(std::uint64_t{1} << 63);
    CHECK_EQ(huge.size(), 746u);
    CHECK(huge.back() > 0.0);
    CHECK_EQ(std::exp(-746.0), 0.0);
    CHECK(make_level_weights(UINT64_MAX) == huge);
    CHECK(make_level_weights(800) == huge);
    CHECK_EQ(make_level_weights(700).size(), 700u);
}

TEST(level_draw_matches_the_full_table_walk) {
    SeededRandom words(11);
    const std::uint64_t boundary_words[] = {0, 1, UINT64_MAX, UINT64_MAX << 11, std::uint64_t{1} << 63,
                                            word_for_level(5, 1), word_for_level(5, 4)};
    for (std::uint64_t layers : {1u, 2u, 5u, 40u, 746u, 747u, 1000u}) {
        const std::vector<double> weights = make_level_weights(layers);
        for (int i = 0; i < 3000; ++i) {
            const std::uint64_t word = i < 7 ? boundary_words[i] : words.next_u64();
            ScriptedRandom one{word};
            CHECK_EQ(draw_level(weights, layers, one), draw_over_full_table(layers, word));
            CHECK_EQ(one.used, 1u);
        }
    }
}

TEST(level_draw_edges) {
    ScriptedRandom zero{0, 0, UINT64_MAX, UINT64_MAX};
    CHECK_EQ(draw_level(make_level_weights(5), 5, zero), 0u);
    // With one layer every node is on layer 0.
    CHECK_EQ(draw_level(make_level_weights(1), 1, zero), 0u);
    CHECK_EQ(draw_level(make_level_weights(1), 1, zero), 0u);
    // The largest word reaches the top of a short table but stays far below a huge layer count.
    CHECK_EQ(draw_level(make_level_weights(5), 5, zero), 4u);
    const std::uint64_t huge = std::uint64_t{1} << 63;
    ScriptedRandom top{UINT64_MAX};
    const std::uint64_t level = draw_level(make_level_weights(huge), huge, top);
    CHECK(level > 4 && level < 746);
    // With no layers the walk runs off an empty table and wraps.
    ScriptedRandom any{12345};
    CHECK_EQ(draw_level(make_level_weights(0), 0, any), UINT64_MAX);
}

TEST(level_draw_shares_follow_the_weights) {
    // 200k draws from the thread's own generator; one standard deviation of a
    // share is at most 0.0012, so +-0.01 cannot fail by chance.
    const std::vector<double> weights = make_level_weights(5);
    double total = 0.0;
    for (double w : weights) total += w;
    std::vector<int> counts(5, 0);
    const int draws = 200000;
    RandomSource& rng = thread_random();
    for (int i = 0; i < draws; ++i) {
        const std::uint64_t level = draw_level(weights, 5, rng);
        CHECK(level < 5);
        if (level < 5) ++counts[level];
    }
    CHECK(std::fabs(counts[0] / static_cast<double>(draws) - 0.636) < 0.01);
    for (int k = 0; k < 5; ++k) CHECK(std::fabs(counts[k] / static_cast<double>(draws) - weights[k] / total) < 0.01);
}

TEST(thread_random_is_per_thread_and_varied) {
    RandomSource& mine = thread_random();
    CHECK(&mine == &thread_random());
    RandomSource* other = nullptr;
    std::uint64_t other_word = 0;
    std::thread([&] {
        other = &thread_random();
        other_word = other->next_u64();
    }).join();
    CHECK(other != &mine);
    const std::uint64_t a = mine.next_u64(), b = mine.next_u64();
    CHECK(a != b);
    CHECK(a != other_word);
}

TEST(first_insertion_takes_no_draw_and_the_top_level) {
    for (std::uint64_t layers : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{5}, std::uint64_t{1} << 63}) {
        HNSW index = make_index(1, layers);
        ScriptedRandom rng;
        CHECK(is_none(insert(index, {0.0}, rng)));
        CHECK_EQ(rng.used, 0u);
        CHECK_EQ(index.level(0), layers - 1);
    }
    HNSW index = make_index(1, 5);
    ScriptedRandom rng{word_for_level(5, 3), word_for_level(5, 0)};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng)));
    CHECK(is_none(insert(index, {2.0}, rng)));
    CHECK_EQ(rng.used, 2u);
    CHECK_EQ(index.level(1), 3u);
    CHECK_EQ(index.level(2), 0u);
}

// The bound a loader holds every level to: the largest word draws it, no word
// draws above it, and it stays at 36 however many layers there are.
TEST(highest_drawable_level_bounds_every_draw) {
    SeededRandom rng(4);
    for (const std::uint64_t layers : std::vector<std::uint64_t>{1, 2, 5, 36, 37, 38, 746, 747, 5000, UINT64_MAX}) {
        const std::vector<double> weights = make_level_weights(layers);
        const std::uint64_t top = highest_drawable_level(weights, layers);
        CHECK(top < layers);
        CHECK_EQ(top, std::min<std::uint64_t>(layers - 1, 36));
        if (layers <= 5000) CHECK_EQ(top, draw_over_full_table(layers, UINT64_MAX));
        for (int i = 0; i < 20000; ++i) {
            // Half of the words from the top end of the range, where the high levels are.
            ScriptedRandom one{rng.next_u64() | (i % 2 ? 0xFFFFFFFFFFF00000ull : 0)};
            CHECK(draw_level(weights, layers, one) <= top);
        }
    }
    CHECK_EQ(highest_drawable_level(make_level_weights(0), 0), UINT64_MAX);
}
