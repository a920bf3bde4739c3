// PyFlat files: parameters (dim, metric, vector count), the vectors, then the
// removed ids (version 2 on).
#include "flat/flat_format.hpp"

#include "io/index_file.hpp"
#include "io/sections.hpp"

namespace tessra::io {
namespace {

constexpr std::uint64_t kFlatParameters = 8 + 4 + 4 + 8;

}  // namespace

std::uint64_t flat_file_size(const Flat& flat) {
    return kHeaderSize + framed_size(kFlatParameters) + framed_size(flat.vector_store.size() * sizeof(double)) +
           framed_size(removed_size(flat.removed));
}

void write_flat(const Flat& flat, Sink& sink) {
    IndexWriter out(sink, IndexKind::Flat);
    out.begin(Section::Parameters, kFlatParameters);
    out.put_value<std::uint64_t>(flat.dim);
    out.put_value<std::uint32_t>(metric_code(flat.metric));
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(flat.size());
    out.end();
    write_vectors(out, flat.vector_store.data(), flat.size(), flat.dim);
    write_removed(out, flat.removed);
}

Flat read_flat(Source& source) {
    IndexReader in(source, "PyFlat");
    in.begin(Section::Parameters);
    if (in.left() != kFlatParameters) in.fail("unexpected length");
    const auto dim = in.get_value<std::uint64_t>();
    const auto metric = in.get_value<std::uint32_t>();
    const auto reserved = in.get_value<std::uint32_t>();
    const auto count = in.get_value<std::uint64_t>();
    if (metric > 2) in.fail("unknown metric code " + std::to_string(metric));
    if (reserved != 0) in.fail("reserved field is " + std::to_string(reserved));
    if (dim == 0 && count != 0) in.fail("vectors in an index of dimension 0");
    in.end();

    Flat flat(dim, metric_from_code(metric));
    read_vectors(in, count, dim, flat.vector_store);
    if (in.version() >= 2) flat.removed = read_removed(in, count);
    in.finish();
    // Sketches are derived from the vectors: made again, as inserting them would.
    flat.sketches.update(flat.metric, flat.vector_store.data(), flat.size(), flat.dim);
    return flat;
}

}  // namespace tessra::io
