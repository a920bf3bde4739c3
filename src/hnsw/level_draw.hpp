// Level assignment of new nodes: level k with probability e^-k / sum_{j<layers} e^-j.
#pragma once

#include <cstdint>
#include <vector>

#include "common/random.hpp"

namespace tessra {

// Weights e^-j for j = 0, 1, ... below `layers`, keeping only the entries
// before the first that underflows to 0.0 (at most 746 of them). The dropped
// zeros change neither the total nor any running sum of the draw, so the
// layer count can be as large as 2**64 - 1 without any per-layer storage.
std::vector<double> make_level_weights(std::uint64_t layers);

// One draw: threshold = (sum of the weights) * u with u the top 53 bits of one
// random word times 2**-53; the level is the first k whose running sum of
// weights exceeds the threshold, or layers - 1 if none does.
std::uint64_t draw_level(const std::vector<double>& level_weights, std::uint64_t layers, RandomSource& rng);

// The highest level a draw can give: the draw of the largest random word (a
// draw's level never falls as its word grows). Below `layers` when there are
// layers (36 for any count above 36: the running sum of the weights reaches
// their total there), and layers - 1, wrapped, without.
std::uint64_t highest_drawable_level(const std::vector<double>& level_weights, std::uint64_t layers);

}  // namespace tessra
