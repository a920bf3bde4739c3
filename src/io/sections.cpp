#include "io/sections.hpp"

#include <limits>
#include <vector>

#include "common/fault.hpp"
#include "io/large_buffer.hpp"

namespace tessra::io {
namespace {

constexpr std::uint8_t kNoRecord = 0, kRecord = 1;
enum ValueKind : std::uint8_t { kText = 0, kInteger = 1, kReal = 2 };

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF
// (what a Python str encodes to).
bool valid_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t extra;
        std::uint32_t code, min;
        if ((c & 0xE0) == 0xC0) extra = 1, code = c & 0x1F, min = 0x80;
        else if ((c & 0xF0) == 0xE0) extra = 2, code = c & 0x0F, min = 0x800;
        else if ((c & 0xF8) == 0xF0) extra = 3, code = c & 0x07, min = 0x10000;
        else return false;
        if (static_cast<std::size_t>(end - p) <= extra) return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        p += extra + 1;
    }
    return true;
}

std::uint64_t text_size(std::string_view text) { return 8 + text.size(); }

std::uint64_t value_size(const MetadataView& value) {
    return 1 + (value.kind() == Metadata::Kind::Str ? text_size(value.as_text()) : 8);
}

}  // namespace

std::uint32_t metric_code(Metric metric) {
    switch (metric) {
        case Metric::Euclidean: return 0;
        case Metric::Cosine: return 1;
        case Metric::Dot: return 2;
    }
    TESSRA_FAULT("Unknown metric");
}

Metric metric_from_code(std::uint32_t code) {
    return code == 0 ? Metric::Euclidean : code == 1 ? Metric::Cosine : Metric::Dot;
}

void write_graph_parameters(IndexWriter& out, const GraphParameters& parameters) {
    out.begin(Section::Parameters, kGraphParametersSize);
    out.put_value<std::uint64_t>(parameters.dim);
    out.put_value<std::uint32_t>(metric_code(parameters.metric));
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(parameters.layers);
    out.put_value<std::uint64_t>(parameters.m);
    out.put_value<std::uint64_t>(parameters.ef_construction);
    out.put_value<std::uint64_t>(parameters.ef_search);
    out.put_value<std::uint64_t>(parameters.count);
    out.end();
}

GraphParameters read_graph_parameters(IndexReader& in) {
    GraphParameters parameters;
    in.begin(Section::Parameters);
    if (in.left() != kGraphParametersSize) in.fail("unexpected length");
    parameters.dim = in.get_value<std::uint64_t>();
    const auto metric = in.get_value<std::uint32_t>();
    const auto reserved = in.get_value<std::uint32_t>();
    parameters.layers = in.get_value<std::uint64_t>();
    parameters.m = in.get_value<std::uint64_t>();
    parameters.ef_construction = in.get_value<std::uint64_t>();
    parameters.ef_search = in.get_value<std::uint64_t>();
    parameters.count = in.get_value<std::uint64_t>();
    if (parameters.dim == 0) in.fail("dimension 0");
    if (parameters.dim > std::numeric_limits<std::size_t>::max()) in.fail("dimension too large");
    if (metric > 2) in.fail("unknown metric code " + std::to_string(metric));
    if (reserved != 0) in.fail("reserved field is " + std::to_string(reserved));
    parameters.metric = metric_from_code(metric);
    return parameters;
}

void write_vectors(IndexWriter& out, const double* values, std::uint64_t count, std::uint64_t dim) {
    out.begin(Section::Vectors, count * dim * sizeof(double));
    if (count * dim > 0) out.put_array(values, static_cast<std::size_t>(count * dim));
    out.end();
}

void read_vectors(IndexReader& in, std::uint64_t count, std::uint64_t dim, std::vector<double>& values) {
    in.begin(Section::Vectors);
    // count * dim * 8 must be the section length; checked without overflow.
    if (dim != 0 && (count > in.left() / sizeof(double) / dim || count * dim * sizeof(double) != in.left()))
        in.fail("length does not match " + std::to_string(count) + " vectors of dimension " + std::to_string(dim));
    if (dim == 0 && in.left() != 0) in.fail("unexpected length");
    resize_for_filling(values, static_cast<std::size_t>(count * dim));
    in.get_array(values.data(), values.size());
    in.end();
}

void put_text(IndexWriter& out, std::string_view text) {
    out.put_value<std::uint64_t>(text.size());
    out.put(text.data(), text.size());
}

std::string get_text(IndexReader& in) {
    const auto size = in.get_value<std::uint64_t>();
    if (size > in.left()) in.fail("text runs past the end of the section");
    std::string text(static_cast<std::size_t>(size), '\0');
    in.get(text.data(), text.size());
    if (!valid_utf8(text)) in.fail("text is not valid UTF-8");
    return text;
}

// ---------------------------------------------------------------- schema

std::uint64_t schema_size(const Schema& schema) {
    std::uint64_t size = 4 + 4 + 8;
    if (schema)
        for (const std::string& name : *schema) size += text_size(name);
    return size;
}

void write_schema(IndexWriter& out, const Schema& schema) {
    out.begin(Section::Schema, schema_size(schema));
    out.put_value<std::uint32_t>(schema ? 1 : 0);
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(schema ? schema->size() : 0);
    if (schema)
        for (const std::string& name : *schema) put_text(out, name);
    out.end();
}

Schema read_schema(IndexReader& in) {
    in.begin(Section::Schema);
    const auto present = in.get_value<std::uint32_t>();
    const auto reserved = in.get_value<std::uint32_t>();
    const auto names = in.get_value<std::uint64_t>();
    if (present > 1 || reserved != 0) in.fail("unknown flags");
    if (present == 0 && names != 0) in.fail("attribute names without a schema");
    if (names > in.left() / 8) in.fail("more attribute names than the section holds");
    Schema schema;
    if (present == 1) {
        schema.emplace();
        schema->reserve(static_cast<std::size_t>(names));
        for (std::uint64_t i = 0; i < names; ++i) schema->push_back(get_text(in));
    }
    in.end();
    return schema;
}

// ---------------------------------------------------------------- records

std::uint64_t records_size(const RecordStore& records, std::size_t nodes) {
    std::uint64_t size = 0;
    for (std::size_t id = 0; id < nodes; ++id) {
        size += 1;
        if (const auto record = records.record(id))
            for (std::size_t i = 0; i < record->size(); ++i) size += value_size((*record)[i]);
    }
    return size;
}

void write_records(IndexWriter& out, const RecordStore& records, std::size_t nodes, const Schema& schema) {
    out.begin(Section::Records, records_size(records, nodes));
    const std::size_t record_size = schema ? schema->size() : 0;
    for (std::size_t id = 0; id < nodes; ++id) {
        const auto record = records.record(id);
        if (record && (!schema || record->size() != record_size))
            TESSRA_FAULT("Metadata record does not match the schema");
        out.put_value<std::uint8_t>(record ? kRecord : kNoRecord);
        if (!record) continue;
        for (std::size_t i = 0; i < record->size(); ++i) {
            const MetadataView value = (*record)[i];
            switch (value.kind()) {
                case Metadata::Kind::Str:
                    out.put_value<std::uint8_t>(kText);
                    put_text(out, value.as_text());
                    break;
                case Metadata::Kind::Int:
                    out.put_value<std::uint8_t>(kInteger);
                    out.put_value<std::int64_t>(value.as_int());
                    break;
                case Metadata::Kind::Float:
                    out.put_value<std::uint8_t>(kReal);
                    out.put_value<double>(value.as_float());
                    break;
            }
        }
    }
    out.end();
}

RecordStore read_records(IndexReader& in, std::uint64_t nodes, const Schema& schema) {
    in.begin(Section::Records);
    RecordStore records;
    if (nodes > in.left()) in.fail("length does not match " + std::to_string(nodes) + " nodes");
    const std::size_t record_size = schema ? schema->size() : 0;
    bool room = false;
    for (std::uint64_t id = 0; id < nodes; ++id) {
        const auto flag = in.get_value<std::uint8_t>();
        if (flag > kRecord) in.fail("node " + std::to_string(id) + " has record flag " + std::to_string(flag));
        if (flag == kNoRecord) {
            records.append(nullptr);
            continue;
        }
        if (!schema) in.fail("node " + std::to_string(id) + " has a record but the index has no schema");
        // At the first record, room for all that can follow: a value takes at
        // least 9 bytes in the file, a text 5 more in the file than in the
        // store. Reserved memory the records do not fill is never touched, so
        // the peak follows what the file holds, without regrowing copies.
        if (!room) {
            room = true;
            records.reserve(static_cast<std::size_t>(nodes - id), static_cast<std::size_t>(in.left() / 9),
                            static_cast<std::size_t>(in.left()));
        }
        records.begin_record();
        for (std::size_t i = 0; i < record_size; ++i) {
            const auto kind = in.get_value<std::uint8_t>();
            switch (kind) {
                case kText: records.push_text(get_text(in)); break;
                case kInteger: records.push_integer(in.get_value<std::int64_t>()); break;
                case kReal: records.push_real(in.get_value<double>()); break;
                default:
                    in.fail("node " + std::to_string(id) + " has a value of unknown kind " + std::to_string(kind));
            }
        }
        records.end_record();
    }
    in.end();
    return records;
}

// ---------------------------------------------------------------- generator

void write_generator(IndexWriter& out, const SeededGenerator* generator) {
    out.begin(Section::Generator, kGeneratorSize);
    out.put_value<std::uint32_t>(generator != nullptr ? 1 : 0);
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(generator != nullptr ? generator->seed() : 0);
    for (int i = 0; i < 4; ++i) out.put_value<std::uint64_t>(generator != nullptr ? generator->state()[i] : 0);
    out.end();
}

std::optional<SeededGenerator> read_generator(IndexReader& in) {
    in.begin(Section::Generator);
    if (in.left() != kGeneratorSize) in.fail("unexpected length");
    const auto present = in.get_value<std::uint32_t>();
    const auto reserved = in.get_value<std::uint32_t>();
    const auto seed = in.get_value<std::uint64_t>();
    SeededGenerator::State state;
    for (auto& word : state) word = in.get_value<std::uint64_t>();
    const bool zero_state = (state[0] | state[1] | state[2] | state[3]) == 0;
    if (present > 1 || reserved != 0) in.fail("unknown flags");
    if (present == 0 && (seed != 0 || !zero_state)) in.fail("a generator state without a generator");
    // xoshiro256** never reaches the all-zero state from a seed.
    if (present == 1 && zero_state) in.fail("the generator's state is all zero");
    in.end();
    if (present == 0) return std::nullopt;
    return SeededGenerator(seed, state);
}

// ---------------------------------------------------------------- removed ids

std::uint64_t removed_size(const RemovedSet& removed) { return 8 + 8 * static_cast<std::uint64_t>(removed.size()); }

void write_removed(IndexWriter& out, const RemovedSet& removed) {
    const std::vector<std::uint64_t> ids = removed.ids();
    out.begin(Section::Removed, removed_size(removed));
    out.put_value<std::uint64_t>(ids.size());
    out.put_array(ids.data(), ids.size());
    out.end();
}

RemovedSet read_removed(IndexReader& in, std::uint64_t assigned) {
    in.begin(Section::Removed);
    const auto count = in.get_value<std::uint64_t>();
    if (count > in.left() / 8 || count * 8 != in.left()) in.fail("length does not match " + std::to_string(count) + " ids");
    std::vector<std::uint64_t> ids(static_cast<std::size_t>(count));
    in.get_array(ids.data(), ids.size());
    // Strictly increasing and below the id count: each id removed once.
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] >= assigned)
            in.fail("removed id " + std::to_string(ids[i]) + " of " + std::to_string(assigned) + " ids");
        if (i > 0 && ids[i] <= ids[i - 1]) in.fail("removed ids out of order at " + std::to_string(ids[i]));
    }
    in.end();
    RemovedSet removed;
    removed.remove(ids);
    return removed;
}

}  // namespace tessra::io
