// The pruned graph: a layered graph whose nodes keep at most m neighbours on
// each layer above 0 and 2m on layer 0, chosen by the diversity heuristic.
// Its public face mirrors HNSW's, so one Python class can drive either.
//
// Layers and levels: a node is on layers 0 to its level; levels are drawn
// with P(level >= j) = m^-j (levels.hpp), capped at layers - 1 (16 layers
// unless the caller gives another count). Every node draws, the first too.
//
// Entry point: the first node; afterwards a node whose level exceeds the top
// level (the entry point's) becomes the entry point, the earliest one among
// equals. Searches and insertions start there.
//
// Distances: smaller is nearer for every metric (graph_distance.hpp).
// Candidate order, used wherever nodes are ranked: distance order (NaN last),
// then the lower id.
//
// Insertion of node q at level L: a greedy descent (beam 1) from the entry
// point through the layers above L; on each layer from min(L, top) down to 0
// a beam search with ef_construction, whose result the heuristic
// (neighbour_selection.hpp) turns into q's list there; the next layer starts
// from the nearest node found. Each chosen neighbour e gets q in its list; a
// list that overflows its capacity re-selects among its entries and q, by
// the same heuristic with distances from e.
//
// Bulk insertion (create, add) links nodes in batches (batch_build.hpp):
// each node of a batch searches the graph as it stood before the batch and
// chooses its own lists, then every neighbour takes its new reverse links at
// once, in id order. A batch of one node is one insert; batch boundaries
// depend only on the index size and the levels, so add on any number of
// threads builds exactly the graph create builds (which is not, in general,
// the graph a sequence of inserts builds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/random.hpp"
#include "common/removed_set.hpp"
#include "common/vector_list.hpp"
#include "filter/filter.hpp"
#include "hnsw/graph_types.hpp"
#include "metadata/metadata.hpp"
#include "metadata/record_store.hpp"
#include "metrics/metrics.hpp"
#include "pruned/neighbour_lists.hpp"

namespace tessra {

class GraphDistances;
class BatchBuild;
struct WalkScratch;

// How bulk insertion cuts its batches, and how full a new node's layer-0
// list may be. Fixed for an index; set only by tests and benchmarks.
struct BuildTuning {
    // A batch starting with s nodes in the index holds max(1, s / divisor)
    // nodes (0: always one), at most `cap`. Measured on MNIST 9,000 and
    // clustered 20,000 x 128: recall@10 within 0.001 of batches of one for
    // every divisor from 100 to 2 (beta 0.01 to 0.5). The cap bounds the
    // exact distances each node takes to the batch's earlier nodes (half a
    // batch on average): 2048 would double the build's distances at scale,
    // 256 keeps them near a tenth and leaves every thread dozens of nodes.
    std::size_t divisor = 20;
    std::size_t cap = 256;
    // The new node's own layer-0 list holds up to 2m (true) or m (false)
    // entries; reverse links fill lists up to 2m either way. 2m measured as
    // good or better: on uniform 32-d data recall@10 >= 0.99 at ef 100
    // instead of 200 at equal build time; on clustered and MNIST data equal.
    bool fill_layer0 = true;
};

// A test hook: called on the worker with each node's id before the node's
// searches in a bulk insertion; what it throws surfaces as a worker fault.
using PlanProbe = std::function<void(std::uint64_t id)>;

class PrunedHNSW {
public:
    // Node ids are stored in 32 bits; an insertion beyond this many nodes is an internal fault.
    static constexpr std::uint64_t kMaxNodes = UINT32_MAX;
    // The layer count when the caller gives none.
    static constexpr std::uint64_t kDefaultLayers = 16;
    static constexpr std::uint64_t kMinM = 2;
    static constexpr std::uint64_t kMaxM = NeighbourLists::kMaxM;

    // Preconditions (the Python face refuses the rest): dim >= 1, layers >= 1,
    // kMinM <= m <= kMaxM. ef_construction and ef_search may be 0 (insert and search report InvalidEF).
    PrunedHNSW(std::size_t dim, Metric metric, std::uint64_t layers, std::uint64_t m, std::uint64_t ef_construction,
               std::uint64_t ef_search, Schema schema);

    // Adds one node: draws its level from `rng`, stores it (the record, may be
    // null, is copied) and links it. Precondition: length == dim. With
    // ef_construction 0 every insertion after the first reports InvalidEF
    // before drawing or storing anything.
    std::optional<HNSWError> insert(const double* vector, std::size_t length, const MetadataRecord* record,
                                    RandomSource& rng);

    // Inserts the vectors in order, vector i with record i when records are
    // given and the index has a schema (records are ignored without one), in
    // batches on the calling thread. EmptyVectors for an empty list and
    // AttributeNotFound for a record count that differs from the vector
    // count, both before anything is stored. Levels are drawn in order, one
    // word per stored node. With ef_construction 0 only the first node of an
    // empty index is stored and InvalidEF is reported.
    std::optional<HNSWError> create(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                    RandomSource& rng);

    // create on options.threads threads: the same levels, the same graph. A
    // stop by the poll or a fault keeps the batches linked before it.
    AddResult add(const VectorList& vectors, const std::vector<MetadataRecord>* records, RandomSource& rng,
                  const AddOptions& options);
    // The same with the levels given instead of drawn (levels[i] for vector i, below layers).
    AddResult add_with_levels(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                              const std::vector<std::uint64_t>& levels, const AddOptions& options,
                              const PlanProbe& probe = PlanProbe());

    // The nearest nodes to `query` (any length): a greedy descent through the
    // upper layers, then a beam of max(ef, k) on layer 0, ef being ef_search
    // unless given; the first max(k, 1) nodes found, fewer when fewer were
    // found, in candidate order. Checks, in order: ef 0 gives InvalidEF; a
    // filter on an index without a schema NoSchema, with an empty schema
    // EmptySchema, naming no schema attribute AttributeNotFound. An empty
    // index returns nothing and checks nothing. With a filter, a node that
    // fails it or has no record guides the walk but is never returned. Safe
    // to call from several threads at once.
    std::optional<HNSWError> search(const double* query, std::size_t query_len, std::uint64_t k,
                                    const Filter* filter, std::vector<Candidate>& out,
                                    std::optional<std::uint64_t> ef = std::nullopt) const;

    // Ids assigned so far: nodes stored, removed ones included.
    std::size_t size() const { return levels_.size(); }
    // Nodes a search can return.
    std::size_t live() const { return size() - removed_.size(); }
    const RemovedSet& removed() const { return removed_; }
    // Removes every id of `ids` or, when one cannot be removed, none (the
    // first such id is returned). A removed node keeps its lists and stays a
    // waypoint of every walk, insertions' included; searches never return it.
    std::optional<RemovedSet::Refused> remove(const std::vector<std::uint64_t>& ids);
    std::size_t dim() const { return dim_; }
    const double* vector(std::uint64_t id) const { return vectors_.data() + id * dim_; }
    const Schema& schema() const { return schema_; }
    Metric metric() const { return metric_; }
    std::uint64_t layers() const { return layers_; }
    std::uint64_t m() const { return m_; }
    std::uint64_t ef_construction() const { return ef_construction_; }
    std::uint64_t ef_search() const { return ef_search_; }
    std::uint64_t level(std::uint64_t id) const { return levels_[id]; }
    // The entry point and its level (meaningful once the index holds a node).
    std::uint64_t entry_point() const { return entry_; }
    std::uint64_t top_level() const { return top_level_; }
    // The node's neighbours on a layer it is on, in list order.
    ListSpan neighbours(std::uint64_t id, std::uint64_t layer) const { return lists_.get(id, layer); }

    std::optional<RecordStore::Record> record(std::uint64_t id) const { return records_.record(id); }
    const RecordStore& records() const { return records_; }
    void use_generator(const SeededGenerator& generator) { generator_ = generator; }
    SeededGenerator* generator() { return generator_ ? &*generator_ : nullptr; }
    const SeededGenerator* generator() const { return generator_ ? &*generator_ : nullptr; }
    const AddResult& last_add() const { return last_add_; }

    // What a saved index holds. restore() rebuilds the derived state (the
    // entry point and top level) from it; lists come back with no entry
    // marked as selected, which changes no later selection's result.
    struct SavedState {
        std::size_t dim = 0;
        Metric metric = Metric::Euclidean;
        std::uint64_t layers = 0, m = 0, ef_construction = 0, ef_search = 0;
        Schema schema;
        std::vector<double> vectors;       // dim values per node, in id order
        std::vector<std::uint8_t> levels;  // every node's level
        NeighbourLists lists{2};           // every node's lists on layers 0 to its level
        RecordStore records;               // one entry per node; schema-size records only
        std::optional<SeededGenerator> generator;
        RemovedSet removed;
    };
    // The index `state` describes. Precondition (the file reader checks it):
    // the constructor's preconditions, and levels and lists as a build leaves
    // them (pruned_format.hpp lists the rules).
    static PrunedHNSW restore(SavedState state);

    const BuildTuning& tuning() const { return tuning_; }
    void set_tuning(const BuildTuning& tuning) { tuning_ = tuning; }

    // Entries in every list, and bytes the lists, vectors and levels hold at capacity.
    std::size_t link_entries() const { return lists_.entries(); }
    std::size_t link_bytes() const { return lists_.bytes(); }
    std::size_t memory_bytes() const;

private:
    friend class BatchBuild;

    // What keeps a node reached by a search out of its results: a filter
    // (bound to the attribute position it tests) and removal. The walk has
    // one test for both.
    class ReturnGate {
    public:
        ReturnGate() = default;
        ReturnGate(const RecordStore* records, const Filter* filter, std::size_t position, const RemovedSet* removed)
            : records_(records), filter_(filter), position_(position),
              removed_(removed != nullptr && !removed->empty() ? removed : nullptr) {}
        // Whether any node can be refused.
        bool active() const { return filter_ != nullptr || removed_ != nullptr; }
        bool returnable(std::uint64_t id) const {
            if (removed_ != nullptr && removed_->contains(id)) return false;
            if (filter_ != nullptr) {
                const std::optional<MetadataView> value = records_->value(id, position_);
                if (!value || !filter_->passes(*value)) return false;
            }
            return true;
        }

    private:
        const RecordStore* records_ = nullptr;
        const Filter* filter_ = nullptr;
        std::size_t position_ = 0;
        const RemovedSet* removed_ = nullptr;
    };

    // The checks a search makes before it looks at any node, in their order.
    std::optional<HNSWError> check_search(std::uint64_t ef, const Filter* filter, ReturnGate& gate) const;

    // Greedy walk on layers `top` down to `bottom` (top >= bottom >= 1): from
    // `from`, move to a neighbour strictly nearer than the current node (the
    // nearest in the list; the first of equals) until none is. Returns where it ends.
    Candidate descend(const GraphDistances& query, Candidate from, std::uint64_t top, std::uint64_t bottom) const;

    // Beam search of one layer from `start` (already measured): `out` gets
    // the ef nearest returnable nodes found, in candidate order. Every node
    // reached is a waypoint: it is expanded when it is nearer than the
    // results' furthest, or while the results are not full. Once they are
    // full a node joins only when strictly nearer than their furthest.
    void search_layer(const GraphDistances& query, Candidate start, std::uint64_t ef, std::uint64_t layer,
                      const ReturnGate& gate, std::vector<Candidate>& out) const;
    template <bool Layer0, bool Gated>
    void expand(const GraphDistances& query, std::uint64_t ef, std::uint64_t layer, const ReturnGate& gate,
                WalkScratch& scratch) const;

    // Stores a node with empty lists (room must be reserved during a build).
    void store_node(const double* vector, std::uint64_t level, const MetadataRecord* record);
    // Drops every node from `nodes` on.
    void truncate_nodes(std::size_t nodes);

    std::vector<double> vectors_;      // dim values per node, in id order
    std::vector<std::uint8_t> levels_;  // every node's level (at most 52, see levels.hpp)
    NeighbourLists lists_;
    RecordStore records_;
    Schema schema_;
    Metric metric_;
    std::size_t dim_;
    std::uint64_t layers_;  // the level cap plus one
    std::uint64_t m_;
    std::uint64_t ef_construction_;
    std::uint64_t ef_search_;
    std::uint32_t entry_ = 0;
    std::uint64_t top_level_ = 0;  // the entry point's level
    BuildTuning tuning_;
    std::optional<SeededGenerator> generator_;
    RemovedSet removed_;
    AddResult last_add_;
};

}  // namespace tessra
