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

// Candidates compared forward at a time (see below).
constexpr std::size_t kWindow = 64;

}  // namespace

// Every pair (r kept before c) is decided exactly once, in one of two ways,
// both batching up to kBatch distances into one kernel call:
// - forward: an unselected kept r (its vector as the query) against the
//   candidates after it in the current window of kWindow candidates that
//   were compared with every kept one before r; a candidate stops being
//   compared once rejected, and the kept ones reject most, so this settles
//   most pairs in calls with every lane busy. A window opens with such passes
//   of every unselected kept candidate so far, so the work beyond the cap is
//   at most one window's.
// - when c is reached, against every kept r it still was not compared with
//   (c's vector as the query): what a selected r left (see below), and
//   candidates an early rejection made lag behind.
// Pairs of two selected candidates pass by the precondition; selected kept
// ones run no forward pass, as their pairs with selected candidates are
// known and the few unselected ones are cheaper to compare when reached.
// Only a distance below distance(c, base) rejects c, so a comparison may
// stop once it reaches that: batch_below under that bound hides only
// distances at or above it (exact below it; a NaN bound hides nothing), and a
// forward pass bounds its lanes by the largest of their distances.
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
    // Kept candidate number j (unselected) against the live candidates of
    // [from, to) compared with every kept one before it.
    const auto forward = [&](std::size_t j, std::size_t from, std::size_t to) {
        const SelectionCandidate& r = candidates[kept[j]];
        const GraphDistances query(vectors.metric, vectors.at(r.id), dim, dim);
        for (std::size_t t = from; t < to;) {
            std::size_t n = 0;
            // One bound for every lane: the largest of their distances (NaN
            // when one is NaN, which turns early abandonment off).
            double bound = -std::numeric_limits<double>::infinity();
            for (; t < to && n < kBatch; ++t) {
                if (!alive[t]) continue;
                catch_up(t);
                if (compared[t] != j) continue;  // behind: compared when reached
                lanes[n] = t;
                stored[n++] = vectors.at(candidates[t].id);
                const double distance = candidates[t].distance;
                if (std::isnan(distance) || distance > bound) bound = distance;
            }
            if (n == 0) break;
            query.batch_below(stored, n, bound, distances);
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t lane = lanes[k];
                if (distance_before(distances[k], candidates[lane].distance)) alive[lane] = 0;
                else compared[lane] = static_cast<std::uint32_t>(j + 1);
            }
        }
    };

    std::size_t window_end = 0;
    for (std::size_t i = 0; i < count && kept.size() < cap; ++i) {
        if (i == window_end) {
            window_end = std::min(count, i + kWindow);
            for (std::size_t j = 0; j < kept.size(); ++j)
                if (!candidates[kept[j]].selected) forward(j, i, window_end);
        }
        if (!alive[i]) continue;
        const SelectionCandidate& c = candidates[i];
        bool passes = true;
        if (compared[i] < kept.size()) {
            const GraphDistances from(vectors.metric, vectors.at(c.id), dim, dim);
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
        }
        if (!passes) continue;
        out[kept.size()] = c.id;
        kept.push_back(static_cast<std::uint32_t>(i));
        if (!c.selected && kept.size() < cap) forward(kept.size() - 1, i + 1, window_end);
    }
    return kept.size();
}

}  // namespace tessra
