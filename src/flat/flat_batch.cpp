// The batched exhaustive scan. Queries are taken in blocks; a block scans the
// stored vectors tile by tile, and every query of the block runs over a tile
// before the next tile is read, so a tile comes from memory once per block of
// queries and from cache for the rest of the block. Within a block, queries
// go in groups of kQueryLanes. For each group and each step of a tile, the
// sketch bound of every (query, stored vector) pair comes from one product
// kernel call (sketch/batch_bound.hpp), and each pair is left out for its
// own query when its bound proves it out. The pairs that remain get their
// exact distance: through the block kernels (one SIMD lane per query) for a
// stored vector most of the group still needs, through the one-query kernels
// for the others.
#include "flat/flat_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "metrics/kernels_block.hpp"
#include "parallel/stop_check.hpp"
#include "flat/query_order.hpp"
#include "sketch/batch_bound.hpp"

namespace tessra {
namespace {

static_assert(kQueryLanes == kBoundLanes, "a query group is one bound call");
static_assert(kQueryLanes <= 8, "a pair's lanes fit one byte");

// Queries per block: each tile is read from memory once per block.
constexpr std::size_t kQueryBlock = 4 * kQueryLanes;
// Bytes of stored vectors per tile: a tile and a block of queries stay in a
// core's second-level cache together.
constexpr std::size_t kTileBytes = 256 * 1024;
// Stored vectors per step: the thresholds a step uses are those of its start.
constexpr std::size_t kStep = kProductPanel;
// A stored vector at least this many queries of a group still need goes
// through the block kernel for all of them; one needed by fewer goes through
// the one-query kernel for each.
constexpr std::size_t kDenseLanes = 4;

std::size_t tile_vectors(std::size_t dim) {
    const std::size_t fit = kTileBytes / (std::max<std::size_t>(dim, 1) * sizeof(double));
    return std::max<std::size_t>(kStep, fit / kStep * kStep);
}

// The scan of up to kQueryLanes queries, kept across tiles: for each query the
// best `keep` pairs so far as a max-heap in candidate order, exactly as
// Flat::search keeps them, so each query ends with what Flat::search returns.
class LaneScan {
public:
    // rows[j] and sketches[j]: query j of the group and its sketch, j < lanes.
    LaneScan(const Flat& flat, const double* const* rows, const SketchQuery* sketches, std::size_t lanes,
             std::size_t keep)
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
          best_(lanes),
          sketches_(sketches, sketches + lanes),
          bound_(flat.sketches, sketches, lanes) {
        const std::size_t dim = flat.dim;
        singles_.reserve(lanes);
        for (std::size_t j = 0; j < lanes; ++j) {
            rows_[j] = rows[j];
            sum_sq_[j] = flat.metric == Metric::Cosine ? sum_of_squares(rows_[j], dim) : 0.0;
            for (std::size_t i = 0; i < dim; ++i) columns_[i * kQueryLanes + j] = rows_[j][i];
            best_[j].reserve(keep);
            singles_.emplace_back(flat.metric, rows_[j], dim, dim);
        }
    }

    // Admits the stored vectors [begin, end) for every query, in id order;
    // `tile` holds the decoded sketches of a range that contains them.
    void scan(const double* base, const SketchTile& tile, std::size_t begin, std::size_t end) {
        const std::size_t lanes = lanes_;
        const std::uint8_t all = static_cast<std::uint8_t>((1u << lanes) - 1u);
        // Built here, not kept: the scan may have moved since the last call.
        const QueryBlockView view{lanes_, dim_, rows_, columns_.data(), sum_sq_};
        double bounds[kQueryLanes], thresholds[kQueryLanes];
        std::uint8_t keep[kStep];
        alignas(64) double distances[kStep * kQueryLanes];
        for (std::size_t start = begin; start < end; start += kStep) {
            // A query holding `keep` pairs admits only a distance that ranks
            // strictly before the worst of them: that distance is its
            // threshold. A query not yet full admits anything (NaN).
            bool any_full = false, bounded = false;
            for (std::size_t j = 0; j < kQueryLanes; ++j) {
                const bool full = j < lanes && best_[j].size() == keep_;
                thresholds[j] = full ? best_[j].front().distance : std::numeric_limits<double>::quiet_NaN();
                bounds[j] = j >= lanes ? -std::numeric_limits<double>::infinity() : thresholds[j];
                any_full |= full;
                bounded |= full && !std::isnan(thresholds[j]);
            }
            const std::size_t stop = std::min(kStep, end - start);
            for (std::size_t i = 0; i < stop; ++i) keep[i] = removed_.contains(start + i) ? 0 : all;
            // A pair whose sketch proves it ranks before no query's
            // threshold is left out before any distance is taken.
            if (bounded) prove(tile, start, stop, thresholds, keep);
            compute(base, view, start, stop, keep, bounds, distances);
            for (std::size_t j = 0; j < lanes; ++j) {
                std::vector<Candidate>& best = best_[j];
                const std::uint8_t bit = static_cast<std::uint8_t>(1u << j);
                for (std::size_t i = 0; i < stop; ++i) {
                    if (!(keep[i] & bit)) continue;
                    Candidate c{distances[i * kQueryLanes + j], start + i};
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

    bool bound_active() const { return bound_.active(); }

private:
    // Clears the bit of every pair of [start, start + stop) the sketches prove out.
    void prove(const SketchTile& tile, std::size_t start, std::size_t stop, const double* thresholds,
               std::uint8_t* keep) const {
        if (bound_.active()) {
            bound_.prove(tile, start - tile.begin(), stop, thresholds, keep);
            return;
        }
        // Sketches without a product form (whole-vector codes): query by query.
        for (std::size_t j = 0; j < lanes_; ++j) {
            if (std::isnan(thresholds[j]) || !sketches_[j].active()) continue;
            const std::uint8_t bit = static_cast<std::uint8_t>(1u << j);
            std::uint64_t ids[kStep];
            std::size_t n = 0;
            for (std::size_t i = 0; i < stop; ++i)
                if (keep[i] & bit) ids[n++] = start + i, keep[i] = static_cast<std::uint8_t>(keep[i] & ~bit);
            n = sketches_[j].keep(ids, n, thresholds[j]);
            for (std::size_t i = 0; i < n; ++i) keep[ids[i] - start] |= bit;
        }
    }

    // distances[i * kQueryLanes + j] for every pair of keep[i] (others: anything).
    void compute(const double* base, const QueryBlockView& view, std::size_t start, std::size_t stop,
                 const std::uint8_t* keep, const double* bounds, double* distances) const {
        const double* dense[kStep];
        std::size_t dense_at[kStep], dense_count = 0;
        std::size_t scattered[kQueryLanes][kStep], scattered_count[kQueryLanes] = {};
        for (std::size_t i = 0; i < stop; ++i) {
            const unsigned lanes = keep[i];
            if (lanes == 0) continue;
            if (static_cast<std::size_t>(__builtin_popcount(lanes)) >= std::min(kDenseLanes, lanes_)) {
                dense_at[dense_count] = i;
                dense[dense_count++] = base + (start + i) * dim_;
                continue;
            }
            for (unsigned rest = lanes; rest != 0; rest &= rest - 1) {
                const std::size_t j = static_cast<std::size_t>(__builtin_ctz(rest));
                scattered[j][scattered_count[j]++] = i;
            }
        }
        if (dense_count != 0) {
            alignas(64) double out[kStep * kQueryLanes];
            // Euclidean scans may stop reading a vector once no query can admit it.
            if (euclidean_) kernels_.euclidean_bounded(view, dense, dense_count, bounds, out);
            else kernel_(view, dense, dense_count, out);
            for (std::size_t s = 0; s < dense_count; ++s)
                std::copy_n(out + s * kQueryLanes, kQueryLanes, distances + dense_at[s] * kQueryLanes);
        }
        for (std::size_t j = 0; j < lanes_; ++j) {
            const std::size_t* at = scattered[j];
            for (std::size_t first = 0; first < scattered_count[j]; first += kBatch) {
                const std::size_t n = std::min(kBatch, scattered_count[j] - first);
                const double* batch[kBatch];
                double out[kBatch];
                for (std::size_t s = 0; s < n; ++s) batch[s] = base + (start + at[first + s]) * dim_;
                // A NaN bound (a query not yet full) reads every vector to the end.
                singles_[j].batch_below(batch, n, bounds[j], out);
                for (std::size_t s = 0; s < n; ++s) distances[at[first + s] * kQueryLanes + j] = out[s];
            }
        }
    }

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
    std::vector<SketchQuery> sketches_;    // one per query of the group
    BatchBound bound_;                     // the group's sketches in product form
    std::vector<QueryDistances> singles_;  // one per query of the group
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
    // Every query's sketch first, then an order that groups near queries.
    std::vector<SketchQuery> sketches(rows);
    const std::size_t sketch_chunk = 64;
    parallel_for((rows + sketch_chunk - 1) / sketch_chunk, run, [&](std::size_t first, std::size_t end, std::size_t) {
        for (std::size_t q = first * sketch_chunk; q < std::min(rows, end * sketch_chunk); ++q)
            sketches[q] = SketchQuery(flat.sketches, flat.metric, queries + q * dim, dim, base, dim);
    });
    const std::vector<std::size_t> order = coherent_order(sketches, kQueryLanes);
    parallel_for(blocks, run, [&](std::size_t first_block, std::size_t end_block, std::size_t worker) {
        std::vector<LaneScan> scans;
        SketchTile tile_sketches;
        for (std::size_t b = first_block; b < end_block; ++b) {
            const std::size_t first = b * block;
            const std::size_t last = std::min(rows, first + block);
            scans.clear();
            for (std::size_t q = first; q < last; q += kQueryLanes) {
                const std::size_t lanes = std::min(kQueryLanes, last - q);
                const double* group_rows[kQueryLanes];
                SketchQuery group_sketches[kQueryLanes];
                for (std::size_t j = 0; j < lanes; ++j) {
                    group_rows[j] = queries + order[q + j] * dim;
                    group_sketches[j] = sketches[order[q + j]];
                }
                scans.emplace_back(flat, group_rows, group_sketches, lanes, keep);
            }
            bool any_bound = false;
            for (const LaneScan& scan : scans) any_bound |= scan.bound_active();
            for (std::size_t begin = 0; begin < count; begin += tile) {
                if (stop(worker)) return;
                const std::size_t end = std::min(count, begin + tile);
                if (any_bound) tile_sketches.load(flat.sketches, begin, end);
                for (LaneScan& scan : scans) scan.scan(base, tile_sketches, begin, end);
            }
            for (std::size_t q = first; q < last; ++q)
                out.set_row(order[q], scans[(q - first) / kQueryLanes].finish((q - first) % kQueryLanes));
        }
    });
    finished = !stop.stopped();
    return std::nullopt;
}

}  // namespace tessra
