// The batched exhaustive scan. Queries are taken in blocks; a block scans the
// stored vectors tile by tile, and every query of the block runs over a tile
// before the next tile is read, so a tile comes from memory once per block of
// queries and from cache for the rest of the block. Within a block, queries go
// through the block kernels in groups of kQueryLanes, one SIMD lane each.
#include "flat/flat_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "metrics/kernels_block.hpp"
#include "parallel/stop_check.hpp"

namespace tessra {
namespace {

// Queries per block: each tile is read from memory once per block.
constexpr std::size_t kQueryBlock = 4 * kQueryLanes;
// Bytes of stored vectors per tile: a tile and a block of queries stay in a
// core's second-level cache together.
constexpr std::size_t kTileBytes = 256 * 1024;
// Stored vectors per kernel call: the bounds a call uses are those of its start.
constexpr std::size_t kStep = 64;

std::size_t tile_vectors(std::size_t dim) {
    const std::size_t fit = kTileBytes / (std::max<std::size_t>(dim, 1) * sizeof(double));
    return std::max<std::size_t>(kStep, fit / kStep * kStep);
}

// The scan of up to kQueryLanes queries, kept across tiles: for each query the
// best `keep` pairs so far as a max-heap in candidate order, exactly as
// Flat::search keeps them, so each query ends with what Flat::search returns.
class LaneScan {
public:
    LaneScan(const Flat& flat, const double* queries, std::size_t lanes, std::size_t keep)
        : metric_(flat.metric),
          count_(flat.size()),
          removed_(flat.removed),
          kernels_(block_kernels_for(active_kernels())),
          kernel_(kernels_.for_metric(flat.metric)),
          euclidean_(flat.metric == Metric::Euclidean),
          keep_(keep),
          lanes_(lanes),
          dim_(flat.dim),
          columns_(flat.dim * kQueryLanes, 0.0),
          best_(lanes) {
        const std::size_t dim = flat.dim;
        sketches_.reserve(lanes);
        for (std::size_t j = 0; j < lanes; ++j) {
            rows_[j] = queries + j * dim;
            sum_sq_[j] = flat.metric == Metric::Cosine ? sum_of_squares(rows_[j], dim) : 0.0;
            for (std::size_t i = 0; i < dim; ++i) columns_[i * kQueryLanes + j] = rows_[j][i];
            best_[j].reserve(keep);
            sketches_.emplace_back(flat.sketches, flat.metric, rows_[j], dim, flat.vector_store.data(), dim);
        }
    }

    // Admits the stored vectors [begin, end) for every query, in id order.
    void scan(const double* base, std::size_t begin, std::size_t end) {
        const std::size_t lanes = lanes_;
        // Built here, not kept: the scan may have moved since the last call.
        const QueryBlockView view{lanes_, dim_, rows_, columns_.data(), sum_sq_};
        const double* batch[kStep];
        std::size_t batch_ids[kStep];
        double bounds[kQueryLanes];
        alignas(64) double distances[kStep * kQueryLanes];
        for (std::size_t start = begin; start < end; start += kStep) {
            // A query holding `keep` pairs admits only a distance that ranks
            // strictly before the worst of them: that distance is its bound.
            bool bounded = false, every_lane_full = true;
            for (std::size_t j = 0; j < kQueryLanes; ++j) {
                const bool full = j < lanes && best_[j].size() == keep_;
                every_lane_full &= j >= lanes || full;
                bounds[j] = j >= lanes ? -std::numeric_limits<double>::infinity()
                                       : full ? best_[j].front().distance : std::numeric_limits<double>::quiet_NaN();
                bounded |= full && !std::isnan(bounds[j]);
            }
            const std::size_t stop = std::min(kStep, end - start);
            std::size_t n = 0;
            for (std::size_t i = 0; i < stop; ++i) {
                const std::size_t id = start + i;
                if (removed_.contains(id)) continue;
                // A stored vector whose sketch proves it ranks before no
                // query's bound is left out before any distance is taken.
                if (every_lane_full && cannot_rank_before(id, bounds)) continue;
                batch_ids[n] = id;
                batch[n++] = base + id * dim_;
            }
            if (n == 0) continue;
            // Euclidean scans may stop reading a vector once no query can admit it.
            if (euclidean_ && bounded) kernels_.euclidean_bounded(view, batch, n, bounds, distances);
            else kernel_(view, batch, n, distances);
            for (std::size_t j = 0; j < lanes; ++j) {
                std::vector<Candidate>& best = best_[j];
                for (std::size_t i = 0; i < n; ++i) {
                    Candidate c{distances[i * kQueryLanes + j], batch_ids[i]};
                    // Ids arrive in increasing order, so a newcomer beats the worst
                    // kept pair exactly when its distance ranks strictly before it.
                    if (best.size() < keep_) {
                        if (std::isnan(c.distance)) c = Candidate{one_query_distance(base, j, c.id), c.id};
                        best.push_back(c);
                        std::push_heap(best.begin(), best.end(), candidate_before);
                    } else if (distance_before(c.distance, best.front().distance)) {
                        std::pop_heap(best.begin(), best.end(), candidate_before);
                        best.back() = c;
                        std::push_heap(best.begin(), best.end(), candidate_before);
                    }
                }
            }
        }
    }

    // Query j's kept pairs in candidate order; ends its scan.
    const std::vector<Candidate>& finish(std::size_t j) {
        std::sort_heap(best_[j].begin(), best_[j].end(), candidate_before);
        return best_[j];
    }

private:
    // The distance as Flat::search takes it: through the one-query kernel, in
    // the batch of kBatch stored vectors that holds `id`. Only a NaN needs it:
    // every number comes out the same from any kernel of the set, but which
    // NaN an operation on two NaNs keeps depends on how the compiler ordered
    // its operands, kernel by kernel.
    double one_query_distance(const double* base, std::size_t j, std::size_t id) const {
        const std::size_t start = id / kBatch * kBatch;
        const std::size_t n = std::min(kBatch, count_ - start);
        const double* batch[kBatch];
        double out[kBatch];
        for (std::size_t i = 0; i < n; ++i) batch[i] = base + (start + i) * dim_;
        QueryDistances(metric_, rows_[j], dim_, dim_).batch(batch, n, out);
        return out[id - start];
    }

    // True only when, for every query of the group, the sketch proves the
    // stored vector's value at or after that query's bound (or NaN): no
    // query could admit it, so leaving it out changes no result.
    bool cannot_rank_before(std::size_t id, const double* bounds) const {
        for (std::size_t j = 0; j < lanes_; ++j)
            if (!sketches_[j].can_skip(id, bounds[j])) return false;
        return true;
    }

    Metric metric_;
    std::size_t count_;  // vectors stored
    const RemovedSet& removed_;
    const BlockKernelSet& kernels_;
    BlockKernel kernel_;
    bool euclidean_;
    std::size_t keep_;
    std::size_t lanes_;
    std::size_t dim_;
    const double* rows_[kQueryLanes] = {};
    double sum_sq_[kQueryLanes] = {};
    std::vector<double> columns_;
    std::vector<std::vector<Candidate>> best_;
    std::vector<SketchQuery> sketches_;  // one per query of the group
};

}  // namespace

std::optional<FlatError> flat_search_batch(const Flat& flat, const double* queries, std::size_t rows, std::size_t k,
                                           const ParallelFor& options, BatchResults& out, bool& finished) {
    finished = true;
    const std::size_t count = flat.size();
    const std::size_t keep = std::min(std::max<std::size_t>(k, 1), flat.live());
    out.reset(rows, keep);
    if (rows == 0) return std::nullopt;
    if (flat.live() == 0) return FlatError::EmptyIndex;

    const std::size_t dim = flat.dim;
    const double* base = flat.vector_store.data();
    const std::size_t tile = tile_vectors(dim);
    // Smaller blocks when there are few queries, so every thread gets some.
    const std::size_t threads = std::max<std::size_t>(options.threads, 1);
    const std::size_t block = std::clamp<std::size_t>((rows + threads - 1) / threads, 1, kQueryBlock);
    const std::size_t blocks = (rows + block - 1) / block;

    StopCheck stop(options);
    ParallelFor run;
    run.threads = threads;
    run.chunk = 1;
    parallel_for(blocks, run, [&](std::size_t first_block, std::size_t end_block, std::size_t worker) {
        std::vector<LaneScan> scans;
        for (std::size_t b = first_block; b < end_block; ++b) {
            const std::size_t first = b * block;
            const std::size_t last = std::min(rows, first + block);
            scans.clear();
            for (std::size_t q = first; q < last; q += kQueryLanes)
                scans.emplace_back(flat, queries + q * dim, std::min(kQueryLanes, last - q), keep);
            for (std::size_t begin = 0; begin < count; begin += tile) {
                if (stop(worker)) return;
                const std::size_t end = std::min(count, begin + tile);
                for (LaneScan& scan : scans) scan.scan(base, begin, end);
            }
            for (std::size_t q = first; q < last; ++q)
                out.set_row(q, scans[(q - first) / kQueryLanes].finish((q - first) % kQueryLanes));
        }
    });
    finished = !stop.stopped();
    return std::nullopt;
}

}  // namespace tessra
