// The neighbour lists of every node on every layer it is on, in fixed slots.
// Layer 0: one array of nodes x (1 + 2m) words, a node's slot at id * (1 + 2m),
// no per-node header. Layers 1 and up: one array of (1 + m)-word blocks, one
// block per (node, layer), a node's blocks consecutive from its start. The
// first word of a slot holds the entry count in its low 16 bits and, in its
// high 16 bits, how many leading entries are the output of the last
// neighbour selection run over this list (see neighbour_selection.hpp); the
// rest were appended since, as reverse links, without a selection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessra {

// A read-only view of one list.
class ListSpan {
public:
    ListSpan() = default;
    explicit ListSpan(const std::uint32_t* slot) : ids_(slot + 1), count_(slot[0] & 0xFFFFu), selected_(slot[0] >> 16) {}
    const std::uint32_t* data() const { return ids_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Leading entries chosen by the list's last selection.
    std::size_t selected() const { return selected_; }
    const std::uint32_t* begin() const { return ids_; }
    const std::uint32_t* end() const { return ids_ + count_; }
    std::uint32_t operator[](std::size_t i) const { return ids_[i]; }

private:
    const std::uint32_t* ids_ = nullptr;
    std::size_t count_ = 0;
    std::size_t selected_ = 0;
};

class NeighbourLists {
public:
    // Lists hold up to 2m entries on layer 0 and m above. Precondition: 1 <= m <= kMaxM.
    explicit NeighbourLists(std::size_t m);

    // Counts and selected prefixes share a word.
    static constexpr std::size_t kMaxM = 0x7FFF;

    std::size_t nodes() const { return first_block_.size() - 1; }
    std::size_t capacity(std::uint64_t layer) const { return layer == 0 ? 2 * m_ : m_; }

    // A node on layers 0..level, every list empty. Moves the arrays when their
    // room is used up, so a parallel build reserves first.
    void add_node(std::uint64_t level);
    // Room for `nodes` more nodes with `upper_lists` lists above layer 0 between them.
    void reserve(std::size_t nodes, std::size_t upper_lists);
    // Drops every node from `nodes` on.
    void truncate(std::size_t nodes);

    ListSpan get(std::uint64_t id, std::uint64_t layer) const { return ListSpan(slot(id, layer)); }
    // The raw slot (count word, then ids), for the search loop.
    const std::uint32_t* layer0_slot(std::uint64_t id) const { return layer0_.data() + id * stride0_; }
    const std::uint32_t* slot(std::uint64_t id, std::uint64_t layer) const {
        if (layer == 0) return layer0_slot(id);
        return upper_.data() + (static_cast<std::size_t>(first_block_[id]) + (layer - 1)) * stride_;
    }
    // Replaces the list. Preconditions: the node is on the layer, count <= capacity(layer), selected <= count.
    void set(std::uint64_t id, std::uint64_t layer, const std::uint32_t* ids, std::size_t count, std::size_t selected);

    // Entries held by every list, and bytes the lists hold at capacity.
    std::size_t entries() const;
    std::size_t bytes() const;

private:
    std::uint32_t* slot(std::uint64_t id, std::uint64_t layer) {
        return const_cast<std::uint32_t*>(static_cast<const NeighbourLists*>(this)->slot(id, layer));
    }

    std::size_t m_;
    std::size_t stride0_;  // 1 + 2m
    std::size_t stride_;   // 1 + m
    std::vector<std::uint32_t> layer0_;
    std::vector<std::uint32_t> upper_;
    // Node i's blocks above layer 0 are [first_block_[i], first_block_[i + 1]):
    // one per layer from 1 to its level. One entry more than nodes.
    std::vector<std::uint32_t> first_block_;
};

}  // namespace tessra
