// PyFlat files: parameters (dim, metric, vector count), then the vectors.
#include "common/fault.hpp"
#include "io/index_file.hpp"
#include "io/index_io.hpp"
#include "io/large_buffer.hpp"

namespace tessra::io {
namespace {

constexpr std::uint64_t kFlatParameters = 8 + 4 + 4 + 8;

}  // namespace

std::uint32_t metric_code(Metric metric) {
    switch (metric) {
        case Metric::Euclidean: return 0;
        case Metric::Cosine: return 1;
        case Metric::Dot: return 2;
    }
    TESSRA_FAULT("Unknown metric");
}

std::uint64_t flat_file_size(const Flat& flat) {
    return kHeaderSize + framed_size(kFlatParameters) + framed_size(flat.vector_store.size() * sizeof(double));
}

void write_flat(const Flat& flat, Sink& sink) {
    IndexWriter out(sink, IndexKind::Flat);
    out.begin(Section::Parameters, kFlatParameters);
    out.put_value<std::uint64_t>(flat.dim);
    out.put_value<std::uint32_t>(metric_code(flat.metric));
    out.put_value<std::uint32_t>(0);
    out.put_value<std::uint64_t>(flat.size());
    out.end();
    out.begin(Section::Vectors, flat.vector_store.size() * sizeof(double));
    out.put_array(flat.vector_store.data(), flat.vector_store.size());
    out.end();
}

Flat read_flat(Source& source) {
    IndexReader in(source, IndexKind::Flat);
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

    Flat flat(dim, metric == 0 ? Metric::Euclidean : metric == 1 ? Metric::Cosine : Metric::Dot);
    in.begin(Section::Vectors);
    // count * dim * 8 must be the section length; checked without overflow.
    if (dim != 0 && (count > in.left() / sizeof(double) / dim || count * dim * sizeof(double) != in.left()))
        in.fail("length does not match " + std::to_string(count) + " vectors of dimension " + std::to_string(dim));
    if (dim == 0 && in.left() != 0) in.fail("unexpected length");
    resize_for_filling(flat.vector_store, static_cast<std::size_t>(count * dim));
    in.get_array(flat.vector_store.data(), flat.vector_store.size());
    in.end();
    in.finish();
    // Sketches are derived from the vectors: made again, as inserting them would.
    flat.sketches.update(flat.metric, flat.vector_store.data(), flat.size(), flat.dim);
    return flat;
}

}  // namespace tessra::io
