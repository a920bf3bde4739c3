// Sections more than one kind of index file holds, written and read the same
// way for each: the graphs' parameters, the vector store, texts, the schema,
// metadata records, the level generator and the removed ids. Layouts: docs/format.md. Readers check every count against
// the bytes the section holds before allocating for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/random.hpp"
#include "common/removed_set.hpp"
#include "io/index_file.hpp"
#include "metadata/metadata.hpp"
#include "metadata/record_store.hpp"
#include "metrics/metrics.hpp"

namespace tessra::io {

// Metric codes of a parameters section: 0 euclidean, 1 cosine, 2 dot product.
std::uint32_t metric_code(Metric metric);
Metric metric_from_code(std::uint32_t code);  // precondition: code <= 2

// The parameters section of either graph: dim (u64), metric code (u32), a
// reserved u32 of 0, then layers, m, ef_construction, ef_search and the node
// count (u64 each).
struct GraphParameters {
    std::uint64_t dim = 0;
    Metric metric = Metric::Euclidean;
    std::uint64_t layers = 0, m = 0, ef_construction = 0, ef_search = 0, count = 0;
};
constexpr std::uint64_t kGraphParametersSize = 8 + 4 + 4 + 5 * 8;
void write_graph_parameters(IndexWriter& out, const GraphParameters& parameters);
// Reads the section and checks what every graph requires (a dimension from 1
// to what memory can index, a known metric, the reserved field), in that
// order. The section stays open: the caller checks its own rules and the
// count, then ends it.
GraphParameters read_graph_parameters(IndexReader& in);

// The vector store: `count` vectors of `dim` float64 values, node after node.
void write_vectors(IndexWriter& out, const double* values, std::uint64_t count, std::uint64_t dim);
// Fills `values` once the section's length is checked against count x dim.
void read_vectors(IndexReader& in, std::uint64_t count, std::uint64_t dim, std::vector<double>& values);

// A u64 byte length, then that many bytes of well-formed UTF-8.
void put_text(IndexWriter& out, std::string_view text);
std::string get_text(IndexReader& in);

std::uint64_t schema_size(const Schema& schema);
void write_schema(IndexWriter& out, const Schema& schema);
Schema read_schema(IndexReader& in);

// Records of nodes [0, nodes) of `records`, each of the schema's size.
std::uint64_t records_size(const RecordStore& records, std::size_t nodes);
void write_records(IndexWriter& out, const RecordStore& records, std::size_t nodes, const Schema& schema);
RecordStore read_records(IndexReader& in, std::uint64_t nodes, const Schema& schema);

// The index's own level generator, or none.
constexpr std::uint64_t kGeneratorSize = 4 + 4 + 8 + 4 * 8;
void write_generator(IndexWriter& out, const SeededGenerator* generator);
std::optional<SeededGenerator> read_generator(IndexReader& in);

// The removed ids, each below `assigned`.
std::uint64_t removed_size(const RemovedSet& removed);
void write_removed(IndexWriter& out, const RemovedSet& removed);
RemovedSet read_removed(IndexReader& in, std::uint64_t assigned);

}  // namespace tessra::io
