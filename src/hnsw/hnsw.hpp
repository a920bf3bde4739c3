// The graph index: every node keeps one adjacency run serving all layers, and
// a node is present on every layer up to its level. Node 0 sits on the top
// layer and is the entry node of every insertion and search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/random.hpp"
#include "common/removed_set.hpp"
#include "common/vector_list.hpp"
#include "filter/filter.hpp"
#include "hnsw/graph_types.hpp"
#include "hnsw/run_table.hpp"
#include "metadata/metadata.hpp"
#include "metadata/record_store.hpp"
#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"
#include "sketch/sketch_index.hpp"

namespace tessra {

struct Speculation;
class ParallelBuild;

class HNSW {
public:
    // Node ids are stored in 32 bits; an insertion beyond this many nodes is an internal fault.
    static constexpr std::uint64_t kMaxNodes = UINT32_MAX;

    // No parameter is range-checked: 0 is accepted for each (see insert and search).
    HNSW(std::size_t dim, Metric metric, std::uint64_t layers, std::uint64_t m, std::uint64_t ef_construction,
         std::uint64_t ef_search, Schema schema);

    // Adds one node and links it with every node each of its layer searches
    // finds, in both directions. Precondition: dim >= 1 and length == dim.
    // `record` (may be null) is copied. The first node takes level layers - 1
    // and no random word; every later node draws its level from `rng`. An
    // error leaves the index exactly as it was: with layers >= 1 and
    // ef_construction 0 every insertion after the first reports InvalidEF.
    std::optional<HNSWError> insert(const double* vector, std::size_t length, const MetadataRecord* record,
                                    RandomSource& rng);

    // Inserts the vectors in order, vector i with record i when records are
    // given and the index has a schema (records are ignored without a schema).
    // EmptyVectors for an empty list and AttributeNotFound for a record count
    // that differs from the vector count, both before anything is stored. The
    // first failing insertion ends the call; the vectors before it stay.
    std::optional<HNSWError> create(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                    RandomSource& rng);

    // Inserts the vectors in order like create (same checks, same level
    // draws from `rng`, the same graph link for link), running the layer
    // searches ahead on options.threads threads. A stop by the poll, a failing
    // insertion or a fault keeps the vectors linked before it.
    AddResult add(const VectorList& vectors, const std::vector<MetadataRecord>* records, RandomSource& rng,
                  const AddOptions& options);
    // The same with the levels given instead of drawn (levels[i] for vector
    // i; ignored for the first node of an empty index, which takes layers - 1).
    AddResult add_with_levels(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                              const std::vector<std::uint64_t>& levels, const AddOptions& options);

    // The nearest nodes to `query` (any length), nearest first by the raw
    // metric value: the first max(k, 1) pairs of the final layer-0 search
    // (fewer when it found fewer). With a filter, no returned node fails it or
    // lacks a record. An empty index returns nothing and checks nothing.
    // `ef` replaces ef_search for this search alone when given. Safe to call
    // from several threads at once (each keeps its own scratch memory).
    std::optional<HNSWError> search(const double* query, std::size_t query_len, std::uint64_t k,
                                    const Filter* filter, std::vector<Candidate>& out,
                                    std::optional<std::uint64_t> ef = std::nullopt) const;

    // Ids assigned so far: nodes stored, removed ones included.
    std::size_t size() const { return levels_.size(); }
    // Nodes a search can return.
    std::size_t live() const { return size() - removed_.size(); }
    const RemovedSet& removed() const { return removed_; }
    // Removes every id of `ids` or, when one cannot be removed, none (the
    // first such id is returned). A removed node stays in the graph as a
    // waypoint: searches still walk through it, but never return it.
    std::optional<RemovedSet::Refused> remove(const std::vector<std::uint64_t>& ids);
    std::size_t dim() const { return dim_; }
    const double* vector(std::uint64_t id) const { return vector_store_.data() + id * dim_; }
    const Schema& schema() const { return schema_; }
    const SketchIndex& sketches() const { return sketches_; }
    Metric metric() const { return metric_; }
    std::uint64_t layers() const { return layers_; }
    std::uint64_t m() const { return m_; }
    std::uint64_t ef_construction() const { return ef_construction_; }
    std::uint64_t ef_search() const { return ef_search_; }
    // e^-j for each layer j, up to the first weight that underflows to 0.0.
    const std::vector<double>& level_weights() const { return level_weights_; }

    // The highest layer the node is present on.
    std::uint64_t level(std::uint64_t id) const { return id == 0 ? first_level_ : levels_[id]; }
    // The node's neighbours on every layer, each once, in the order they were
    // first linked; never the node itself.
    RunSpan run(std::uint64_t id) const { return runs_.get(id); }
    // Bytes the adjacency runs hold, headers included, and the entries they hold.
    std::size_t link_bytes() const { return runs_.bytes(); }
    std::size_t link_entries() const { return runs_.entries(); }
    // The index's own level generator, when it was given a seed: every level
    // draw then comes from it, in insertion order, instead of the caller's thread.
    void use_generator(const SeededGenerator& generator) { generator_ = generator; }
    SeededGenerator* generator() { return generator_ ? &*generator_ : nullptr; }
    const SeededGenerator* generator() const { return generator_ ? &*generator_ : nullptr; }
    // What the last add() did (for benchmarks).
    const AddResult& last_add() const { return last_add_; }
    // The node's stored metadata values, or nothing when it was inserted without a record.
    std::optional<RecordStore::Record> record(std::uint64_t id) const { return records_.record(id); }
    const RecordStore& records() const { return records_; }

    // What a saved index holds; restore() rebuilds the derived state (level
    // weights, the highest level below node 0's) from it.
    struct SavedState {
        std::size_t dim = 0;
        Metric metric = Metric::Euclidean;
        std::uint64_t layers = 0, m = 0, ef_construction = 0, ef_search = 0;
        Schema schema;
        std::vector<double> vectors;                   // dim values per node, in id order
        std::vector<std::uint16_t> levels;  // level(id) of every node, capped at 65535
        RunTable runs;                      // run(id) of every node, in its final form
        RecordStore records;                // one entry per node; schema-size records only
        std::optional<SeededGenerator> generator;  // the index's own, where it stands now
        RemovedSet removed;                 // ids below the node count
    };
    // The index `state` describes. Precondition (the file reader checks it):
    // the levels and runs hold every invariant of hnsw/graph_invariants.hpp,
    // and records exist only with a schema.
    static HNSW restore(SavedState state);

private:
    friend class ParallelBuild;

    // A filter bound to the attribute position it tests.
    struct BoundFilter {
        const Filter* filter;
        std::size_t position;
    };

    // The checks a layer search makes before looking at any node, in their
    // order; on success `bound` holds the resolved filter (when one is given).
    std::optional<HNSWError> check_layer_search(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                                std::optional<BoundFilter>& bound) const;
    // A node passes when it has a record holding the attribute and the predicate accepts its value.
    bool passes(const BoundFilter& filter, std::uint64_t id) const;

    // Searches one layer from `start` with a beam of `ef`, leaving the result,
    // nearest first, in `result`. The start node is taken without the level
    // and filter tests; every other node must be on the layer and pass.
    // `sketch` (of the same query) may prove candidates out once the result
    // is full. A speculative search (see speculation.hpp) reads the runs
    // through `speculation` and records its expansions there. With
    // `skip_removed`, removed nodes are expanded like any other but never
    // enter the result, which then fills with nodes that remain.
    std::optional<HNSWError> knn(std::uint64_t start, const QueryDistances& query, std::uint64_t ef,
                                 std::uint64_t layer, const Filter* filter, std::vector<Candidate>& result,
                                 const SketchQuery& sketch = SketchQuery(),
                                 Speculation* speculation = nullptr, bool skip_removed = false) const;

    void store_node(const double* vector, std::uint64_t level, const MetadataRecord* record);
    // Drops every node from `nodes` on (they are linked to no node below).
    void truncate_nodes(std::size_t nodes);
    // The first layer an insertion of this level searches.
    std::uint64_t top_layer(std::uint64_t level) const;
    // Returns the number of nodes its linking searches found.
    std::size_t link_node(std::uint64_t id, const double* vector, std::uint64_t level);
    // Stores the first `count` vectors with their levels, then links them in order.
    AddResult build_bulk(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                         const std::vector<std::uint64_t>& levels, std::size_t count, const AddOptions& options);
    // Links node `id` with the nodes one of its layer searches found: each
    // neighbour not yet linked to it gets a back link, then the node's run
    // gets those neighbours in result order.
    void link_layer(std::uint64_t id, const std::vector<Candidate>& found);

    std::vector<double> vector_store_;
    // Derived from vector_store_: lets layer searches skip nodes that cannot be admitted.
    SketchIndex sketches_;
    RunTable runs_;
    // Levels in 16 bits, so the layer test of a long run stays in cache. Drawn
    // levels never exceed 36 (highest_drawable_level); only node 0's level,
    // layers - 1, can be larger, and it is capped: no layer search runs above
    // the highest drawn level, so the cap changes no test.
    std::vector<std::uint16_t> levels_;
    std::uint64_t first_level_ = 0;  // node 0's level, uncapped
    std::vector<double> level_weights_;
    RecordStore records_;
    RemovedSet removed_;
    Schema schema_;
    Metric metric_;
    std::size_t dim_;
    std::uint64_t layers_;
    std::uint64_t m_;  // kept for the caller; linking does not use it
    std::uint64_t ef_construction_;
    std::uint64_t ef_search_;
    // The highest level of any node but node 0. Above it node 0 is alone, so a
    // layer search there ends where it starts and can be skipped.
    std::uint64_t highest_other_level_ = 0;
    std::optional<SeededGenerator> generator_;
    AddResult last_add_;
};

}  // namespace tessra
