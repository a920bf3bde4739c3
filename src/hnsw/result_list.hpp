// The result list of a layer search: pairs kept in ascending distance order.
#pragma once

#include <cstddef>
#include <vector>

#include "metrics/metrics.hpp"

namespace tessra {

// Where a pair with distance `distance` goes in the non-empty, sorted list:
// after every smaller distance, before every larger one, and among equal
// distances wherever this halving search lands (first in front of one equal
// pair, between two equal pairs). Results depend on that placement.
inline std::size_t result_insert_position(const std::vector<Candidate>& list, double distance) {
    std::size_t size = list.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (!distance_before(distance, list[mid].distance)) base = mid;
        size -= half;
    }
    return distance_before(list[base].distance, distance) ? base + 1 : base;
}

}  // namespace tessra
