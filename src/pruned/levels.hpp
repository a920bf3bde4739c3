// Levels of the pruned graph: P(level >= j) = m^-j, drawn from one random
// word without any library function, so every machine draws the same levels.
#pragma once

#include <cstdint>

#include "common/random.hpp"

namespace tessra {

// u = ((w >> 11) + 1) * 2^-53, uniform on (0, 1] in steps of 2^-53, from one
// word w; thresholds t_0 = 1 and t_j = t_{j-1} / m (IEEE division); the level
// is the number of j >= 1 with u < t_j, capped at layers - 1. Since
// u >= 2^-53 and t_j <= 2^-j for m >= 2, no level exceeds 52.
// Precondition: m >= 2, layers >= 1.
std::uint64_t draw_pruned_level(std::uint64_t m, std::uint64_t layers, std::uint64_t word);
std::uint64_t draw_pruned_level(std::uint64_t m, std::uint64_t layers, RandomSource& rng);

}  // namespace tessra
