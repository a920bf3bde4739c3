// The compact record store against a plain model: random appends (with and
// without records, text of every length) and truncations.
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"
#include "metadata/record_store.hpp"

using namespace tessra;

namespace {

void check_matches(const RecordStore& store, const std::vector<std::optional<MetadataRecord>>& model) {
    CHECK_EQ(store.nodes(), model.size());
    for (std::size_t id = 0; id < model.size(); ++id) {
        const auto record = store.record(id);
        CHECK_EQ(record.has_value(), model[id].has_value());
        if (!record || !model[id]) {
            CHECK(!store.value(id, 0).has_value());
            continue;
        }
        CHECK_EQ(record->size(), model[id]->size());
        for (std::size_t i = 0; i < model[id]->size(); ++i) {
            const MetadataView stored = (*record)[i];
            const Metadata& wanted = (*model[id])[i];
            CHECK(stored.kind() == wanted.kind());
            // Bits, not IEEE equality: NaN and -0.0 come back as they went in.
            if (wanted.kind() == Metadata::Kind::Float)
                CHECK(std::signbit(stored.as_float()) == std::signbit(wanted.as_float()) &&
                      (stored == MetadataView(wanted) || std::isnan(wanted.as_float())));
            else
                CHECK(stored == MetadataView(wanted));
            CHECK(store.value(id, i).has_value());
        }
        CHECK(!store.value(id, model[id]->size()).has_value());
    }
    CHECK(!store.value(model.size(), 0).has_value());
}

}  // namespace

TEST(record_store_matches_a_plain_model) {
    hnsw_test::SeededRandom rng(7);
    for (int round = 0; round < 40; ++round) {
        RecordStore store;
        std::vector<std::optional<MetadataRecord>> model;
        for (int step = 0; step < 60; ++step) {
            const auto action = rng.below(10);
            if (action == 0) {
                const std::size_t keep = model.empty() ? 0 : rng.below(model.size() + 1);
                store.truncate(keep);
                model.resize(keep);
            } else if (action <= 3 && round % 4 != 0) {
                store.append(nullptr);
                model.emplace_back();
            } else {
                MetadataRecord record;
                for (std::uint64_t i = rng.below(4); i > 0; --i) {
                    switch (rng.below(3)) {
                        case 0: record.push_back(Metadata::text(std::string(rng.below(6), 'a' + rng.below(3)))); break;
                        case 1: record.push_back(Metadata::integer(static_cast<std::int64_t>(rng.next_u64()))); break;
                        default:
                            record.push_back(Metadata::real(rng.below(5) == 0 ? std::nan("") : rng.unit() - 0.5));
                    }
                }
                store.append(&record);
                model.push_back(record);
            }
            check_matches(store, model);
        }
    }
}

TEST(record_store_costs_nothing_without_records) {
    RecordStore store;
    for (int i = 0; i < 1000; ++i) store.append(nullptr);
    CHECK_EQ(store.bytes(), 0u);
    CHECK_EQ(store.nodes(), 1000u);
    // A first record later still leaves the earlier nodes without one.
    const MetadataRecord record = {Metadata::text("x")};
    store.append(&record);
    CHECK(!store.record(999).has_value());
    CHECK((*store.record(1000))[0] == MetadataView::text("x"));
}
