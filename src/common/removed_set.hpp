// The ids an index no longer returns: one bit per id ever assigned, and their
// count. Removal never renumbers or reuses ids, so the set only grows (a bulk
// insertion cut back by a stop drops ids above every removed one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessra {

class RemovedSet {
public:
    // Why an id of a removal request cannot be removed.
    enum class Refusal { NeverAssigned, AlreadyRemoved };
    struct Refused {
        std::size_t position;  // where the id stands in the request
        std::uint64_t id;
        Refusal why;
    };

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    bool contains(std::uint64_t id) const { return id < bits_ && ((words_[id >> 6] >> (id & 63)) & 1) != 0; }
    // 64 ids per word, id i at bit i % 64 of word i / 64; null when empty.
    const std::uint64_t* words() const { return count_ == 0 ? nullptr : words_.data(); }
    // The removed ids among 64 w .. 64 w + 63 as the bits of a word (bit i: id 64 w + i).
    std::uint64_t word(std::size_t w) const { return w < words_.size() ? words_[w] : 0; }

    // The first id of `ids` that cannot be removed from an index whose ids
    // run below `assigned`: one never assigned, or one removed before this
    // request. An id repeated within the request is removed once.
    std::optional<Refused> check(const std::vector<std::uint64_t>& ids, std::uint64_t assigned) const;
    // Removes every id of `ids`; check() must have passed.
    void remove(const std::vector<std::uint64_t>& ids);
    // The removed ids in increasing order.
    std::vector<std::uint64_t> ids() const;
    std::size_t bytes() const { return words_.capacity() * sizeof(std::uint64_t); }

private:
    std::vector<std::uint64_t> words_;
    std::uint64_t bits_ = 0;  // ids the words cover
    std::size_t count_ = 0;
};

}  // namespace tessra
