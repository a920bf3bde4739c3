// What every graph the index's insertion builds satisfies, so that a loader
// can hold a file to it: a graph that passes costs a search what a built one
// of the same levels and links costs, and grows as a built one does. Each
// check is a pass over what the loader has just read (the symmetry check one
// look-up per link), so loading stays near the speed of reading the file. A
// check that fails says in words what is wrong ("node 3 links to itself");
// the loader reports it as a corrupted file.
//
// Levels (check_levels):
//  - node 0 at layers - 1, capped at 65535 (wrapping without layers);
//  - without layers every node at 65535 (the wrapped draw, capped);
//  - otherwise every other node at most at the highest level a draw gives
//    (highest_drawable_level: layers - 1 up to 36 layers, then 36).
//
// Runs (check_run, node after node, then finish). Insertion links a node on
// each layer from its level down with every node that layer's search found
// (at most ef_construction), each once: the node goes to the end of each
// neighbour's run, then the neighbours not linked on a layer above go to the
// end of its own run. So a run holds
//  - no links at all without layers;
//  - first its forward links, to nodes inserted before it, each once: at
//    least one for every node but node 0 (its first linking search starts
//    at an earlier node), at most ef_construction per linking layer;
//  - then its back links, from the nodes inserted after it, in increasing
//    order (each appended by that node's own insertion);
//  - never the node itself, and only ids below the node count;
//  - and every link in both directions: a forward link of u to v is the
//    back link u of v, and every back link is one.
// The parallel build and its validation rely on the split into forward and
// back links (hnsw/speculation.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hnsw/run_table.hpp"

namespace tessra {

// Levels as a file holds them (capped at 65535), node by node.
std::optional<std::string> check_levels(const std::vector<std::uint16_t>& levels, std::uint64_t layers);

class RunChecker {
public:
    // `levels` (checked by check_levels, and kept alive by the caller) gives
    // the node count and each node's number of linking layers.
    RunChecker(const std::vector<std::uint16_t>& levels, std::uint64_t layers, std::uint64_t ef_construction);

    // Node `id`'s run; the runs of the nodes before it are in `runs` (checked).
    std::optional<std::string> check_run(std::uint64_t id, RunSpan run, const RunTable& runs);
    // After the last run: every back link was matched by a forward link.
    std::optional<std::string> finish(const RunTable& runs);

private:
    // Forward links wait here until enough have gathered to load their back
    // runs' headers and entries ahead of the test: a look-up each is a miss
    // in memory otherwise, and they would stall one after another.
    struct Link {
        std::uint32_t from, to;
    };
    std::optional<std::string> match_pending(const RunTable& runs);

    const std::vector<std::uint16_t>& levels_;
    std::uint64_t layers_;
    std::uint64_t ef_construction_;
    // Per node checked so far: where in its run the next back link to be
    // matched sits. Nodes are checked in id order, and so are the back links
    // of each run, so every forward link must meet its back link there.
    std::vector<std::uint32_t> next_back_;
    std::vector<Link> pending_;
};

}  // namespace tessra
