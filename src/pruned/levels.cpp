#include "pruned/levels.hpp"

namespace tessra {

std::uint64_t draw_pruned_level(std::uint64_t m, std::uint64_t layers, std::uint64_t word) {
    const double u = static_cast<double>((word >> 11) + 1) * 0x1.0p-53;
    const double divisor = static_cast<double>(m);
    double threshold = 1.0;
    std::uint64_t level = 0;
    while (level + 1 < layers) {
        threshold = threshold / divisor;
        if (!(u < threshold)) break;
        ++level;
    }
    return level;
}

std::uint64_t draw_pruned_level(std::uint64_t m, std::uint64_t layers, RandomSource& rng) {
    return draw_pruned_level(m, layers, rng.next_u64());
}

}  // namespace tessra
