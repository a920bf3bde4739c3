// The batched exhaustive scan. Queries are ordered so that near queries are
// neighbours (query_order.hpp) and taken in blocks; a block scans the stored
// vectors tile by tile, and every query of the block runs over a tile before
// the next tile is read, so a tile comes from memory once per block of
// queries and from cache for the rest of the block. Within a block, queries
// go in groups of kQueryLanes. For each group and each step of a tile, the
// sketch bound of every (query, stored vector) pair comes from one product
// kernel call (sketch/batch_bound.hpp), and each pair is left out for its
// own query when its bound proves it out. The pairs that remain get their
// exact distance: through the block kernels (one SIMD lane per query) for a
// stored vector several queries of the group still need, through the
// one-query kernels for the others. Before that scan, a first pass over the
// sketches alone seeds each query's threshold (LaneScan::seed), so that the
// bound prunes from the first tile on.
#include "flat/flat_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "flat/query_order.hpp"
#include "metrics/kernels_block.hpp"
#include "parallel/stop_check.hpp"
#include "sketch/batch_bound.hpp"

namespace tessra {
namespace {

static_assert(kQueryLanes == kBoundLanes, "a query group is one bound call");
static_assert(kQueryLanes <= 8, "a stored vector's lanes are the bits of a byte");

// Queries per block: each tile is read from memory once per block.
constexpr std::size_t kQueryBlock = 16 * kQueryLanes;
// Bytes of stored vectors per tile: a tile and a block of queries stay in a
// core's second-level cache together.
constexpr std::size_t kTileBytes = 256 * 1024;
// Stored vectors per step: the thresholds a step uses are those of its start.
constexpr std::size_t kStep = kProductPanel;
// A stored vector at least this many queries of a group still need goes
// through the block kernel for all of them; one needed by fewer goes through
// the one-query kernel for each.
constexpr std::size_t kDenseLanes = 3;

// A query's seed comes from the kSeedFactor * k stored vectors its sketch
// puts nearest, when they are at most 1 / kSeedMinShare of those stored.
constexpr std::size_t kSeedFactor = 2;
constexpr std::size_t kSeedMinShare = 4;

std::size_t tile_vectors(std::size_t dim) {
    const std::size_t fit = kTileBytes / (std::max<std::size_t>(dim, 1) * sizeof(double));
    return std::max<std::size_t>(kStep, fit / kStep * kStep);
}

// Bit i of a step's mask: stored vector start + i of a step starting at `start`.
using StepMask = std::uint64_t;
static_assert(kStep == 64, "a step's vectors are the bits of one word");

constexpr StepMask first_bits(std::size_t n) { return n >= 64 ? ~StepMask{0} : (StepMask{1} << n) - 1; }

std::size_t bit_count(unsigned x) {
    std::size_t n = 0;
    for (; x != 0; x &= x - 1) ++n;
    return n;
}

// The scan of up to kQueryLanes queries, kept across tiles: for each query the
// best `keep` pairs so far as a max-heap in candidate order, exactly as
// Flat::search keeps them, so each query ends with what Flat::search returns.
class LaneScan {
public:
    // rows[j] and sketches[j]: query j of the group and its sketch, j < lanes;
    // the sketches outlive the scan, which alone uses them meanwhile.
    LaneScan(const Flat& flat, const double* const* rows, SketchQuery* const* sketches, std::size_t lanes,
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
          bound_(flat.sketches, sketches, lanes) {
        const std::size_t dim = flat.dim;
        singles_.reserve(lanes);
        for (std::size_t j = 0; j < lanes; ++j) {
            rows_[j] = rows[j];
            sketches_[j] = sketches[j];
            sum_sq_[j] = flat.metric == Metric::Cosine ? sum_of_squares(rows_[j], dim) : 0.0;
            for (std::size_t i = 0; i < dim; ++i) columns_[i * kQueryLanes + j] = rows_[j][i];
            best_[j].reserve(keep);
            singles_.emplace_back(flat.metric, rows_[j], dim, dim);
        }
        std::fill_n(seed_, kQueryLanes, std::numeric_limits<double>::quiet_NaN());
        std::fill_n(bars_, kQueryLanes, std::numeric_limits<double>::infinity());
        // Seeds pay where a query keeps few of the stored vectors.
        if (bound_.active() && kSeedFactor * keep * kSeedMinShare <= count_) {
            pool_size_ = kSeedFactor * keep;
            pools_.resize(lanes);
            for (auto& pool : pools_) pool.reserve(2 * pool_size_ + kStep);
        }
    }

    bool bound_active() const { return bound_.active(); }

    // The first pass over the tiles, before any scan(): gathers for every
    // query the pool_size_ stored vectors whose sketches look nearest. A pool
    // takes whatever beats its bar and is cut back to the pool_size_ best
    // once it holds twice as many (the bar then rises to the worst kept).
    void gather(const SketchTile& tile, std::size_t begin, std::size_t end) {
        if (pool_size_ == 0) return;
        alignas(64) double estimates[kBoundLanes * kProductPanel];
        for (std::size_t start = begin; start < end; start += kStep) {
            const std::size_t stop = std::min(kStep, end - start);
            bound_.estimate(tile, start - tile.begin(), stop, estimates);
            const StepMask live = live_mask(start, stop);
            for (std::size_t j = 0; j < lanes_; ++j) {
                std::vector<Candidate>& pool = pools_[j];
                const double* row = estimates + j * kProductPanel;
                const double bar = bars_[j];
                StepMask better = 0;  // NaN never beats the bar
                for (std::size_t i = 0; i < stop; ++i) better |= static_cast<StepMask>(row[i] <= bar) << i;
                for (better &= live; better != 0; better &= better - 1) {
                    const std::size_t i = static_cast<std::size_t>(__builtin_ctzll(better));
                    pool.push_back(Candidate{row[i], start + i});
                }
                if (pool.size() >= 2 * pool_size_) cut(j);
            }
        }
    }

    // After gather(): each query's seed from the exact distances of what it
    // gathered. With `keep` live vectors at or below a value T, the k-th
    // best distance is at most T, so a vector farther than T is in no
    // answer: the scan may drop anything that does not rank before the
    // seed, the value just above T, whether its heap is full or not.
    void seed(const double* base) {
        for (std::size_t j = 0; j < pools_.size(); ++j) {
            cut(j);
            std::vector<Candidate>& pool = pools_[j];
            std::vector<double> exact;
            exact.reserve(pool.size());
            for (std::size_t first = 0; first < pool.size(); first += kBatch) {
                const std::size_t n = std::min(kBatch, pool.size() - first);
                const double* batch[kBatch];
                double out[kBatch];
                for (std::size_t s = 0; s < n; ++s) batch[s] = base + pool[first + s].id * dim_;
                singles_[j].batch(batch, n, out);
                for (std::size_t s = 0; s < n; ++s)
                    if (!std::isnan(out[s])) exact.push_back(out[s]);
            }
            pool = std::vector<Candidate>();
            if (exact.size() < keep_) continue;
            std::nth_element(exact.begin(), exact.begin() + (keep_ - 1), exact.end());
            const double at_most = exact[keep_ - 1];
            if (std::isfinite(at_most)) seed_[j] = std::nextafter(at_most, std::numeric_limits<double>::infinity());
        }
    }

    // Admits the stored vectors [begin, end) for every query, in id order;
    // `tile` holds the decoded sketches of a range that contains them.
    void scan(const double* base, const SketchTile& tile, std::size_t begin, std::size_t end) {
        // Built here, not kept: the scan may have moved since the last call.
        const QueryBlockView view{lanes_, dim_, rows_, columns_.data(), sum_sq_};
        double bounds[kQueryLanes], thresholds[kQueryLanes];
        StepMask keep[kQueryLanes];
        alignas(64) double distances[kStep * kQueryLanes];
        for (std::size_t start = begin; start < end; start += kStep) {
            // A query holding `keep` pairs admits only a distance that ranks
            // strictly before the worst of them: that distance is its
            // threshold; a seeded query admits only what ranks before its
            // seed too. A query with neither admits anything (NaN).
            bool bounded = false;
            for (std::size_t j = 0; j < kQueryLanes; ++j) {
                double t = std::numeric_limits<double>::quiet_NaN();
                if (j < lanes_ && best_[j].size() == keep_) t = best_[j].front().distance;
                if (j < lanes_ && !distance_before(t, seed_[j])) t = seed_[j];
                thresholds[j] = t;
                bounds[j] = j >= lanes_ ? -std::numeric_limits<double>::infinity() : t;
                bounded |= !std::isnan(t);
            }
            const std::size_t stop = std::min(kStep, end - start);
            const StepMask live = live_mask(start, stop);
            for (std::size_t j = 0; j < kQueryLanes; ++j) keep[j] = j < lanes_ ? live : 0;
            // A pair whose sketch proves it ranks before no query's
            // threshold is left out before any distance is taken.
            if (bounded) prove(tile, start, stop, thresholds, keep);
            compute(base, view, start, keep, bounds, distances);
            for (std::size_t j = 0; j < lanes_; ++j) {
                std::vector<Candidate>& best = best_[j];
                for (StepMask rest = keep[j]; rest != 0; rest &= rest - 1) {
                    const std::size_t i = static_cast<std::size_t>(__builtin_ctzll(rest));
                    Candidate c{distances[i * kQueryLanes + j], start + i};
                    if (!std::isnan(seed_[j]) && !distance_before(c.distance, seed_[j])) continue;
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

    // Cuts query j's pool back to its pool_size_ best estimates.
    void cut(std::size_t j) {
        std::vector<Candidate>& pool = pools_[j];
        if (pool.size() <= pool_size_) return;
        const auto by_estimate = [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; };
        std::nth_element(pool.begin(), pool.begin() + (pool_size_ - 1), pool.end(), by_estimate);
        bars_[j] = pool[pool_size_ - 1].distance;
        pool.resize(pool_size_);
    }

    // Query j's kept pairs in candidate order; ends its scan.
    const std::vector<Candidate>& finish(std::size_t j) {
        std::sort_heap(best_[j].begin(), best_[j].end(), candidate_before);
        return best_[j];
    }

private:
    // The vectors of a step starting at `start` (a multiple of kStep) that are not removed.
    StepMask live_mask(std::size_t start, std::size_t stop) const {
        return first_bits(stop) & ~removed_.word(start / kStep);
    }

    // Clears the bit of every pair of the step the sketches prove out.
    void prove(const SketchTile& tile, std::size_t start, std::size_t stop, const double* thresholds,
               StepMask* keep) const {
        if (bound_.active()) {
            bound_.prove(tile, start - tile.begin(), stop, thresholds, keep);
            return;
        }
        // Sketches without a product form (whole-vector codes): query by query.
        for (std::size_t j = 0; j < lanes_; ++j) {
            if (std::isnan(thresholds[j]) || !sketches_[j]->active()) continue;
            std::uint64_t ids[kStep];
            std::size_t n = 0;
            for (StepMask rest = keep[j]; rest != 0; rest &= rest - 1)
                ids[n++] = start + static_cast<std::size_t>(__builtin_ctzll(rest));
            n = sketches_[j]->keep(ids, n, thresholds[j]);
            keep[j] = 0;
            for (std::size_t i = 0; i < n; ++i) keep[j] |= StepMask{1} << (ids[i] - start);
        }
    }

    // distances[i * kQueryLanes + j] for every pair whose bit i of keep[j]
    // is set (others: anything).
    void compute(const double* base, const QueryBlockView& view, std::size_t start, const StepMask* keep,
                 const double* bounds, double* distances) const {
        StepMask any = 0;
        for (std::size_t j = 0; j < lanes_; ++j) any |= keep[j];
        const double* dense[kStep];
        std::size_t dense_at[kStep], dense_count = 0;
        std::size_t scattered[kQueryLanes][kStep], scattered_count[kQueryLanes] = {};
        const std::size_t enough = std::min(kDenseLanes, lanes_);
        for (; any != 0; any &= any - 1) {
            const std::size_t i = static_cast<std::size_t>(__builtin_ctzll(any));
            unsigned lanes = 0;
            for (std::size_t j = 0; j < lanes_; ++j) lanes |= static_cast<unsigned>(keep[j] >> i & 1u) << j;
            if (bit_count(lanes) >= enough) {
                dense_at[dense_count] = i;
                dense[dense_count++] = base + (start + i) * dim_;
                continue;
            }
            for (; lanes != 0; lanes &= lanes - 1) {
                const std::size_t j = static_cast<std::size_t>(__builtin_ctz(lanes));
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
                // A NaN bound (a query with no threshold yet) reads every vector to the end.
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
    SketchQuery* sketches_[kQueryLanes] = {};  // one per query of the group
    BatchBound bound_;                     // the group's sketches in product form
    std::vector<QueryDistances> singles_;  // one per query of the group
    // Vectors gathered per query for its seed (by estimate, up to twice
    // pool_size_ between cuts), and the seed: a scan admits only distances
    // that rank before it (NaN: no seed).
    std::size_t pool_size_ = 0;
    std::vector<std::vector<Candidate>> pools_;
    double bars_[kQueryLanes];  // a pool takes estimates at or below its bar
    double seed_[kQueryLanes];
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
                SketchQuery* group_sketches[kQueryLanes];
                for (std::size_t j = 0; j < lanes; ++j) {
                    group_rows[j] = queries + order[q + j] * dim;
                    group_sketches[j] = &sketches[order[q + j]];
                }
                scans.emplace_back(flat, group_rows, group_sketches, lanes, keep);
            }
            bool any_bound = false;
            for (const LaneScan& scan : scans) any_bound |= scan.bound_active();
            if (any_bound) {
                for (std::size_t begin = 0; begin < count; begin += tile) {
                    if (stop(worker)) return;
                    const std::size_t end = std::min(count, begin + tile);
                    tile_sketches.load(flat.sketches, begin, end);
                    for (LaneScan& scan : scans) scan.gather(tile_sketches, begin, end);
                }
                for (LaneScan& scan : scans) scan.seed(base);
            }
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
