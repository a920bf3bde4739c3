// The metadata records of every node of an index, in node order and stored
// compactly: a kind byte and an 8-byte payload per value, text in one arena.
// An index whose nodes carry no record pays nothing per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "metadata/metadata.hpp"
#include "metadata/metadata_view.hpp"

namespace tessra {

class RecordStore {
public:
    // One node's values, in schema order; valid until the store changes.
    class Record {
    public:
        std::size_t size() const { return static_cast<std::size_t>(size_); }
        MetadataView operator[](std::size_t i) const { return store_->value_at(begin_ + i); }

    private:
        friend class RecordStore;
        Record(const RecordStore* store, std::uint64_t begin, std::uint64_t size)
            : store_(store), begin_(begin), size_(size) {}
        const RecordStore* store_;
        std::uint64_t begin_;
        std::uint64_t size_;
    };

    // Nodes appended so far, with or without a record.
    std::size_t nodes() const { return nodes_; }
    // Values stored, over every record.
    std::size_t values() const { return kinds_.size(); }

    // The next node's record (copied), or none when `record` is null.
    void append(const MetadataRecord* record);
    // The same, one value at a time (for a loader): begin_record(), a push
    // per value, end_record(); or append(nullptr) for a node without one.
    void begin_record();
    void push_text(std::string_view text);
    void push_integer(std::int64_t value);
    void push_real(double value);
    void end_record();

    // The node's record, or nothing when it was appended without one.
    std::optional<Record> record(std::size_t id) const;
    // Value `position` of the node's record; nothing when it has no record or
    // the record is shorter.
    std::optional<MetadataView> value(std::size_t id, std::size_t position) const;

    // Keeps the first `nodes` nodes' records.
    void truncate(std::size_t nodes);
    // Room for `nodes` more nodes holding `values` more values in all, and
    // `text_bytes` more bytes of text (each text takes 4 more than its length).
    void reserve(std::size_t nodes, std::size_t values, std::size_t text_bytes = 0);
    // Bytes held, at capacity.
    std::size_t bytes() const;

private:
    static constexpr std::uint64_t kNoRecord = std::uint64_t{1} << 63;

    MetadataView value_at(std::uint64_t index) const;
    // Makes starts_ cover every node appended so far (it stays empty until the first record).
    void cover_nodes();
    std::uint64_t start(std::size_t id) const { return starts_[id] & ~kNoRecord; }

    std::size_t nodes_ = 0;
    bool open_ = false;  // a record begun and not yet ended
    // Where each node's values begin, with kNoRecord set for a node without a
    // record, and one more entry: the end of the last node's values. Empty
    // while no node has a record.
    std::vector<std::uint64_t> starts_;
    std::vector<std::uint8_t> kinds_;      // Metadata::Kind per value
    std::vector<std::uint64_t> payloads_;  // the integer's or double's bits, or a text's offset in texts_
    std::vector<char> texts_;              // each text: its length as 4 bytes, then its bytes
};

}  // namespace tessra
