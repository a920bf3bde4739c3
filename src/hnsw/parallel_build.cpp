#include "hnsw/parallel_build.hpp"

#include <algorithm>
#include <string>

#include <time.h>

#include "common/fault.hpp"
#include "parallel/workers.hpp"

namespace tessra {

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of the calling thread: the statistics say where the work
// went even when the machine is shared and threads wait for a core.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

constexpr std::uint32_t kNoExpansion = UINT32_MAX;

}  // namespace

ParallelBuild::ParallelBuild(HNSW& index, std::uint64_t base, std::uint64_t first, std::uint64_t end,
                             const AddOptions& options, AddResult& stats)
    : index_(index), base_(base), first_(first), end_(end), options_(options), stats_(stats), next_claim_(first), committed_(first) {
    // A search runs at most this many insertions ahead of the commits: the
    // further ahead, the more commits it must be checked against and the
    // likelier one of them changes it; the nearer, the more often a thread
    // waits for a commit before it may claim the next search (the calling
    // thread commits only between its own searches). Measured on MNIST with
    // two idle threads: a window of 2 redid 14-16 % of the searches and ran
    // 1.17-1.28x faster than one thread, a window of 6 redid 29 % and ran
    // 1.42-1.62x faster.
    const std::size_t threads = std::max<std::size_t>(options.threads, 1);
    window_ = std::min<std::size_t>(std::max<std::size_t>(3 * threads, 2), end - first);
    slots_ = std::make_unique<Slot[]>(window_);
    // An insertion starts at the highest level of the nodes before it (node 0
    // aside) or its own: known before any is linked.
    tops_.resize(end - first);
    std::uint64_t highest = index.highest_other_level_;
    for (std::uint64_t id = first; id < end; ++id) {
        const std::uint64_t level = index.level(id);
        tops_[id - first] = std::min(index.layers_ - 1, std::max(level, highest));
        highest = std::max(highest, level);
    }
    speculate_with_sketches_ = index.sketches_.insertions_use_sketches();
    task_hook_ = worker_task_hook();
    lockstep_ = lockstep_build() && threads > 1;
    if (threads > 1) {
        marks_.assign(end, 0);
        first_expansion_.assign(end, kNoExpansion);
    }
}

void ParallelBuild::run() {
    index_.runs_.set_readers_may_scan(true);
    try {
        // More threads than insertions would only wait.
        const std::size_t threads = std::min<std::uint64_t>(std::max<std::size_t>(options_.threads, 1), end_ - first_);
        run_workers(threads, [&](std::size_t worker, std::size_t workers) {
            try {
                if (worker == 0) run_committer(lockstep_ && workers > 1);
                else run_worker(worker);
            } catch (...) {
                stop();
                throw;
            }
        });
    } catch (...) {
        index_.runs_.set_readers_may_scan(false);
        throw;
    }
    index_.runs_.set_readers_may_scan(false);
}

void ParallelBuild::wake_all() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

void ParallelBuild::stop() {
    stop_.store(true, std::memory_order_relaxed);
    wake_all();
}

bool ParallelBuild::claimable() const {
    const std::uint64_t next = next_claim_.load(std::memory_order_relaxed);
    return next < end_ && next < committed_.load(std::memory_order_acquire) + window_;
}

bool ParallelBuild::try_claim(std::uint64_t& claimed) {
    std::uint64_t next = next_claim_.load(std::memory_order_relaxed);
    for (;;) {
        // Reading the commit count with acquire orders this claim after the
        // committer's last use of the slot it reuses.
        if (next >= end_ || next >= committed_.load(std::memory_order_acquire) + window_) return false;
        if (next_claim_.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) {
            claimed = next;
            return true;
        }
    }
}

void ParallelBuild::run_worker(std::size_t worker) {
    while (!stop_.load(std::memory_order_relaxed)) {
        std::uint64_t id;
        if (try_claim(id)) {
            if (task_hook_ != nullptr) task_hook_(worker);
            speculate(id);
            continue;
        }
        if (next_claim_.load(std::memory_order_relaxed) >= end_) return;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_.load(std::memory_order_relaxed) || claimable() ||
                                         next_claim_.load(std::memory_order_relaxed) >= end_; });
    }
}

// Insertion `id`'s layer searches on the graph of the nodes committed so far,
// linking it only in its own private run, as its own insertion would.
void ParallelBuild::speculate(std::uint64_t id) {
    const double start = thread_seconds();
    Slot& slot = slots_[id % window_];
    Speculation& speculation = slot.speculation;
    speculation.snapshot = committed_.load(std::memory_order_acquire);
    speculation.self = id;
    speculation.own_run.clear();
    speculation.expansions.clear();

    {
        thread_local std::vector<Candidate> found;
        thread_local std::vector<std::uint8_t> in_own_run;
        if (in_own_run.size() < index_.size()) in_own_run.resize(index_.size(), 0);
        // The marks are cleared however the search ends, so the thread's next
        // search starts clean, and before the slot is handed over: from then on
        // its own_run belongs to the committer.
        struct ClearMarks {
            std::vector<std::uint8_t>& marks;
            const std::vector<std::uint32_t>& set;
            ~ClearMarks() {
                for (const std::uint32_t node : set) marks[node] = 0;
            }
        } clear_marks{in_own_run, speculation.own_run};
        const std::uint64_t level = index_.level(id);
        const std::uint64_t top = tops_[id - first_];
        if (slot.found.size() < level + 1) slot.found.resize(level + 1);
        const QueryDistances distances(index_.metric_, index_.vector(id), index_.dim_, index_.dim_);
        // The sketches of every node were made before the build began and stay
        // as they are during it; skipping by them changes no admission, so the
        // recorded expansions and thresholds are those of the plain search.
        // Whether they pay was decided by the insertions before the build.
        const SketchQuery sketch = speculate_with_sketches_
                                       ? SketchQuery(index_.sketches_, index_.metric_, index_.vector(id), index_.dim_,
                                                     index_.vector_store_.data(), index_.dim_)
                                       : SketchQuery();
        std::uint64_t entry = 0;
        for (std::uint64_t layer = top;; --layer) {
            const bool linking = layer <= level;
            if (auto error = index_.knn(entry, distances, linking ? index_.ef_construction_ : 1, layer, nullptr, found, sketch,
                                        &speculation))
                TESSRA_FAULT(std::string("Layer search failed while linking: ") + hnsw_error_name(*error));
            if (!linking) {
                entry = found.front().id;
            } else {
                slot.found[layer] = found;
                // What link_layer will append to this node's run: each neighbour once, never itself.
                for (const Candidate& neighbour : found) {
                    if (neighbour.id == id || in_own_run[neighbour.id]) continue;
                    in_own_run[neighbour.id] = 1;
                    speculation.own_run.push_back(static_cast<std::uint32_t>(neighbour.id));
                }
                entry = id;
            }
            if (layer == 0) break;
        }
    }
    slot.seconds = thread_seconds() - start;
    slot.holds.store(id, std::memory_order_release);
    wake_all();
}

// Whether insertion `id`'s speculative search is exactly the search its turn
// would run now, on the graph of every node before it.
//
// The search ran on the graph of the nodes below its snapshot s (see
// Speculation::run). Since then insertions s..id-1 were committed. Committing
// i appended i once to the run of each node in its result lists (the nodes of
// i's forward entries, read back from i's run) and wrote i's own run; nothing
// else changed. The search never reached i (no run in its graph names i), so
// the runs that differ for it now are those of nodes it expanded that got i
// appended, and they differ by appended entries only.
//
// By induction over the expansions, in order: suppose the search state (result
// list, candidate heap, visited stamps of the nodes below s) is the same as
// its turn's search would have when both come to expand node X on layer L.
// Both scan X's run as the speculative search saw it, alike, and reach the
// same state, the one recorded at the end of X's expansion. The turn's search
// then scans the appended entries, in commit order. An entry i with level
// below L fails the layer test; otherwise i is unvisited (had an earlier
// appended entry admitted i, that check would already have failed), so i is
// admitted exactly when the list is not full or d(id, i) < T_X, the recorded
// threshold (the same comparison the search makes; nothing admitted before
// it changed T_X). If no appended entry is admitted, the state after X's
// expansion is the same in both, except for stamps of unadmitted entries,
// which only ever make a later appended entry skipped where this check tests
// it again (so the check is conservative, never wrong). Equal states lead to
// the same next expansion, or the same stop. Hence: if no committed i, on a
// layer L <= level(i), lands in the run of a node X the search expanded on L
// with X's list not full or d(id, i) < T_X, every layer's result is the same
// and linking from them builds exactly the graph of one insertion after
// another. Otherwise the search is redone on the current graph.
bool ParallelBuild::still_exact(std::uint64_t id, const Slot& slot) {
    const Speculation& speculation = slot.speculation;
    if (speculation.snapshot == id) return true;
    const std::vector<Expansion>& expansions = speculation.expansions;
    if (++mark_ == 0) {
        std::fill(marks_.begin(), marks_.end(), 0);
        mark_ = 1;
    }
    same_node_.resize(expansions.size());
    for (std::uint32_t k = 0; k < expansions.size(); ++k) {
        const std::uint32_t node = expansions[k].node;
        same_node_[k] = marks_[node] == mark_ ? first_expansion_[node] : kNoExpansion;
        marks_[node] = mark_;
        first_expansion_[node] = k;
    }
    const QueryDistances distances(index_.metric_, index_.vector(id), index_.dim_, index_.dim_);
    for (std::uint64_t i = speculation.snapshot; i < id; ++i) {
        const std::uint64_t level = index_.level(i);
        bool have_distance = false;
        double distance = 0;
        // i's forward entries lead its run and are the only entries below i.
        for (const std::uint32_t node : index_.runs_.get(i)) {
            if (node >= i) break;
            if (marks_[node] != mark_) continue;
            for (std::uint32_t k = first_expansion_[node]; k != kNoExpansion; k = same_node_[k]) {
                const Expansion& expansion = expansions[k];
                if (expansion.layer > level) continue;
                if (!expansion.full) return false;
                if (!have_distance) {
                    distance = distances.one(index_.vector(i));
                    have_distance = true;
                }
                // Plain comparison, as the search admits: a NaN is never admitted to a full list.
                if (distance < expansion.threshold) return false;
            }
        }
    }
    return true;
}

void ParallelBuild::commit(std::uint64_t id, Slot* slot) {
    const std::uint64_t level = index_.level(id);
    if (slot == nullptr) {
        stats_.pairs_found += index_.link_node(id, index_.vector(id), level);
    } else {
        for (std::uint64_t layer = std::min(level, tops_[id - first_]);; --layer) {
            index_.link_layer(id, slot->found[layer]);
            stats_.pairs_found += slot->found[layer].size();
            if (layer == 0) break;
        }
    }
    index_.highest_other_level_ = std::max(index_.highest_other_level_, level);
    committed_.store(id + 1, std::memory_order_release);
    wake_all();
}

bool ParallelBuild::poll_due(Clock::time_point& last) {
    if (!options_.poll) return false;
    const Clock::time_point now = Clock::now();
    if (now - last < options_.poll_interval) return false;
    last = now;
    return options_.poll(static_cast<std::size_t>(committed_.load(std::memory_order_relaxed) - base_),
                         static_cast<std::size_t>(end_ - base_));
}

bool ParallelBuild::window_searched(std::uint64_t id) const {
    const std::uint64_t last = std::min<std::uint64_t>(id + window_, end_);
    for (std::uint64_t j = id; j < last; ++j)
        if (slots_[j % window_].holds.load(std::memory_order_acquire) != j) return false;
    return true;
}

void ParallelBuild::run_committer(bool lockstep) {
    Clock::time_point last_poll = Clock::now();
    for (std::uint64_t id = first_; id < end_; ++id) {
        Slot& slot = slots_[id % window_];
        bool direct = false;
        const auto ready = [&] {
            return lockstep ? window_searched(id) : slot.holds.load(std::memory_order_acquire) == id;
        };
        // Help with the searches until this insertion's is done.
        while (!ready()) {
            if (stop_.load(std::memory_order_relaxed)) return;
            if (poll_due(last_poll)) {
                stats_.stopped = true;
                return stop();
            }
            std::uint64_t claimed;
            if (!lockstep && try_claim(claimed)) {
                // Unclaimed, its turn has come: search the current graph directly.
                if (claimed == id) {
                    direct = true;
                    break;
                }
                if (task_hook_ != nullptr) task_hook_(0);
                speculate(claimed);
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(5), [&] {
                return stop_.load(std::memory_order_relaxed) || (!lockstep && claimable()) || ready();
            });
        }
        const double start = thread_seconds();
        if (direct) {
            ++stats_.direct;
            commit(id, nullptr);
            stats_.redo_seconds += (thread_seconds() - start);
        } else {
            ++stats_.speculated;
            stats_.search_seconds += slot.seconds;
            if (still_exact(id, slot)) {
                commit(id, &slot);
                stats_.commit_seconds += (thread_seconds() - start);
            } else {
                ++stats_.redone;
                commit(id, nullptr);
                stats_.redo_seconds += (thread_seconds() - start);
            }
        }
        if (poll_due(last_poll)) {
            stats_.stopped = id + 1 < end_;
            if (stats_.stopped) return stop();
        }
    }
}

}  // namespace tessra
