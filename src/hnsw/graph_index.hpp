// The record behind a PyHNSW: the full graph or the pruned one, chosen at
// construction and fixed for the object's life. Both records share their
// public face, so the class layer writes each method once and visits.
#pragma once

#include <utility>
#include <variant>

#include "hnsw/hnsw.hpp"
#include "pruned/pruned_hnsw.hpp"

namespace tessra {

class GraphIndex {
public:
    explicit GraphIndex(HNSW full) : graph_(std::in_place_type<HNSW>, std::move(full)) {}
    explicit GraphIndex(PrunedHNSW pruned) : graph_(std::in_place_type<PrunedHNSW>, std::move(pruned)) {}

    // body(record) with the record as its own type.
    template <typename Body>
    decltype(auto) visit(Body&& body) {
        return std::visit(std::forward<Body>(body), graph_);
    }
    template <typename Body>
    decltype(auto) visit(Body&& body) const {
        return std::visit(std::forward<Body>(body), graph_);
    }

    // Removes every id of `ids` or, when one cannot be removed, none.
    std::optional<RemovedSet::Refused> remove(const std::vector<std::uint64_t>& ids) {
        return visit([&](auto& graph) { return graph.remove(ids); });
    }

    bool pruned() const { return std::holds_alternative<PrunedHNSW>(graph_); }
    // The full graph, or null for a pruned one.
    const HNSW* full() const { return std::get_if<HNSW>(&graph_); }
    // The pruned graph, or null for a full one.
    const PrunedHNSW* pruned_graph() const { return std::get_if<PrunedHNSW>(&graph_); }
    // "full" or "pruned", as the graph argument names them.
    const char* graph_name() const { return pruned() ? "pruned" : "full"; }

private:
    std::variant<HNSW, PrunedHNSW> graph_;
};

}  // namespace tessra
