#include "hnsw/level_draw.hpp"

#include <cmath>

namespace tessra {

std::vector<double> make_level_weights(std::uint64_t layers) {
    std::vector<double> weights;
    for (std::uint64_t j = 0; j < layers; ++j) {
        const double weight = std::exp(-static_cast<double>(j));
        if (weight == 0.0) break;  // every later weight underflows too
        weights.push_back(weight);
    }
    return weights;
}

std::uint64_t draw_level(const std::vector<double>& level_weights, std::uint64_t layers, RandomSource& rng) {
    double total = 0.0;
    for (const double weight : level_weights) total += weight;
    const double u = static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
    const double threshold = total * u;
    double running = 0.0;
    for (std::size_t k = 0; k < level_weights.size(); ++k) {
        running += level_weights[k];
        if (running > threshold) return k;
    }
    // Reached only through rounding (or with no layers at all, where it wraps).
    return layers - 1;
}

std::uint64_t highest_drawable_level(const std::vector<double>& level_weights, std::uint64_t layers) {
    struct LargestWord : RandomSource {
        std::uint64_t next_u64() override { return UINT64_MAX; }
    } largest;
    return draw_level(level_weights, layers, largest);
}

}  // namespace tessra
