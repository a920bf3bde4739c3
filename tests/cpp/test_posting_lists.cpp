// Posting lists against the equality predicate itself: every value kind,
// NaN, signed zeros, Int beside Float, nodes without records, truncation.
#include <vector>

#include "check.hpp"
#include "filter/filter.hpp"
#include "filter/posting_lists.hpp"
#include "hnsw_test_support.hpp"

using namespace tessra;

namespace {

Metadata random_value(hnsw_test::SeededRandom& rng) {
    switch (rng.below(6)) {
        case 0: return Metadata::text(std::string(rng.below(3), 'a'));
        case 1: return Metadata::integer(static_cast<std::int64_t>(rng.below(3)) - 1);
        case 2: return Metadata::real(static_cast<double>(rng.below(3)) - 1.0);
        case 3: return Metadata::real(rng.below(2) ? 0.0 : -0.0);
        case 4: return Metadata::real(std::nan(""));
        default: return Metadata::text("\xc3\xa9");
    }
}

// The ids a full scan with the filter's predicate passes at `position`.
std::vector<std::uint32_t> scanned(const RecordStore& records, std::size_t position, const Filter& filter) {
    std::vector<std::uint32_t> ids;
    for (std::size_t id = 0; id < records.nodes(); ++id)
        if (const auto value = records.value(id, position); value && filter.passes(*value))
            ids.push_back(static_cast<std::uint32_t>(id));
    return ids;
}

}  // namespace

TEST(posting_lists_equal_a_scan_with_the_predicate) {
    hnsw_test::SeededRandom rng(11);
    for (int round = 0; round < 20; ++round) {
        RecordStore records;
        PostingLists lists(2);
        const std::size_t nodes = 1 + rng.below(80);
        for (std::size_t id = 0; id < nodes; ++id) {
            if (rng.below(5) == 0) {
                records.append(nullptr);
                continue;
            }
            const MetadataRecord record = {random_value(rng), random_value(rng)};
            records.append(&record);
            lists.add(static_cast<std::uint32_t>(id), *records.record(id));
        }
        if (round % 3 == 0) {
            const std::size_t keep = rng.below(nodes + 1);
            records.truncate(keep);
            lists.truncate(keep);
        }
        for (int probe = 0; probe < 30; ++probe) {
            const std::size_t position = rng.below(2);
            const Filter filter = Filter::equals("a", random_value(rng));
            const PostingLists::Ids* found = lists.find(position, *filter.equal_to);
            const std::vector<std::uint32_t> wanted = scanned(records, position, filter);
            CHECK((found == nullptr ? std::vector<std::uint32_t>() : *found) == wanted);
        }
        // A rebuild from the records gives the same lists.
        PostingLists rebuilt(2);
        rebuilt.add_all(records);
        for (int probe = 0; probe < 10; ++probe) {
            const Metadata value = random_value(rng);
            const auto* a = lists.find(0, value);
            const auto* b = rebuilt.find(0, value);
            CHECK((a == nullptr) == (b == nullptr));
            if (a && b) CHECK(*a == *b);
        }
    }
}
