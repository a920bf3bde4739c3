#include "metadata/record_store.hpp"

#include <cstring>

#include "common/fault.hpp"

namespace tessra {

void RecordStore::cover_nodes() {
    if (!starts_.empty()) return;
    starts_.assign(nodes_ + 1, 0);
    for (std::size_t id = 0; id < nodes_; ++id) starts_[id] = kNoRecord;
}

void RecordStore::append(const MetadataRecord* record) {
    if (open_) TESSRA_FAULT("Metadata record appended while another is open");
    if (record == nullptr) {
        ++nodes_;
        if (!starts_.empty()) {
            starts_.back() |= kNoRecord;
            starts_.push_back(values());
        }
        return;
    }
    begin_record();
    for (const Metadata& value : *record) {
        switch (value.kind()) {
            case Metadata::Kind::Str: push_text(value.as_text()); break;
            case Metadata::Kind::Int: push_integer(value.as_int()); break;
            case Metadata::Kind::Float: push_real(value.as_float()); break;
        }
    }
    end_record();
}

void RecordStore::begin_record() {
    if (open_) TESSRA_FAULT("Metadata record begun while another is open");
    cover_nodes();
    open_ = true;
}

void RecordStore::push_text(std::string_view text) {
    if (text.size() > UINT32_MAX) TESSRA_FAULT("Metadata text longer than 4 GiB");
    const auto length = static_cast<std::uint32_t>(text.size());
    const std::size_t offset = texts_.size();
    texts_.resize(offset + sizeof length + text.size());
    std::memcpy(texts_.data() + offset, &length, sizeof length);
    if (!text.empty()) std::memcpy(texts_.data() + offset + sizeof length, text.data(), text.size());
    kinds_.push_back(static_cast<std::uint8_t>(Metadata::Kind::Str));
    payloads_.push_back(offset);
}

void RecordStore::push_integer(std::int64_t value) {
    kinds_.push_back(static_cast<std::uint8_t>(Metadata::Kind::Int));
    payloads_.push_back(static_cast<std::uint64_t>(value));
}

void RecordStore::push_real(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    kinds_.push_back(static_cast<std::uint8_t>(Metadata::Kind::Float));
    payloads_.push_back(bits);
}

void RecordStore::end_record() {
    if (!open_) TESSRA_FAULT("Metadata record ended without being begun");
    open_ = false;
    ++nodes_;
    // The entry that held this node's start stays; the new last entry is the end.
    starts_.push_back(values());
}

std::optional<RecordStore::Record> RecordStore::record(std::size_t id) const {
    if (starts_.empty() || id >= nodes_ || (starts_[id] & kNoRecord) != 0) return std::nullopt;
    return Record(this, start(id), start(id + 1) - start(id));
}

std::optional<MetadataView> RecordStore::value(std::size_t id, std::size_t position) const {
    if (starts_.empty() || id >= nodes_ || (starts_[id] & kNoRecord) != 0) return std::nullopt;
    const std::uint64_t begin = start(id);
    if (position >= start(id + 1) - begin) return std::nullopt;
    return value_at(begin + position);
}

MetadataView RecordStore::value_at(std::uint64_t index) const {
    const std::uint64_t payload = payloads_[index];
    switch (static_cast<Metadata::Kind>(kinds_[index])) {
        case Metadata::Kind::Str: {
            std::uint32_t length;
            std::memcpy(&length, texts_.data() + payload, sizeof length);
            return MetadataView::text(std::string_view(texts_.data() + payload + sizeof length, length));
        }
        case Metadata::Kind::Int: return MetadataView::integer(static_cast<std::int64_t>(payload));
        case Metadata::Kind::Float: break;
    }
    double real;
    std::memcpy(&real, &payload, sizeof real);
    return MetadataView::real(real);
}

void RecordStore::truncate(std::size_t nodes) {
    if (open_) TESSRA_FAULT("Metadata records truncated while one is open");
    if (nodes >= nodes_) return;
    nodes_ = nodes;
    if (starts_.empty()) return;
    const std::uint64_t end = start(nodes);
    // Texts lie in the arena in value order: the first dropped one marks the cut.
    for (std::uint64_t i = end; i < values(); ++i) {
        if (static_cast<Metadata::Kind>(kinds_[i]) == Metadata::Kind::Str) {
            texts_.resize(static_cast<std::size_t>(payloads_[i]));
            break;
        }
    }
    kinds_.resize(static_cast<std::size_t>(end));
    payloads_.resize(static_cast<std::size_t>(end));
    starts_.resize(nodes + 1);
    starts_.back() = end;
}

void RecordStore::reserve(std::size_t nodes, std::size_t values, std::size_t text_bytes) {
    if (!starts_.empty() || values > 0) {
        cover_nodes();
        starts_.reserve(starts_.size() + nodes);
    }
    kinds_.reserve(kinds_.size() + values);
    payloads_.reserve(payloads_.size() + values);
    texts_.reserve(texts_.size() + text_bytes);
}

std::size_t RecordStore::bytes() const {
    return starts_.capacity() * sizeof(std::uint64_t) + kinds_.capacity() + payloads_.capacity() * sizeof(std::uint64_t) +
           texts_.capacity();
}

}  // namespace tessra
