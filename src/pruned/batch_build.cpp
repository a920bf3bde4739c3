#include "pruned/batch_build.hpp"

#include <algorithm>
#include <string>

#include <time.h>

#include "common/fault.hpp"
#include "metrics/kernels.hpp"
#include "parallel/workers.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned/neighbour_selection.hpp"

namespace tessra {

namespace {

// Processor time of the calling thread: the statistics say where the work
// went even when the machine is shared.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Groups of the merge handed to a worker at a time.
constexpr std::size_t kGroupChunk = 16;

}  // namespace

BatchBuild::BatchBuild(PrunedHNSW& index, std::uint64_t first, std::uint64_t end, const AddOptions& options,
                       const PlanProbe& probe, AddResult& stats)
    : index_(index),
      first_(first),
      end_(end),
      options_(options),
      probe_(probe),
      stats_(stats),
      linked_(first),
      last_poll_(std::chrono::steady_clock::now()),
      worker_seconds_(std::max<std::size_t>(options.threads, 1), 0.0) {}

std::uint64_t BatchBuild::batch_end(std::uint64_t begin) const {
    const BuildTuning& tuning = index_.tuning_;
    std::uint64_t size = tuning.divisor == 0 ? 1 : begin / tuning.divisor;
    size = std::clamp<std::uint64_t>(size, 1, std::max<std::size_t>(tuning.cap, 1));
    // A node that rises above the top level becomes the entry point: it
    // takes a batch of its own, so within a batch the entry point is fixed.
    const std::uint64_t top = index_.top_level_;
    if (index_.level(begin) > top) return begin + 1;
    const std::uint64_t limit = std::min(end_, begin + size);
    for (std::uint64_t id = begin + 1; id < limit; ++id)
        if (index_.level(id) > top) return id;
    return limit;
}

bool BatchBuild::poll_stops() {
    if (!options_.poll) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < options_.poll_interval) return false;
    last_poll_ = now;
    if (!options_.poll(static_cast<std::size_t>(linked_ - first_), static_cast<std::size_t>(end_ - first_)))
        return false;
    stats_.stopped = true;
    return true;
}

void BatchBuild::run() {
    if (linked_ == 0 && end_ > 0) {
        // The first node of an empty index is the entry point; there is nothing to link it to.
        index_.entry_ = 0;
        index_.top_level_ = index_.level(0);
        linked_ = 1;
    }
    while (linked_ < end_) {
        if (poll_stops()) return;
        const std::uint64_t begin = linked_;
        const std::uint64_t end = batch_end(begin);
        if (!plan(begin, end)) return;
        merge(begin, end);
        // Only a batch of its own can hold a node above the top level.
        if (index_.level(begin) > index_.top_level_) {
            index_.entry_ = static_cast<std::uint32_t>(begin);
            index_.top_level_ = index_.level(begin);
        }
        linked_ = end;
        ++stats_.batches;
    }
}

bool BatchBuild::plan(std::uint64_t begin, std::uint64_t end) {
    std::fill(worker_seconds_.begin(), worker_seconds_.end(), 0.0);
    ParallelFor run;
    run.threads = worker_seconds_.size();
    run.chunk = 1;
    // poll_stops keeps its own interval.
    run.poll = [this] { return poll_stops(); };
    run.poll_interval = std::chrono::milliseconds(0);
    const bool finished = parallel_for(end - begin, run, [&](std::size_t from, std::size_t to, std::size_t worker) {
        const double start = thread_seconds();
        for (std::size_t i = from; i < to; ++i) {
            if (probe_) probe_(begin + i);
            plan_node(begin + i, begin);
        }
        worker_seconds_[worker] += thread_seconds() - start;
    });
    for (const double seconds : worker_seconds_) stats_.search_seconds += seconds;
    return finished;
}

void BatchBuild::plan_node(std::uint64_t id, std::uint64_t batch_begin) {
    const PrunedHNSW& index = index_;
    const std::uint64_t level = index.level(id);
    const std::uint64_t top = index.top_level_;
    const GraphDistances query(index.metric_, index.vector(id), index.dim_, index.dim_);
    Candidate current{query.one(index.vector(index.entry_)), index.entry_};
    if (top > level) current = index.descend(query, current, top, level + 1);

    thread_local std::vector<Candidate> found;
    thread_local std::vector<Candidate> merged;
    thread_local std::vector<SelectionCandidate> candidates;
    thread_local std::vector<std::uint32_t> chosen;
    const StoredVectors stored{index.vectors_.data(), index.dim_, index.metric_};
    const std::size_t beam = static_cast<std::size_t>(index.ef_construction_);
    for (std::uint64_t layer = std::min(level, top);; --layer) {
        index.search_layer(query, current, index.ef_construction_, layer, PrunedHNSW::ReturnGate(), found);
        // The nodes of this batch before this one are not in the graph yet;
        // one insertion after another would have found the near ones, so
        // they join the candidates by exact distance. Without them a batch
        // of near nodes (sorted input) would all pick the same old node,
        // which keeps only one of them.
        merged.assign(found.begin(), found.end());
        const double* batch_vectors[kBatch];
        std::uint32_t batch_ids[kBatch];
        double distances[kBatch];
        for (std::uint64_t other = batch_begin; other < id;) {
            std::size_t count = 0;
            for (; other < id && count < kBatch; ++other) {
                if (index.level(other) < layer) continue;
                batch_ids[count] = static_cast<std::uint32_t>(other);
                batch_vectors[count++] = index.vector(other);
            }
            query.batch(batch_vectors, count, distances);
            for (std::size_t i = 0; i < count; ++i) merged.push_back(Candidate{distances[i], batch_ids[i]});
        }
        // The beam's worth of the nearest, as a search of the graph with them in it would keep.
        const std::size_t keep = std::min(merged.size(), beam);
        std::partial_sort(merged.begin(), merged.begin() + keep, merged.end(), candidate_before);
        candidates.resize(keep);
        for (std::size_t i = 0; i < keep; ++i)
            candidates[i] = SelectionCandidate{merged[i].distance, static_cast<std::uint32_t>(merged[i].id), false};
        const std::size_t cap =
            layer == 0 && index.tuning_.fill_layer0 ? index_.lists_.capacity(0) : static_cast<std::size_t>(index.m_);
        chosen.resize(cap);
        const std::size_t kept = select_neighbours(stored, candidates.data(), keep, cap, chosen.data());
        // The node's own lists: no other thread reads them before the batch is linked.
        index_.lists_.set(id, layer, chosen.data(), kept, kept);
        // The next layer's search runs on the graph, so it starts from a node in it.
        current = found.front();
        if (layer == 0) break;
    }
}

void BatchBuild::merge(std::uint64_t begin, std::uint64_t end) {
    const double start = thread_seconds();
    const PrunedHNSW& index = index_;
    links_.clear();
    const std::uint64_t top = index.top_level_;
    for (std::uint64_t id = begin; id < end; ++id) {
        for (std::uint64_t layer = 0; layer <= std::min(index.level(id), top); ++layer)
            for (const std::uint32_t target : index.lists_.get(id, layer))
                links_.push_back(Link{static_cast<std::uint32_t>(layer), target, static_cast<std::uint32_t>(id)});
    }
    std::sort(links_.begin(), links_.end(), [](const Link& a, const Link& b) {
        if (a.layer != b.layer) return a.layer < b.layer;
        if (a.target != b.target) return a.target < b.target;
        return a.source < b.source;
    });
    group_begin_.clear();
    staged_at_.clear();
    std::size_t staged = 0;
    for (std::size_t i = 0; i < links_.size(); ++i) {
        if (i > 0 && links_[i].layer == links_[i - 1].layer && links_[i].target == links_[i - 1].target) continue;
        group_begin_.push_back(i);
        staged_at_.push_back(staged);
        staged += 2 + index.lists_.capacity(links_[i].layer);
    }
    group_begin_.push_back(links_.size());
    staging_.resize(staged);
    stats_.pairs_found += links_.size();

    const std::size_t groups = staged_at_.size();
    ParallelFor run;
    run.threads = worker_seconds_.size();
    run.chunk = kGroupChunk;
    parallel_for(groups, run, [&](std::size_t from, std::size_t to, std::size_t) {
        for (std::size_t group = from; group < to; ++group) merge_group(group);
    });
    // Every new list is ready: copying them in cannot fail halfway.
    for (std::size_t group = 0; group < groups; ++group) {
        const Link& link = links_[group_begin_[group]];
        const std::uint32_t* slot = staging_.data() + staged_at_[group];
        index_.lists_.set(link.target, link.layer, slot + 2, slot[0], slot[1]);
    }
    stats_.commit_seconds += thread_seconds() - start;
}

void BatchBuild::merge_group(std::size_t group) {
    const PrunedHNSW& index = index_;
    const Link* links = links_.data() + group_begin_[group];
    const std::size_t sources = group_begin_[group + 1] - group_begin_[group];
    const std::uint32_t target = links[0].target;
    const std::uint32_t layer = links[0].layer;
    const ListSpan list = index.lists_.get(target, layer);
    const std::size_t capacity = index.lists_.capacity(layer);
    std::uint32_t* slot = staging_.data() + staged_at_[group];
    std::uint32_t* ids = slot + 2;
    if (list.size() + sources <= capacity) {
        std::copy(list.begin(), list.end(), ids);
        for (std::size_t i = 0; i < sources; ++i) ids[list.size() + i] = links[i].source;
        slot[0] = static_cast<std::uint32_t>(list.size() + sources);
        slot[1] = static_cast<std::uint32_t>(list.selected());
        return;
    }
    // Overflow: re-select over list and sources, by distance from the target.
    thread_local std::vector<SelectionCandidate> candidates;
    candidates.resize(list.size() + sources);
    for (std::size_t i = 0; i < list.size(); ++i) candidates[i] = SelectionCandidate{0.0, list[i], i < list.selected()};
    for (std::size_t i = 0; i < sources; ++i) candidates[list.size() + i] = SelectionCandidate{0.0, links[i].source, false};
    const GraphDistances from(index.metric_, index.vector(target), index.dim_, index.dim_);
    const double* stored[kBatch];
    double distances[kBatch];
    for (std::size_t begin = 0; begin < candidates.size(); begin += kBatch) {
        const std::size_t count = std::min(kBatch, candidates.size() - begin);
        for (std::size_t i = 0; i < count; ++i) stored[i] = index.vector(candidates[begin + i].id);
        from.batch(stored, count, distances);
        for (std::size_t i = 0; i < count; ++i) candidates[begin + i].distance = distances[i];
    }
    std::sort(candidates.begin(), candidates.end(), [](const SelectionCandidate& a, const SelectionCandidate& b) {
        return candidate_before(Candidate{a.distance, a.id}, Candidate{b.distance, b.id});
    });
    const StoredVectors vectors{index.vectors_.data(), index.dim_, index.metric_};
    const std::size_t kept = select_neighbours(vectors, candidates.data(), candidates.size(), capacity, ids);
    slot[0] = static_cast<std::uint32_t>(kept);
    slot[1] = static_cast<std::uint32_t>(kept);
}

}  // namespace tessra
