// The two walks every search and insertion is made of: the greedy descent
// through the upper layers and the beam search of one layer.
#include <algorithm>

#include "metrics/kernels.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned/pruned_hnsw.hpp"
#include "pruned/walk_scratch.hpp"

namespace tessra {

Candidate PrunedHNSW::descend(const GraphDistances& query, Candidate from, std::uint64_t top,
                              std::uint64_t bottom) const {
    Candidate current = from;
    std::uint32_t ids[kBatch];
    const double* stored[kBatch];
    double distances[kBatch];
    for (std::uint64_t layer = top;; --layer) {
        for (bool moved = true; moved;) {
            moved = false;
            const ListSpan list = lists_.get(current.id, layer);
            Candidate best = current;
            for (std::size_t next = 0; next < list.size();) {
                std::size_t count = 0;
                for (; next < list.size() && count < kBatch; ++next) {
                    ids[count] = list[next];
                    stored[count] = vector(ids[count]);
                    __builtin_prefetch(stored[count]);
                    ++count;
                }
                // Only a distance below the best so far moves the walk, so
                // euclidean distances may stop once they reach it.
                query.batch_below(stored, count, best.distance, distances);
                for (std::size_t i = 0; i < count; ++i) {
                    if (distances[i] < best.distance) {
                        best = Candidate{distances[i], ids[i]};
                        moved = true;
                    }
                }
            }
            current = best;
        }
        if (layer == bottom) break;
    }
    return current;
}

void PrunedHNSW::search_layer(const GraphDistances& query, Candidate start, std::uint64_t ef, std::uint64_t layer,
                              const ReturnGate& gate, std::vector<Candidate>& out) const {
    WalkLease lease;
    WalkScratch& scratch = *lease;
    scratch.start(size());
    scratch.stamps[start.id] = scratch.epoch;
    scratch.queue.push_back(start);
    if (gate.returnable(start.id)) scratch.results.push_back(start);
    // Stamped out per layer kind and gate, so the common case (layer 0, no
    // filter) reads fixed slots and tests visits only.
    if (layer == 0) {
        if (gate.active()) expand<true, true>(query, ef, layer, gate, scratch);
        else expand<true, false>(query, ef, layer, gate, scratch);
    } else {
        if (gate.active()) expand<false, true>(query, ef, layer, gate, scratch);
        else expand<false, false>(query, ef, layer, gate, scratch);
    }
    out.assign(scratch.results.begin(), scratch.results.end());
    std::sort(out.begin(), out.end(), candidate_before);
}

// Waypoints are taken nearest first, each while it may still lead nearer:
// the beam is not full, or the waypoint is not further than the beam's
// furthest. Their unvisited neighbours are gathered in order; the walk takes
// further waypoints until a kernel batch is full (one expansion yields about
// five new neighbours, and a batch of sixteen costs about what one of five
// does, the sums being sequential), then measures them and admits them in
// order. A waypoint that may not lead nearer goes back and ends the walk if
// nothing nearer was admitted meanwhile.
template <bool Layer0, bool Gated>
void PrunedHNSW::expand(const GraphDistances& query, std::uint64_t ef, std::uint64_t layer, const ReturnGate& gate,
                        WalkScratch& scratch) const {
    std::vector<Candidate>& queue = scratch.queue;
    std::vector<Candidate>& results = scratch.results;
    std::uint32_t* stamps = scratch.stamps.data();
    const std::uint32_t epoch = scratch.epoch;
    const auto slot_of = [&](std::uint64_t id) {
        if constexpr (Layer0) return lists_.layer0_slot(id);
        else return lists_.slot(id, layer);
    };
    // Room for the neighbours of the waypoints of one round: at most a batch's
    // worth before the last waypoint, plus that waypoint's list.
    const std::size_t room = kBatch + lists_.capacity(layer);
    const std::size_t slot_bytes = (1 + lists_.capacity(layer)) * sizeof(std::uint32_t);
    const auto prefetch_slot = [slot_bytes](const std::uint32_t* slot) {
        const char* at = reinterpret_cast<const char*>(slot);
        for (std::size_t line = 0; line < slot_bytes; line += 64) __builtin_prefetch(at + line);
    };
    std::uint32_t* pending = scratch.pending(room);
    const double* batch_vectors[kBatch];
    double batch_distances[kBatch];

    while (!queue.empty()) {
        std::size_t gathered = 0;
        bool took = false;
        while (gathered < kBatch && !queue.empty()) {
            const Candidate nearest = queue.front();
            if (results.size() >= ef && distance_before(results.front().distance, nearest.distance)) break;
            std::pop_heap(queue.begin(), queue.end(), NearestFirst{});
            queue.pop_back();
            took = true;
            const std::uint32_t* slot = slot_of(nearest.id);
            const std::size_t length = slot[0] & 0xFFFFu;
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint32_t id = slot[1 + i];
                if (stamps[id] == epoch) continue;
                stamps[id] = epoch;
                __builtin_prefetch(vector(id));
                pending[gathered++] = id;
            }
        }
        if (!took) break;
        for (std::size_t begin = 0; begin < gathered; begin += kBatch) {
            const std::size_t count = std::min(kBatch, gathered - begin);
            const std::uint32_t* batch_ids = pending + begin;
            for (std::size_t i = 0; i < count; ++i) batch_vectors[i] = vector(batch_ids[i]);
            // Bound: once the beam is full, a node can join only when strictly
            // nearer than its furthest, so a bound proving a node's distance at
            // least that far may drop it from the batch here, before its
            // distance is taken. Euclidean distances stop once they reach it.
            if (results.size() >= ef) query.batch_below(batch_vectors, count, results.front().distance, batch_distances);
            else query.batch(batch_vectors, count, batch_distances);
            // Admit in gathering order: each decision sees the beam as the earlier neighbours left it.
            for (std::size_t i = 0; i < count; ++i) {
                const Candidate found{batch_distances[i], batch_ids[i]};
                // Plain comparison on purpose: nothing beats a NaN at the end of a full beam.
                if (!(results.size() < ef || found.distance < results.front().distance)) continue;
                // A waypoint now: its list is read when it is expanded.
                prefetch_slot(slot_of(found.id));
                queue.push_back(found);
                std::push_heap(queue.begin(), queue.end(), NearestFirst{});
                if constexpr (Gated) {
                    if (!gate.returnable(found.id)) continue;
                }
                results.push_back(found);
                std::push_heap(results.begin(), results.end(), FurthestFirst{});
                if (results.size() > ef) {
                    std::pop_heap(results.begin(), results.end(), FurthestFirst{});
                    results.pop_back();
                }
            }
        }
    }
}

}  // namespace tessra
