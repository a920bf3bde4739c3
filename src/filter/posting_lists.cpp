#include "filter/posting_lists.hpp"

#include <cmath>
#include <cstring>

namespace tessra {

std::string PostingLists::key_of(const MetadataView& value) {
    std::string key(1, static_cast<char>(value.kind()));
    switch (value.kind()) {
        case Metadata::Kind::Str: key.append(value.as_text()); break;
        case Metadata::Kind::Int: {
            const std::int64_t integer = value.as_int();
            key.append(reinterpret_cast<const char*>(&integer), sizeof integer);
            break;
        }
        case Metadata::Kind::Float: {
            double real = value.as_float();
            if (std::isnan(real)) return std::string();
            if (real == 0.0) real = 0.0;  // -0.0 equals 0.0
            key.append(reinterpret_cast<const char*>(&real), sizeof real);
            break;
        }
    }
    return key;
}

void PostingLists::add(std::uint32_t id, const RecordStore::Record& record) {
    const std::size_t positions = std::min(record.size(), lists_.size());
    for (std::size_t p = 0; p < positions; ++p) {
        std::string key = key_of(record[p]);
        if (!key.empty()) lists_[p][std::move(key)].push_back(id);
    }
}

void PostingLists::add_all(const RecordStore& records, std::size_t first) {
    for (std::size_t id = first; id < records.nodes(); ++id)
        if (const auto record = records.record(id)) add(static_cast<std::uint32_t>(id), *record);
}

void PostingLists::truncate(std::size_t nodes) {
    for (auto& table : lists_) {
        for (auto it = table.begin(); it != table.end();) {
            Ids& ids = it->second;
            while (!ids.empty() && ids.back() >= nodes) ids.pop_back();
            it = ids.empty() ? table.erase(it) : std::next(it);
        }
    }
}

const PostingLists::Ids* PostingLists::find(std::size_t position, const MetadataView& value) const {
    if (position >= lists_.size()) return nullptr;
    const std::string key = key_of(value);
    if (key.empty()) return nullptr;
    const auto found = lists_[position].find(key);
    return found == lists_[position].end() ? nullptr : &found->second;
}

std::size_t PostingLists::bytes() const {
    // Per table entry: the key's and list's headers, a hash node and bucket (about 64 bytes in all).
    constexpr std::size_t kPerEntry = 64;
    std::size_t total = lists_.capacity() * sizeof(lists_[0]);
    for (const auto& table : lists_) {
        total += table.bucket_count() * sizeof(void*);
        for (const auto& [key, ids] : table)
            total += kPerEntry + (key.capacity() > 15 ? key.capacity() : 0) + ids.capacity() * sizeof(std::uint32_t);
    }
    return total;
}

}  // namespace tessra
