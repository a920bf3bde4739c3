// The search of one layer: a best-first expansion from a start node that keeps
// the ef nearest nodes found.
#include <algorithm>
#include <memory>
#include <type_traits>

#include "common/test_hooks.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw/speculation.hpp"

namespace tessra {

namespace {

// Working memory of layer searches, kept per thread and reused across calls.
struct LayerScratch {
    // A node is visited in the current search when its stamp equals `epoch`,
    // so starting a search costs one increment instead of clearing a set.
    std::vector<std::uint32_t> stamps;
    std::uint32_t epoch = 0;
    // Candidates to expand: a binary min-heap in candidate order.
    std::vector<Candidate> heap;
    bool busy = false;

    void start(std::size_t nodes) {
        if (stamps.size() < nodes) stamps.resize(nodes, 0);
        if (++epoch == 0) {
            std::fill(stamps.begin(), stamps.end(), 0);
            epoch = 1;
        }
        heap.clear();
    }
    bool visit(std::uint64_t id) {
        if (stamps[id] == epoch) return false;
        stamps[id] = epoch;
        return true;
    }
};

// The thread's scratch, or a private one if the thread's is already in use.
class ScratchLease {
public:
    ScratchLease() {
        thread_local LayerScratch shared;
        if (!shared.busy) {
            scratch_ = &shared;
        } else {
            owned_ = std::make_unique<LayerScratch>();
            scratch_ = owned_.get();
        }
        scratch_->busy = true;
    }
    ~ScratchLease() { scratch_->busy = false; }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    LayerScratch& operator*() const { return *scratch_; }

private:
    LayerScratch* scratch_;
    std::unique_ptr<LayerScratch> owned_;
};

// std::*_heap keep the greatest element first; this keeps the nearest.
// A function object rather than a function pointer, so the heap operations inline it.
struct HeapAfter {
    bool operator()(const Candidate& a, const Candidate& b) const { return candidate_before(b, a); }
};
constexpr HeapAfter heap_after{};

}  // namespace

std::optional<HNSWError> HNSW::check_layer_search(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                                  std::optional<BoundFilter>& bound) const {
    bound.reset();
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= layers_) return HNSWError::InvalidLayer;
    if (filter == nullptr) return std::nullopt;
    if (!schema_) return HNSWError::NoSchema;
    if (schema_->empty()) return HNSWError::EmptySchema;
    const auto found = std::find(schema_->begin(), schema_->end(), filter->attribute);
    if (found == schema_->end()) return HNSWError::AttributeNotFound;
    bound = BoundFilter{filter, static_cast<std::size_t>(found - schema_->begin())};
    return std::nullopt;
}

bool HNSW::passes(const BoundFilter& filter, std::uint64_t id) const {
    const std::optional<MetadataView> value = records_.value(id, filter.position);
    return value && filter.filter->passes(*value);
}

std::optional<HNSWError> HNSW::knn(std::uint64_t start, const QueryDistances& query, std::uint64_t ef,
                                   std::uint64_t layer, const Filter* filter,
                                   std::vector<Candidate>& result, const SketchQuery& sketch,
                                   Speculation* speculation, bool skip_removed) const {
    result.clear();
    std::optional<BoundFilter> bound;
    if (auto error = check_layer_search(ef, layer, filter, bound)) return error;

    ScratchLease lease;
    LayerScratch& scratch = *lease;
    scratch.start(size());
    std::vector<Candidate>& heap = scratch.heap;

    // Work done, for the test counters (summed here, published once at the end).
    std::uint64_t distances_taken = 1, entries_scanned = 0;
    const Candidate first{query.one(vector(start)), start};
    if (!skip_removed || !removed_.contains(start)) result.push_back(first);
    heap.push_back(first);
    scratch.visit(start);

    // The expansion loop is stamped out per combination of level test, filter
    // and removed nodes, so the common case (layer 0, no filter, nothing
    // removed) tests visits only.
    const auto expand = [&](auto test_levels, auto test_filter, auto test_removed) {
        const std::uint16_t* levels = levels_.data();
        std::uint32_t* stamps = scratch.stamps.data();
        const std::uint32_t epoch = scratch.epoch;
        std::uint64_t batch_ids[kBatch];
        const double* batch_vectors[kBatch];
        double batch_distances[kBatch];

        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), heap_after);
            const Candidate nearest = heap.back();
            heap.pop_back();
            // With removed nodes the heap also holds nodes the result does not,
            // so it only ends a search that has filled its result.
            if constexpr (decltype(test_removed)::value) {
                if (result.size() >= ef && distance_before(result.back().distance, nearest.distance)) break;
            } else {
                if (distance_before(result.back().distance, nearest.distance)) break;
            }

            const RunSpan run = speculation != nullptr ? speculation->run(runs_, nearest.id) : runs_.get(nearest.id);
            const std::uint32_t* neighbours = run.data();
            const std::size_t run_length = run.size();
            entries_scanned += run_length;
            std::size_t next = 0;
            while (next < run_length) {
                // Gather the next admissible, unvisited neighbours in run order. A
                // neighbour failing the filter is not marked visited: another run
                // may lead to it and it is tested again there.
                std::size_t count = 0;
                // Once the list is full, a node whose sketch proves it no nearer
                // than the list's last is visited without its distance: gather
                // with the sketches loading, then keep those the bound cannot drop.
                const bool full = result.size() >= ef && sketch.active();
                while (next < run_length && count < kBatch) {
                    std::size_t gathered = count;
                    for (; next < run_length && gathered < kBatch; ++next) {
                        const std::uint32_t id = neighbours[next];
                        if constexpr (decltype(test_levels)::value) {
                            if (levels[id] < layer) continue;
                        }
                        if constexpr (decltype(test_filter)::value) {
                            if (!passes(*bound, id)) continue;
                        }
                        if (stamps[id] == epoch) continue;
                        stamps[id] = epoch;
                        if (full) sketch.prefetch(id);
                        else __builtin_prefetch(vector(id));  // its distance is taken once the batch is full
                        batch_ids[gathered++] = id;
                    }
                    if (!full) {
                        count = gathered;
                        break;
                    }
                    const std::size_t kept = sketch.keep(batch_ids + count, gathered - count, result.back().distance);
                    for (std::size_t i = count; i < count + kept; ++i) __builtin_prefetch(vector(batch_ids[i]));
                    count += kept;
                }
                for (std::size_t i = 0; i < count; ++i) batch_vectors[i] = vector(batch_ids[i]);
                if (count == 0) break;
                distances_taken += count;
                // With the list full, only a distance below its last one can be
                // admitted, so euclidean distances may stop once they reach it.
                if (result.size() >= ef) query.batch_below(batch_vectors, count, result.back().distance, batch_distances);
                else query.batch(batch_vectors, count, batch_distances);

                // Admission depends on the list as the earlier neighbours left it,
                // so it runs in run order after the distances are known.
                for (std::size_t i = 0; i < count; ++i) {
                    const Candidate found{batch_distances[i], batch_ids[i]};
                    // Plain comparison on purpose: nothing beats a NaN at the end of a full list.
                    if (!(result.size() < ef || found.distance < result.back().distance)) continue;
                    heap.push_back(found);
                    std::push_heap(heap.begin(), heap.end(), heap_after);
                    if constexpr (decltype(test_removed)::value) {
                        if (removed_.contains(found.id)) continue;  // a waypoint, never a result
                        if (result.empty()) {
                            result.push_back(found);
                            continue;
                        }
                    }
                    result.insert(result.begin() + result_insert_position(result, found.distance), found);
                    if (result.size() > ef) result.pop_back();
                }
            }
            if (speculation != nullptr && !result.empty()) speculation->expanded(nearest.id, layer, result.size() >= ef, result.back().distance);
        }
    };
    // Every node is on layer 0, so the level test is needed above it only.
    // Removed nodes are left out of results on layer 0 only: above it a
    // search only finds where to start the next layer down.
    const std::false_type no;
    const std::true_type yes;
    if (layer > 0) {
        if (bound) expand(yes, yes, no);
        else expand(yes, no, no);
    } else if (skip_removed && !removed_.empty()) {
        if (bound) expand(no, yes, yes);
        else expand(no, no, yes);
    } else {
        if (bound) expand(no, yes, no);
        else expand(no, no, no);
    }
    if (counting_search_work()) add_search_work(distances_taken, entries_scanned);
    return std::nullopt;
}

}  // namespace tessra
