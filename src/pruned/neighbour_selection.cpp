#include "pruned/neighbour_selection.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "metrics/kernels.hpp"
#include "pruned/graph_distance.hpp"

namespace tessra {

namespace {

// Per-thread working memory, reused across calls.
struct SelectionScratch {
    std::vector<std::uint8_t> alive;
    // How many kept candidates (in keeping order) this one was compared with,
    // or is known to pass against.
    std::vector<std::uint32_t> compared;
    std::vector<std::uint32_t> kept;  // candidate indices, in keeping order
};

}  // namespace

// Every pair (r kept before c) is decided exactly once, in one of two ways,
// both batching up to kBatch distances into one kernel call:
// - when c is reached, against every kept r it was not yet compared with
//   (c's vector as the query);
// - right after an unselected r is kept, against the next candidates that
//   were compared with every earlier kept one (r's vector as the query), so
//   one call settles many candidates at once when the kept ones reject most.
// Pairs of two selected candidates pass by the precondition. Only a distance
// below distance(c, base) rejects c, so the comparison may stop once it
// reaches that: batch_below under that bound hides only distances at or
// above it (exact below it; a NaN bound hides nothing).
std::size_t select_neighbours(const StoredVectors& vectors, const SelectionCandidate* candidates, std::size_t count,
                              std::size_t cap, std::uint32_t* out) {
    if (cap == 0 || count == 0) return 0;
    thread_local SelectionScratch scratch;
    std::vector<std::uint8_t>& alive = scratch.alive;
    std::vector<std::uint32_t>& compared = scratch.compared;
    std::vector<std::uint32_t>& kept = scratch.kept;
    alive.assign(count, 1);
    compared.assign(count, 0);
    kept.clear();
    const double* stored[kBatch];
    double distances[kBatch];
    std::size_t lanes[kBatch];
    const std::size_t dim = vectors.dim;

    // Skips the kept candidates that c is known to pass against.
    const auto catch_up = [&](std::size_t c) {
        if (!candidates[c].selected) return;
        while (compared[c] < kept.size() && candidates[kept[compared[c]]].selected) ++compared[c];
    };

    for (std::size_t i = 0; i < count && kept.size() < cap; ++i) {
        if (!alive[i]) continue;
        const SelectionCandidate& c = candidates[i];
        const GraphDistances from(vectors.metric, vectors.at(c.id), dim, dim);
        bool passes = true;
        for (std::size_t j = compared[i]; passes && j < kept.size();) {
            std::size_t n = 0;
            for (; j < kept.size() && n < kBatch; ++j) {
                const SelectionCandidate& r = candidates[kept[j]];
                if (c.selected && r.selected) continue;
                stored[n++] = vectors.at(r.id);
            }
            if (n == 0) break;
            from.batch_below(stored, n, c.distance, distances);
            for (std::size_t k = 0; k < n; ++k)
                if (distance_before(distances[k], c.distance)) passes = false;
        }
        if (!passes) continue;
        out[kept.size()] = c.id;
        kept.push_back(static_cast<std::uint32_t>(i));
        if (c.selected || kept.size() == cap) continue;

        // Settle the pairs of c with the next candidates at once.
        std::size_t n = 0;
        // One bound for every lane: the largest of their distances (NaN
        // when one is NaN, which turns early abandonment off).
        double bound = -std::numeric_limits<double>::infinity();
        for (std::size_t t = i + 1; t < count && n < kBatch; ++t) {
            if (!alive[t]) continue;
            catch_up(t);
            if (compared[t] != kept.size() - 1) continue;  // behind: compared when reached
            lanes[n] = t;
            stored[n++] = vectors.at(candidates[t].id);
            const double distance = candidates[t].distance;
            if (std::isnan(distance) || distance > bound) bound = distance;
        }
        if (n == 0) continue;
        from.batch_below(stored, n, bound, distances);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t t = lanes[k];
            if (distance_before(distances[k], candidates[t].distance)) alive[t] = 0;
            else compared[t] = static_cast<std::uint32_t>(kept.size());
        }
    }
    return kept.size();
}

}  // namespace tessra
