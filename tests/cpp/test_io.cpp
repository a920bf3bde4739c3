// Index files in the core: the checksum, and saved graphs that come back as
// the same graph, searching and growing exactly as the original does.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"
#include "io/crc32c.hpp"
#include "flat/flat_format.hpp"
#include "hnsw/hnsw_format.hpp"

using namespace tessra;
using namespace hnsw_test;

namespace {

std::vector<char> save(const HNSW& index) {
    std::vector<char> bytes(io::hnsw_file_size(index));
    io::MemorySink sink(bytes.data(), bytes.size());
    io::write_hnsw(index, sink);
    CHECK_EQ(sink.written(), bytes.size());
    return bytes;
}

HNSW load(const std::vector<char>& bytes) {
    io::MemorySource source(bytes.data(), bytes.size());
    return io::read_hnsw(source);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Equal kind and payload, floats bit for bit (so NaN matches NaN).
bool same_value(const Metadata& a, const Metadata& b) {
    if (a.kind() != b.kind()) return false;
    return a.kind() == Metadata::Kind::Float ? same_bits(a.as_float(), b.as_float()) : a == b;
}

// Every stored part equal: vectors bit for bit, levels, runs, records.
void check_same_graph(const HNSW& a, const HNSW& b) {
    CHECK_EQ(a.size(), b.size());
    if (a.size() != b.size()) return;
    for (std::uint64_t id = 0; id < a.size(); ++id) {
        for (std::size_t j = 0; j < a.dim(); ++j) CHECK(same_bits(a.vector(id)[j], b.vector(id)[j]));
        CHECK_EQ(a.level(id), b.level(id));
        CHECK_LIST(a.run(id), b.run(id));
        const auto ra = a.record(id), rb = b.record(id);
        CHECK_EQ(ra.has_value(), rb.has_value());
        if (ra && rb) {
            CHECK_EQ(ra->size(), rb->size());
            for (std::size_t i = 0; i < ra->size() && i < rb->size(); ++i)
                CHECK(same_value((*ra)[i].to_metadata(), (*rb)[i].to_metadata()));
        }
    }
}

void check_same_searches(const HNSW& a, const HNSW& b, SeededRandom& rng, const Filter* filter = nullptr) {
    for (int q = 0; q < 20; ++q) {
        std::vector<double> query(a.dim());
        for (double& x : query) x = rng.unit() * 4 - 2;
        const std::uint64_t k = 1 + rng.below(12);
        std::vector<Candidate> ra, rb;
        const auto ea = a.search(query.data(), query.size(), k, filter, ra);
        const auto eb = b.search(query.data(), query.size(), k, filter, rb);
        CHECK(ea == eb);
        CHECK_LIST(result_ids(ra), result_ids(rb));
        for (std::size_t i = 0; i < ra.size() && i < rb.size(); ++i) CHECK(same_bits(ra[i].distance, rb[i].distance));
    }
}

struct Config {
    std::uint64_t layers;
    Metric metric;
    bool schema;
};

// Small integer components, so equal distances and repeated links are common.
std::vector<double> random_vector(SeededRandom& rng, std::size_t dim) {
    std::vector<double> v(dim);
    for (double& x : v) x = static_cast<double>(rng.below(5)) - 2;
    return v;
}

MetadataRecord random_record(SeededRandom& rng) {
    MetadataRecord record;
    record.push_back(Metadata::text(rng.below(2) ? "red" : "blu\xc3\xa9"));
    record.push_back(Metadata::integer(static_cast<std::int64_t>(rng.below(3)) - 1));
    record.push_back(Metadata::real(rng.below(4) == 0 ? std::nan("") : 0.5 * static_cast<double>(rng.below(3))));
    return record;
}

void insert_random(HNSW& index, SeededRandom& data, RandomSource& levels, int count) {
    for (int i = 0; i < count; ++i) {
        const std::vector<double> v = random_vector(data, index.dim());
        const bool with_record = index.schema() && data.below(3) != 0;
        const MetadataRecord record = with_record ? random_record(data) : MetadataRecord{};
        CHECK(is_none(index.insert(v.data(), v.size(), with_record ? &record : nullptr, levels)));
    }
}

}  // namespace

TEST(crc32c_known_values) {
    CHECK_EQ(io::crc32c_extend(0, "123456789", 9), 0xE3069283u);
    CHECK_EQ(io::crc32c_extend_portable(0, "123456789", 9), 0xE3069283u);
    CHECK_EQ(io::crc32c_extend(0, "", 0), 0u);
    const std::vector<unsigned char> zeros(32, 0), ones(32, 0xFF);
    CHECK_EQ(io::crc32c_extend(0, zeros.data(), 32), 0x8A9136AAu);  // RFC 3720 B.4
    CHECK_EQ(io::crc32c_extend(0, ones.data(), 32), 0x62A8AB43u);
}

TEST(crc32c_hardware_matches_portable_at_every_length_alignment_and_split) {
    SeededRandom rng(7);
    std::vector<unsigned char> data(700);
    for (auto& b : data) b = static_cast<unsigned char>(rng.next_u64());
    for (std::size_t offset = 0; offset < 9; ++offset)
        for (std::size_t length = 0; length + offset <= 300; ++length) {
            const std::uint32_t whole = io::crc32c_extend_portable(0, data.data() + offset, length);
            CHECK_EQ(io::crc32c_extend(0, data.data() + offset, length), whole);
            const std::size_t split = length / 3;
            const std::uint32_t first = io::crc32c_extend(0, data.data() + offset, split);
            CHECK_EQ(io::crc32c_extend(first, data.data() + offset + split, length - split), whole);
        }
}

TEST(saved_graph_loads_as_the_same_graph_and_grows_the_same_way) {
    const Config configs[] = {{1, Metric::Euclidean, false}, {2, Metric::Cosine, true}, {5, Metric::Dot, true},
                              {40, Metric::Euclidean, true}, {0, Metric::Euclidean, false}};
    for (const Config& config : configs) {
        Schema schema;
        if (config.schema) schema = std::vector<std::string>{"colour", "size", "weight"};
        HNSW original(3, config.metric, config.layers, 16, 12, 9, schema);
        SeededRandom data(config.layers * 31 + 1), levels(99);
        insert_random(original, data, levels, 150);
        HNSW loaded = load(save(original));
        check_same_graph(original, loaded);
        CHECK_EQ(loaded.layers(), original.layers());
        CHECK_EQ(loaded.m(), original.m());
        CHECK_EQ(loaded.ef_construction(), original.ef_construction());
        CHECK_EQ(loaded.ef_search(), original.ef_search());
        CHECK(loaded.metric() == original.metric());
        CHECK(loaded.schema() == original.schema());
        SeededRandom queries(5);
        check_same_searches(original, loaded, queries);
        if (config.schema) {
            const Filter filter = Filter::equals("size", Metadata::integer(0));
            check_same_searches(original, loaded, queries, &filter);
        }
        // The same level draws link the same way in both.
        SeededRandom more_a(17), more_b(17), levels_a(3), levels_b(3);
        insert_random(original, more_a, levels_a, 60);
        insert_random(loaded, more_b, levels_b, 60);
        check_same_graph(original, loaded);
        CHECK(save(original) == save(loaded));
    }
}

TEST(runs_of_nodes_found_on_several_layers_survive_a_round_trip) {
    HNSW index = make_index(1, 2);
    ScriptedRandom rng{word_for_level(2, 1)};
    CHECK(is_none(insert(index, {0.0}, rng)));
    CHECK(is_none(insert(index, {1.0}, rng)));
    // Found on both layers, each neighbour is linked once.
    CHECK_LIST(run(index, 1), ids({0}));
    HNSW loaded = load(save(index));
    check_same_graph(index, loaded);
}

TEST(empty_indexes_round_trip) {
    HNSW hnsw(4, Metric::Dot, 7, 3, 2, 1, std::vector<std::string>{});
    HNSW loaded = load(save(hnsw));
    CHECK_EQ(loaded.size(), 0u);
    CHECK(loaded.schema() == hnsw.schema());
    Flat flat(6, Metric::Cosine);
    std::vector<char> bytes(io::flat_file_size(flat));
    io::MemorySink sink(bytes.data(), bytes.size());
    io::write_flat(flat, sink);
    io::MemorySource source(bytes.data(), bytes.size());
    const Flat back = io::read_flat(source);
    CHECK_EQ(back.dim, 6u);
    CHECK(back.metric == Metric::Cosine);
    CHECK_EQ(back.size(), 0u);
}

// Every truncation and every single flipped bit is refused as a format error.
TEST(damaged_files_are_refused) {
    HNSW index(2, Metric::Euclidean, 3, 16, 8, 8, std::vector<std::string>{"tag"});
    SeededRandom data(1), levels(2);
    insert_random(index, data, levels, 0);
    const MetadataRecord record{Metadata::text("x")};
    for (int i = 0; i < 5; ++i) {
        const std::vector<double> v = random_vector(data, 2);
        CHECK(is_none(index.insert(v.data(), v.size(), i % 2 ? &record : nullptr, levels)));
    }
    const std::vector<char> bytes = save(index);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        io::MemorySource source(bytes.data(), size);
        bool refused = false;
        try {
            io::read_hnsw(source);
        } catch (const io::FormatError&) {
            refused = true;
        }
        CHECK(refused);
    }
    for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        std::vector<char> damaged = bytes;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        bool refused = false;
        try {
            load(damaged);
        } catch (const io::FormatError&) {
            refused = true;
        }
        CHECK(refused);
    }
}
