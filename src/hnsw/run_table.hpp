// The adjacency runs of every node: one writer appends while readers scan.
// A run's entries live in one array; when it fills, the writer copies them to
// an array half as large again and publishes the new array before the new length,
// so a reader that loads the length first and the array second always finds
// every entry it counted. Replaced arrays are kept while readers may still
// scan them (during a parallel build) and freed once none can.
#pragma once

#include <atomic>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessra {

// A read-only view of a run: contiguous, its length fixed when it was taken.
class RunSpan {
public:
    RunSpan() = default;
    RunSpan(const std::uint32_t* data, std::size_t size) : data_(data), size_(size) {}
    const std::uint32_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint32_t* begin() const { return data_; }
    const std::uint32_t* end() const { return data_ + size_; }
    std::uint32_t operator[](std::size_t i) const { return data_[i]; }
    std::uint32_t back() const { return data_[size_ - 1]; }

private:
    const std::uint32_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Runs are equal when they hold the same neighbours in the same order.
inline bool operator==(const RunSpan& a, const RunSpan& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
inline bool operator!=(const RunSpan& a, const RunSpan& b) { return !(a == b); }

class RunTable {
public:
    RunTable() = default;
    ~RunTable();
    RunTable(RunTable&& other) noexcept;
    RunTable& operator=(RunTable&& other) noexcept;
    RunTable(const RunTable&) = delete;
    RunTable& operator=(const RunTable&) = delete;

    std::size_t size() const { return count_; }
    // Room for `nodes` runs, so add_node does not move the table. No reader may be scanning.
    void reserve(std::size_t nodes);
    // A new, empty run at the end. Moves the table when its room is used up,
    // so during a parallel build the room must have been reserved.
    void add_node();
    // Drops every run from `nodes` on. No reader may be scanning.
    void truncate(std::size_t nodes);

    // The run as far as it is published; safe while the writer appends.
    RunSpan get(std::size_t id) const {
        const Run& run = runs_[id];
        const std::uint32_t length = run.length.load(std::memory_order_acquire);
        return RunSpan(run.data.load(std::memory_order_acquire), length);
    }
    // Starts loading run `id`'s header, for a get() soon after.
    void prefetch(std::size_t id) const { __builtin_prefetch(&runs_[id]); }
    // Appends on the writer's thread; the entry is visible to readers once appended.
    void append(std::size_t id, std::uint32_t value);
    // Makes room for `extra` more entries in one step (a forward list of known length).
    void reserve_more(std::size_t id, std::size_t extra);
    // Gives the empty run `id` exactly `length` entries, not yet written, and
    // returns them for the caller to write: a loader, before anyone reads the table.
    std::uint32_t* allocate_run(std::size_t id, std::size_t length);

    // While set, arrays replaced by growth are kept until release_retired().
    void set_readers_may_scan(bool scanning);
    void release_retired();

    // Entries stored in every run, and bytes held by runs (arrays at capacity plus per-run headers).
    std::size_t entries() const;
    std::size_t bytes() const;

private:
    // length is published with release after the entry (and, after growth,
    // after the new array); capacity belongs to the writer alone.
    struct Run {
        std::atomic<std::uint32_t*> data{nullptr};
        std::atomic<std::uint32_t> length{0};
        std::uint32_t capacity = 0;
    };

    void grow(Run& run, std::size_t needed);
    void destroy();

    Run* runs_ = nullptr;
    std::size_t count_ = 0;
    std::size_t room_ = 0;
    bool readers_may_scan_ = false;
    std::vector<std::uint32_t*> retired_;
};

}  // namespace tessra
