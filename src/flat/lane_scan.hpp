// The batched scan of one group of up to kQueryLanes queries over the stored
// vectors of a flat index, kept across tiles. For each query it keeps the
// best `keep` pairs so far as a max-heap in candidate order, admitting ids in
// increasing order exactly as Flat::search does, so each query ends with what
// Flat::search returns, bit for bit.
//
// Per step of kScanStep stored vectors, the group's sketch bound in product
// form (sketch/batch_bound.hpp) clears every (query, vector) pair it proves
// out, each for its own query; the pairs that remain get their exact
// distance: through the block kernels (one SIMD lane per query) for a vector
// at least kDenseLanes queries of the group still need, through the
// one-query kernels for the others. A first pass over the sketches alone
// (gather(), then seed()) gives each query a seed: the k-th smallest exact
// distance among the vectors its sketch puts nearest bounds its final k-th
// distance, so the scan drops what ranks after it from the first step on.
//
//     LaneScan scan(flat, rows, lanes, keep);
//     for each tile: scan.gather(tile, begin, end);     // optional, before any scan()
//     scan.seed(base);
//     for each tile, in order: scan.scan(base, tile, begin, end);
//     scan.finish(j);                                  // query j's results
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flat/flat.hpp"
#include "metrics/kernels_block.hpp"
#include "sketch/batch_bound.hpp"

namespace tessra {

// Stored vectors per step: the thresholds a step uses are those of its start.
constexpr std::size_t kScanStep = kProductPanel;

class LaneScan {
public:
    // rows[j]: query j of the group, j < lanes (the rows outlive the scan).
    LaneScan(const Flat& flat, const double* const* rows, std::size_t lanes, std::size_t keep);

    bool bound_active() const { return bound_.active(); }
    // The first pass: gathers, for every query, the stored vectors of
    // [begin, end) whose sketches look nearest (`tile` holds their sketches).
    void gather(const SketchTile& tile, std::size_t begin, std::size_t end);
    // After the first pass: each query's seed from the exact distances of
    // what it gathered (`base`: the stored vectors).
    void seed(const double* base);
    // Admits the stored vectors [begin, end) for every query, in id order
    // (begin a multiple of kScanStep); `tile` holds the decoded sketches of a
    // range that contains them.
    void scan(const double* base, const SketchTile& tile, std::size_t begin, std::size_t end);
    // Query j's kept pairs in candidate order; ends its scan.
    const std::vector<Candidate>& finish(std::size_t j);

private:
    using StepMask = std::uint64_t;  // bit i: stored vector start + i of a step

    StepMask live_mask(std::size_t start, std::size_t stop) const;
    void prove(const SketchTile& tile, std::size_t start, std::size_t stop, const double* thresholds,
               StepMask* keep) const;
    void compute(const double* base, const QueryBlockView& view, std::size_t start, const StepMask* keep,
                 const double* bounds, double* distances) const;
    void admit(const double* base, std::size_t j, Candidate c);
    void cut(std::size_t j);
    double one_query_distance(const double* base, std::size_t j, std::size_t id) const;

    Metric metric_;
    std::size_t count_;  // vectors stored
    const RemovedSet& removed_;
    const BlockKernelSet& kernels_;
    BlockKernel kernel_;
    bool euclidean_;
    std::size_t keep_;   // pairs kept per query
    std::size_t lanes_;  // queries of the group
    std::size_t dim_;
    const double* rows_[kQueryLanes] = {};
    double sum_sq_[kQueryLanes] = {};  // cosine: each query's sum of squares
    std::vector<double> columns_;      // the queries element-major, as the block kernels read them
    std::vector<std::vector<Candidate>> best_;  // per query: its heap
    std::vector<SketchQuery> sketches_;         // per query: its sketch
    BatchBound bound_;                          // the group's sketches in product form
    std::vector<QueryDistances> singles_;       // per query: its one-query kernel
    // Vectors gathered per query for its seed (by estimate, up to twice
    // pool_size_ between cuts; 0: no seeds), each pool's bar (it takes
    // estimates at or below it), and the seeds: a scan admits only
    // distances that rank before its seed (NaN: no seed).
    std::size_t pool_size_ = 0;
    std::vector<std::vector<Candidate>> pools_;
    double bars_[kQueryLanes];
    double seed_[kQueryLanes];
};

}  // namespace tessra
