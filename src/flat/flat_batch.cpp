// The batched exhaustive scan. Queries are ordered so that near queries are
// neighbours (query_order.hpp) and taken in blocks; a block scans the stored
// vectors tile by tile, and every query of the block runs over a tile before
// the next tile is read, so a tile comes from memory once per block of
// queries and from cache for the rest of the block. Within a block, queries
// go in groups of kQueryLanes, each a LaneScan (lane_scan.hpp): a first pass
// over the tiles' sketches seeds every query, then the scan proper.
#include "flat/flat_batch.hpp"

#include <algorithm>
#include <vector>

#include "flat/lane_scan.hpp"
#include "flat/query_order.hpp"
#include "parallel/stop_check.hpp"
#include "sketch/batch_bound.hpp"

namespace tessra {
namespace {

// Queries per block: each tile is read from memory once per block.
constexpr std::size_t kQueryBlock = 16 * kQueryLanes;
// On several threads, blocks are made small enough that each thread gets at
// least this many.
constexpr std::size_t kBlocksPerThread = 4;
// Bytes of stored vectors per tile: a tile and a block of queries stay in a
// core's second-level cache together.
constexpr std::size_t kTileBytes = 256 * 1024;
// Queries per chunk of the parallel loop that takes their order keys.
constexpr std::size_t kKeyChunk = 64;

std::size_t tile_vectors(std::size_t dim) {
    const std::size_t fit = kTileBytes / (std::max<std::size_t>(dim, 1) * sizeof(double));
    return std::max<std::size_t>(kScanStep, fit / kScanStep * kScanStep);
}

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
    // Smaller blocks when there are few queries, so that every thread gets
    // several (threads take the next block as they finish one).
    const std::size_t threads = std::max<std::size_t>(options.threads, 1);
    const std::size_t shares = threads > 1 ? threads * kBlocksPerThread : 1;
    const std::size_t block = std::clamp<std::size_t>((rows + shares - 1) / shares, 1, kQueryBlock);
    const std::size_t blocks = (rows + block - 1) / block;

    StopCheck stop(options);
    ParallelFor run;
    run.threads = threads;
    run.chunk = 1;
    // An order that groups near queries, from their leading sketch coordinates.
    const SketchBasis& basis = flat.sketches.basis();
    const bool keyed = basis.rank != 0 && basis.dim == dim;
    std::vector<double> keys(keyed ? rows * kOrderAxes : 0);
    std::vector<char> has_key(rows, 0);
    if (keyed)
        parallel_for((rows + kKeyChunk - 1) / kKeyChunk, run, [&](std::size_t first, std::size_t end, std::size_t) {
            for (std::size_t q = first * kKeyChunk; q < std::min(rows, end * kKeyChunk); ++q)
                has_key[q] = order_key(basis, queries + q * dim, keys.data() + q * kOrderAxes);
        });
    const std::vector<std::size_t> order = coherent_order(keys, has_key, keyed ? basis.rank : 0, kQueryLanes);
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
                for (std::size_t j = 0; j < lanes; ++j) group_rows[j] = queries + order[q + j] * dim;
                scans.emplace_back(flat, group_rows, lanes, keep);
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
