#include "hnsw/hnsw_batch.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "parallel/stop_check.hpp"

namespace tessra {
namespace {

// Queries handed to a worker at a time: enough to keep the hand-out cheap,
// few enough to share a small batch among the threads.
constexpr std::size_t kQueryChunk = 8;

}  // namespace

std::size_t hnsw_batch_width(const HNSW& hnsw, std::uint64_t k, std::uint64_t ef) {
    const std::uint64_t keep = std::max<std::uint64_t>(k, 1);
    return static_cast<std::size_t>(std::min<std::uint64_t>({keep, ef, hnsw.live()}));
}

std::size_t hnsw_batch_width(const PrunedHNSW& pruned, std::uint64_t k, std::uint64_t ef) {
    const std::uint64_t keep = std::max<std::uint64_t>(k, 1);
    return static_cast<std::size_t>(std::min<std::uint64_t>({keep, std::max(ef, k), pruned.live()}));
}

template <typename Graph>
std::optional<HNSWError> hnsw_search_batch(const Graph& hnsw, const VectorList& queries, std::uint64_t k,
                                           const Filter* filter, std::uint64_t ef, const ParallelFor& options,
                                           BatchResults& out, bool& finished) {
    finished = true;
    const std::size_t rows = queries.size();
    out.reset(rows, hnsw_batch_width(hnsw, k, ef));
    if (rows == 0) return std::nullopt;

    // The lowest query whose search failed (rows when none did). Every search
    // makes the same checks, so a failure usually shows on the first query;
    // queries after a failed one are not searched.
    std::atomic<std::size_t> failed_at{rows};
    StopCheck stop(options);
    ParallelFor run;
    run.threads = std::max<std::size_t>(options.threads, 1);
    run.chunk = kQueryChunk;
    parallel_for(rows, run, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        std::vector<Candidate> found;
        for (std::size_t q = begin; q < end; ++q) {
            if (stop(worker) || q > failed_at.load(std::memory_order_relaxed)) return;
            if (hnsw.search(queries.data(q), queries.length(q), k, filter, found, ef)) {
                std::size_t seen = failed_at.load(std::memory_order_relaxed);
                while (q < seen && !failed_at.compare_exchange_weak(seen, q, std::memory_order_relaxed)) {
                }
                return;
            }
            out.set_row(q, found);
        }
    });
    finished = !stop.stopped();
    if (!finished) return std::nullopt;
    const std::size_t first = failed_at.load(std::memory_order_relaxed);
    if (first == rows) return std::nullopt;
    // The lowest failing query once more, on this thread, for its error.
    std::vector<Candidate> found;
    return hnsw.search(queries.data(first), queries.length(first), k, filter, found, ef);
}

template std::optional<HNSWError> hnsw_search_batch<HNSW>(const HNSW&, const VectorList&, std::uint64_t, const Filter*,
                                                         std::uint64_t, const ParallelFor&, BatchResults&, bool&);
template std::optional<HNSWError> hnsw_search_batch<PrunedHNSW>(const PrunedHNSW&, const VectorList&, std::uint64_t,
                                                               const Filter*, std::uint64_t, const ParallelFor&,
                                                               BatchResults&, bool&);

}  // namespace tessra
