#include "hnsw/run_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/fault.hpp"

namespace tessra {

RunTable::~RunTable() { destroy(); }

RunTable::RunTable(RunTable&& other) noexcept
    : runs_(std::exchange(other.runs_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      room_(std::exchange(other.room_, 0)),
      readers_may_scan_(std::exchange(other.readers_may_scan_, false)),
      retired_(std::move(other.retired_)) {}

RunTable& RunTable::operator=(RunTable&& other) noexcept {
    if (this != &other) {
        destroy();
        runs_ = std::exchange(other.runs_, nullptr);
        count_ = std::exchange(other.count_, 0);
        room_ = std::exchange(other.room_, 0);
        readers_may_scan_ = std::exchange(other.readers_may_scan_, false);
        retired_ = std::move(other.retired_);
    }
    return *this;
}

void RunTable::destroy() {
    truncate(0);
    release_retired();
    ::operator delete(runs_);
    runs_ = nullptr;
    room_ = 0;
}

void RunTable::reserve(std::size_t nodes) {
    if (nodes <= room_) return;
    auto* moved = static_cast<Run*>(::operator new(nodes * sizeof(Run)));
    for (std::size_t i = 0; i < count_; ++i) {
        Run* run = new (&moved[i]) Run;
        run->data.store(runs_[i].data.load(std::memory_order_relaxed), std::memory_order_relaxed);
        run->length.store(runs_[i].length.load(std::memory_order_relaxed), std::memory_order_relaxed);
        run->capacity = runs_[i].capacity;
        runs_[i].~Run();
    }
    ::operator delete(runs_);
    runs_ = moved;
    room_ = nodes;
}

void RunTable::add_node() {
    if (count_ == room_) {
        if (readers_may_scan_) TESSRA_FAULT("run table grown while readers scan it");
        reserve(std::max<std::size_t>(16, room_ * 2));
    }
    new (&runs_[count_]) Run;
    ++count_;
}

void RunTable::truncate(std::size_t nodes) {
    while (count_ > nodes) {
        Run& run = runs_[--count_];
        delete[] run.data.load(std::memory_order_relaxed);
        run.~Run();
    }
}

void RunTable::grow(Run& run, std::size_t needed) {
    if (needed > UINT32_MAX) TESSRA_FAULT("adjacency run longer than 2**32 - 1 entries");
    // Growth by half keeps the unused room at about a fifth of a run on
    // average (doubling: about a third) for a few more copies.
    const std::size_t grown = std::size_t{run.capacity} + run.capacity / 2;
    const std::size_t capacity = std::min<std::size_t>(UINT32_MAX, std::max<std::size_t>({needed, grown, 4}));
    auto* fresh = new std::uint32_t[capacity];
    std::uint32_t* old = run.data.load(std::memory_order_relaxed);
    const std::uint32_t length = run.length.load(std::memory_order_relaxed);
    if (length != 0) std::memcpy(fresh, old, length * sizeof(std::uint32_t));
    // The copy is published with the array; the length that counts on it follows.
    run.data.store(fresh, std::memory_order_release);
    run.capacity = static_cast<std::uint32_t>(capacity);
    if (readers_may_scan_) retired_.push_back(old);
    else delete[] old;
}

void RunTable::append(std::size_t id, std::uint32_t value) {
    Run& run = runs_[id];
    const std::uint32_t length = run.length.load(std::memory_order_relaxed);
    if (length == run.capacity) grow(run, std::size_t{length} + 1);
    run.data.load(std::memory_order_relaxed)[length] = value;
    run.length.store(length + 1, std::memory_order_release);
}

void RunTable::reserve_more(std::size_t id, std::size_t extra) {
    Run& run = runs_[id];
    const std::size_t needed = std::size_t{run.length.load(std::memory_order_relaxed)} + extra;
    if (needed > run.capacity) grow(run, needed);
}

std::uint32_t* RunTable::allocate_run(std::size_t id, std::size_t length) {
    Run& run = runs_[id];
    if (run.length.load(std::memory_order_relaxed) != 0) TESSRA_FAULT("run allocated over its entries");
    if (length > UINT32_MAX) TESSRA_FAULT("adjacency run longer than 2**32 - 1 entries");
    if (length == 0) return nullptr;
    auto* entries = new std::uint32_t[length];
    delete[] run.data.load(std::memory_order_relaxed);
    run.data.store(entries, std::memory_order_relaxed);
    run.capacity = static_cast<std::uint32_t>(length);
    run.length.store(static_cast<std::uint32_t>(length), std::memory_order_relaxed);
    return entries;
}

void RunTable::set_readers_may_scan(bool scanning) {
    readers_may_scan_ = scanning;
    if (!scanning) release_retired();
}

void RunTable::release_retired() {
    for (std::uint32_t* data : retired_) delete[] data;
    retired_.clear();
    retired_.shrink_to_fit();
}

std::size_t RunTable::entries() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count_; ++i) total += runs_[i].length.load(std::memory_order_relaxed);
    return total;
}

std::size_t RunTable::bytes() const {
    std::size_t total = room_ * sizeof(Run);
    for (std::size_t i = 0; i < count_; ++i) total += std::size_t{runs_[i].capacity} * sizeof(std::uint32_t);
    return total;
}

}  // namespace tessra
