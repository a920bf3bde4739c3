// PyHNSW files of the full graph: parameters, schema, vectors, levels, runs
// and metadata records, each section as the index holds it in memory, then
// (version 2 on) the level generator and the removed ids.
#include "hnsw/hnsw_format.hpp"

#include <algorithm>

#include "hnsw/graph_invariants.hpp"
#include "io/sections.hpp"

namespace tessra::io {
namespace {

std::uint64_t runs_size(const HNSW& hnsw) {
    std::uint64_t size = 0;
    for (std::uint64_t id = 0; id < hnsw.size(); ++id) size += 8 + 4 * static_cast<std::uint64_t>(hnsw.run(id).size());
    return size;
}

}  // namespace

std::uint64_t hnsw_file_size(const HNSW& hnsw) {
    const std::uint64_t count = hnsw.size();
    return kHeaderSize + framed_size(kGraphParametersSize) + framed_size(schema_size(hnsw.schema())) +
           framed_size(count * hnsw.dim() * sizeof(double)) + framed_size(count * 2) + framed_size(runs_size(hnsw)) +
           framed_size(records_size(hnsw.records(), count)) + framed_size(kGeneratorSize) +
           framed_size(removed_size(hnsw.removed()));
}

void write_hnsw(const HNSW& hnsw, Sink& sink) {
    const std::uint64_t count = hnsw.size();
    IndexWriter out(sink, IndexKind::HNSW);

    write_graph_parameters(out, {hnsw.dim(), hnsw.metric(), hnsw.layers(), hnsw.m(), hnsw.ef_construction(),
                                 hnsw.ef_search(), count});
    write_schema(out, hnsw.schema());
    write_vectors(out, count > 0 ? hnsw.vector(0) : nullptr, count, hnsw.dim());

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

    write_records(out, hnsw.records(), count, hnsw.schema());
    write_generator(out, hnsw.generator());
    write_removed(out, hnsw.removed());
}

HNSW read_hnsw(Source& source) {
    IndexReader in(source, "PyHNSW");
    if (in.kind() != IndexKind::HNSW) throw FormatError("File holds a pruned graph, not a full one");
    return read_hnsw_sections(in);
}

HNSW read_hnsw_sections(IndexReader& in) {
    HNSW::SavedState state;

    const GraphParameters parameters = read_graph_parameters(in);
    const std::uint64_t count = parameters.count;
    if (count > HNSW::kMaxNodes) in.fail("more nodes than an index can number");
    in.end();
    state.dim = static_cast<std::size_t>(parameters.dim);
    state.metric = parameters.metric;
    state.layers = parameters.layers;
    state.m = parameters.m;
    state.ef_construction = parameters.ef_construction;
    state.ef_search = parameters.ef_search;

    state.schema = read_schema(in);
    read_vectors(in, count, parameters.dim, state.vectors);

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

    state.records = read_records(in, count, state.schema);
    if (in.version() >= 2) {
        state.generator = read_generator(in);
        state.removed = read_removed(in, count);
    }
    in.finish();
    return HNSW::restore(std::move(state));
}

}  // namespace tessra::io
