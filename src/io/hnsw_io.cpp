// PyHNSW files: parameters, schema, vectors, levels, runs and metadata
// records, each section as the index holds it in memory.
#include <algorithm>
#include <limits>

#include "common/fault.hpp"
#include "hnsw/graph_invariants.hpp"
#include "io/index_file.hpp"
#include "io/index_io.hpp"
#include "io/large_buffer.hpp"

namespace tessra::io {
namespace {

constexpr std::uint64_t kHNSWParameters = 8 + 4 + 4 + 5 * 8;
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

std::uint64_t text_size(const std::string& text) { return 8 + text.size(); }

std::uint64_t value_size(const MetadataView& value) {
    return 1 + (value.kind() == Metadata::Kind::Str ? 8 + value.as_text().size() : 8);
}

std::uint64_t schema_size(const Schema& schema) {
    std::uint64_t size = 4 + 4 + 8;
    if (schema)
        for (const std::string& name : *schema) size += text_size(name);
    return size;
}

std::uint64_t runs_size(const HNSW& hnsw) {
    std::uint64_t size = 0;
    for (std::uint64_t id = 0; id < hnsw.size(); ++id) size += 8 + 4 * static_cast<std::uint64_t>(hnsw.run(id).size());
    return size;
}

std::uint64_t records_size(const HNSW& hnsw) {
    std::uint64_t size = 0;
    for (std::uint64_t id = 0; id < hnsw.size(); ++id) {
        size += 1;
        if (const auto record = hnsw.record(id))
            for (std::size_t i = 0; i < record->size(); ++i) size += value_size((*record)[i]);
    }
    return size;
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

Metric metric_from_code(std::uint32_t code) {
    return code == 0 ? Metric::Euclidean : code == 1 ? Metric::Cosine : Metric::Dot;
}

}  // namespace

std::uint64_t hnsw_file_size(const HNSW& hnsw) {
    const std::uint64_t count = hnsw.size();
    return kHeaderSize + framed_size(kHNSWParameters) + framed_size(schema_size(hnsw.schema())) +
           framed_size(count * hnsw.dim() * sizeof(double)) + framed_size(count * 2) + framed_size(runs_size(hnsw)) +
           framed_size(records_size(hnsw));
}

void write_hnsw(const HNSW& hnsw, Sink& sink) {
    const std::uint64_t count = hnsw.size();
    IndexWriter out(sink, IndexKind::HNSW);

    out.begin(Section::Parameters, kHNSWParameters);
    out.put_value<std::uint64_t>(hnsw.dim());
    out.put_value<std::uint32_t>(metric_code(hnsw.metric()));
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(hnsw.layers());
    out.put_value<std::uint64_t>(hnsw.m());
    out.put_value<std::uint64_t>(hnsw.ef_construction());
    out.put_value<std::uint64_t>(hnsw.ef_search());
    out.put_value<std::uint64_t>(count);
    out.end();

    const Schema& schema = hnsw.schema();
    out.begin(Section::Schema, schema_size(schema));
    out.put_value<std::uint32_t>(schema ? 1 : 0);
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(schema ? schema->size() : 0);
    if (schema)
        for (const std::string& name : *schema) put_text(out, name);
    out.end();

    // The vector store is one block, node after node.
    out.begin(Section::Vectors, count * hnsw.dim() * sizeof(double));
    if (count > 0) out.put_array(hnsw.vector(0), count * hnsw.dim());
    out.end();

    out.begin(Section::Levels, count * 2);
    for (std::uint64_t id = 0; id < count; ++id)
        out.put_value<std::uint16_t>(static_cast<std::uint16_t>(std::min<std::uint64_t>(hnsw.level(id), UINT16_MAX)));
    out.end();

    out.begin(Section::Runs, runs_size(hnsw));
    for (std::uint64_t id = 0; id < count; ++id) {
        const auto& run = hnsw.run(id);
        out.put_value<std::uint64_t>(run.size());
        out.put_array(run.data(), run.size());
    }
    out.end();

    out.begin(Section::Records, records_size(hnsw));
    const std::size_t record_size = schema ? schema->size() : 0;
    for (std::uint64_t id = 0; id < count; ++id) {
        const auto record = hnsw.record(id);
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

HNSW read_hnsw(Source& source) {
    IndexReader in(source, IndexKind::HNSW);
    HNSW::SavedState state;

    in.begin(Section::Parameters);
    if (in.left() != kHNSWParameters) in.fail("unexpected length");
    const auto dim = in.get_value<std::uint64_t>();
    const auto metric = in.get_value<std::uint32_t>();
    const auto reserved = in.get_value<std::uint32_t>();
    state.layers = in.get_value<std::uint64_t>();
    state.m = in.get_value<std::uint64_t>();
    state.ef_construction = in.get_value<std::uint64_t>();
    state.ef_search = in.get_value<std::uint64_t>();
    const auto count = in.get_value<std::uint64_t>();
    if (dim == 0) in.fail("dimension 0");
    if (dim > std::numeric_limits<std::size_t>::max()) in.fail("dimension too large");
    if (metric > 2) in.fail("unknown metric code " + std::to_string(metric));
    if (reserved != 0) in.fail("reserved field is " + std::to_string(reserved));
    if (count > HNSW::kMaxNodes) in.fail("more nodes than an index can number");
    in.end();
    state.dim = static_cast<std::size_t>(dim);
    state.metric = metric_from_code(metric);

    in.begin(Section::Schema);
    const auto present = in.get_value<std::uint32_t>();
    const auto schema_reserved = in.get_value<std::uint32_t>();
    const auto names = in.get_value<std::uint64_t>();
    if (present > 1 || schema_reserved != 0) in.fail("unknown flags");
    if (present == 0 && names != 0) in.fail("attribute names without a schema");
    if (names > in.left() / 8) in.fail("more attribute names than the section holds");
    if (present == 1) {
        state.schema.emplace();
        state.schema->reserve(static_cast<std::size_t>(names));
        for (std::uint64_t i = 0; i < names; ++i) state.schema->push_back(get_text(in));
    }
    in.end();

    in.begin(Section::Vectors);
    if (count > in.left() / sizeof(double) / dim || count * dim * sizeof(double) != in.left())
        in.fail("length does not match " + std::to_string(count) + " vectors of dimension " + std::to_string(dim));
    resize_for_filling(state.vectors, static_cast<std::size_t>(count * dim));
    in.get_array(state.vectors.data(), state.vectors.size());
    in.end();

    in.begin(Section::Levels);
    if (in.left() != count * 2) in.fail("length does not match " + std::to_string(count) + " nodes");
    state.levels.resize(static_cast<std::size_t>(count));
    in.get_array(state.levels.data(), state.levels.size());
    if (auto problem = check_levels(state.levels, state.layers)) in.fail(*problem);
    in.end();

    // Each run is read straight into its place in the table the index keeps,
    // and checked against the runs before it.
    in.begin(Section::Runs);
    state.runs.reserve(static_cast<std::size_t>(count));
    RunChecker checker(state.levels, state.layers, state.ef_construction);
    for (std::uint64_t id = 0; id < count; ++id) {
        const auto length = in.get_value<std::uint64_t>();
        if (length > in.left() / 4) in.fail("run of node " + std::to_string(id) + " runs past the end of the section");
        state.runs.add_node();
        std::uint32_t* entries = state.runs.allocate_run(static_cast<std::size_t>(id), static_cast<std::size_t>(length));
        in.get_array(entries, static_cast<std::size_t>(length));
        if (auto problem = checker.check_run(id, state.runs.get(static_cast<std::size_t>(id)), state.runs))
            in.fail(*problem);
    }
    if (auto problem = checker.finish(state.runs)) in.fail(*problem);
    in.end();

    in.begin(Section::Records);
    if (count > in.left()) in.fail("length does not match " + std::to_string(count) + " nodes");
    const std::size_t record_size = state.schema ? state.schema->size() : 0;
    bool room = false;
    for (std::uint64_t id = 0; id < count; ++id) {
        const auto flag = in.get_value<std::uint8_t>();
        if (flag > kRecord) in.fail("node " + std::to_string(id) + " has record flag " + std::to_string(flag));
        if (flag == kNoRecord) {
            state.records.append(nullptr);
            continue;
        }
        if (!state.schema) in.fail("node " + std::to_string(id) + " has a record but the index has no schema");
        // At the first record, room for all that can follow: a value takes at
        // least 9 bytes in the file, a text 5 more in the file than in the
        // store. Reserved memory the records do not fill is never touched, so
        // the peak follows what the file holds, without regrowing copies.
        if (!room) {
            room = true;
            state.records.reserve(static_cast<std::size_t>(count - id), static_cast<std::size_t>(in.left() / 9),
                                  static_cast<std::size_t>(in.left()));
        }
        state.records.begin_record();
        for (std::size_t i = 0; i < record_size; ++i) {
            const auto kind = in.get_value<std::uint8_t>();
            switch (kind) {
                case kText: state.records.push_text(get_text(in)); break;
                case kInteger: state.records.push_integer(in.get_value<std::int64_t>()); break;
                case kReal: state.records.push_real(in.get_value<double>()); break;
                default:
                    in.fail("node " + std::to_string(id) + " has a value of unknown kind " + std::to_string(kind));
            }
        }
        state.records.end_record();
    }
    in.end();
    in.finish();
    return HNSW::restore(std::move(state));
}

}  // namespace tessra::io
