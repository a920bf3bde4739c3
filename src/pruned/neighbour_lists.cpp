#include "pruned/neighbour_lists.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace tessra {

NeighbourLists::NeighbourLists(std::size_t m) : m_(m), stride0_(1 + 2 * m), stride_(1 + m), first_block_{0} {
    if (m == 0 || m > kMaxM) TESSRA_FAULT("neighbour lists need 1 <= m <= 32767");
}

void NeighbourLists::add_node(std::uint64_t level) {
    const std::uint64_t blocks = static_cast<std::uint64_t>(first_block_.back()) + level;
    if (blocks > UINT32_MAX) TESSRA_FAULT("pruned graph holds the most upper-layer lists it can number");
    layer0_.resize(layer0_.size() + stride0_, 0);
    upper_.resize(static_cast<std::size_t>(blocks) * stride_, 0);
    first_block_.push_back(static_cast<std::uint32_t>(blocks));
}

namespace {

// Room for `extra` more elements, growing by half at least (see add_node).
void reserve_more(std::vector<std::uint32_t>& array, std::size_t extra) {
    const std::size_t needed = array.size() + extra;
    if (needed > array.capacity()) array.reserve(std::max(needed, array.capacity() + array.capacity() / 2));
}

}  // namespace

void NeighbourLists::reserve(std::size_t nodes, std::size_t upper_lists) {
    reserve_more(layer0_, nodes * stride0_);
    reserve_more(upper_, upper_lists * stride_);
    reserve_more(first_block_, nodes);
}

void NeighbourLists::truncate(std::size_t nodes) {
    if (nodes >= this->nodes()) return;
    layer0_.resize(nodes * stride0_);
    upper_.resize(static_cast<std::size_t>(first_block_[nodes]) * stride_);
    first_block_.resize(nodes + 1);
}

void NeighbourLists::set(std::uint64_t id, std::uint64_t layer, const std::uint32_t* ids, std::size_t count,
                         std::size_t selected) {
    if (count > capacity(layer) || selected > count) TESSRA_FAULT("neighbour list beyond its capacity");
    std::uint32_t* out = slot(id, layer);
    std::copy(ids, ids + count, out + 1);
    out[0] = static_cast<std::uint32_t>(count) | static_cast<std::uint32_t>(selected) << 16;
}

std::size_t NeighbourLists::entries() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < layer0_.size(); i += stride0_) total += layer0_[i] & 0xFFFFu;
    for (std::size_t i = 0; i < upper_.size(); i += stride_) total += upper_[i] & 0xFFFFu;
    return total;
}

std::size_t NeighbourLists::bytes() const {
    return (layer0_.capacity() + upper_.capacity() + first_block_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace tessra
