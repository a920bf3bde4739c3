// A layer search run ahead of its turn, on the graph as it stands: what it
// reads, and what it records so the committer can tell whether the insertions
// committed meanwhile would have changed it (see parallel_build.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "hnsw/run_table.hpp"

namespace tessra {

// One node a speculative search expanded: on which layer, and the admission
// threshold once its run was scanned (the result list's last distance, or
// none while the list was not full).
struct Expansion {
    std::uint32_t node;
    std::uint32_t layer;
    bool full;         // the result list held ef pairs
    double threshold;  // its last distance, when full
};

struct Speculation {
    // Nodes below this many were committed when the search began; the graph
    // it searches is the graph of exactly those nodes.
    std::uint64_t snapshot = 0;
    std::uint64_t self = 0;                 // the node being inserted
    std::vector<std::uint32_t> own_run;     // its run as its own linking so far made it
    std::vector<Expansion> expansions;      // in the order they ran, every layer

    // The run of `id` in the snapshot's graph. Runs only grow at the end, and
    // what later commits appended to a committed node's run are back links to
    // themselves, numbered from the snapshot on (forward entries come first
    // and are smaller than the node), so the snapshot's run is the published
    // run without its tail of entries >= snapshot.
    RunSpan run(const RunTable& runs, std::uint64_t id) const {
        if (id == self) return RunSpan(own_run.data(), own_run.size());
        const RunSpan published = runs.get(id);
        std::size_t length = published.size();
        while (length > 0 && published[length - 1] >= snapshot) --length;
        return RunSpan(published.data(), length);
    }
    void expanded(std::uint64_t node, std::uint64_t layer, bool full, double threshold) {
        expansions.push_back({static_cast<std::uint32_t>(node), static_cast<std::uint32_t>(layer), full, threshold});
    }
};

}  // namespace tessra
