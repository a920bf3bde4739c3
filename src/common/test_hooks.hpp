// Switches and counters for tests, all off unless a test turns them on.
// Where the core consults one it reads it once per call, so unused they cost
// a load and a branch per call.
#pragma once

#include <cstdint>

namespace tessra {

// The work of graph searches: layer searches run, distances taken and run
// entries scanned, summed over every thread while counting is on.
struct SearchWork {
    std::uint64_t layer_searches = 0;
    std::uint64_t distances = 0;
    std::uint64_t entries = 0;
};
void count_search_work(bool on);
bool counting_search_work();
void add_search_work(std::uint64_t distances, std::uint64_t entries);
SearchWork search_work();
void reset_search_work();

}  // namespace tessra
