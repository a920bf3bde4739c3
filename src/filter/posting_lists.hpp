// For each attribute position of a schema, the ids of the nodes holding each
// value, in increasing order: the exact matching set of an equality filter
// without testing a node. Derived from the records (rebuilt on load).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "metadata/metadata_view.hpp"
#include "metadata/record_store.hpp"

namespace tessra {

class PostingLists {
public:
    using Ids = std::vector<std::uint32_t>;

    // Lists for `attributes` positions, all empty.
    explicit PostingLists(std::size_t attributes = 0) : lists_(attributes) {}

    // Node `id`, the next one (ids arrive in increasing order), holding
    // `record`; a node without a record is in no list.
    void add(std::uint32_t id, const RecordStore::Record& record);
    // Every node of `records` from `first` on.
    void add_all(const RecordStore& records, std::size_t first = 0);
    // Drops every id from `nodes` on.
    void truncate(std::size_t nodes);

    // The ids whose value at `position` equals `value` (Metadata equality:
    // same kind, integers as integers, doubles by IEEE equality, text byte for
    // byte), or null when there are none. A NaN matches nothing.
    const Ids* find(std::size_t position, const MetadataView& value) const;

    std::size_t attributes() const { return lists_.size(); }
    // Bytes held: ids at capacity, keys, and an estimate of the tables' own nodes.
    std::size_t bytes() const;

private:
    // A value as a byte string equal for exactly the equal values: the kind,
    // then the payload (+0.0 for either zero); empty for NaN.
    static std::string key_of(const MetadataView& value);

    std::vector<std::unordered_map<std::string, Ids>> lists_;
};

}  // namespace tessra
