// PyHNSW files of the pruned graph: the full graph's sections, with the
// neighbour lists of every layer in place of the runs.
#include "pruned/pruned_format.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "io/sections.hpp"
#include "pruned/levels.hpp"

namespace tessra::io {
namespace {

std::uint64_t lists_size(const PrunedHNSW& index) {
    std::uint64_t size = 0;
    for (std::uint64_t id = 0; id < index.size(); ++id)
        for (std::uint64_t layer = 0; layer <= index.level(id); ++layer)
            size += 4 + 4 * static_cast<std::uint64_t>(index.neighbours(id, layer).size());
    return size;
}

std::string node(std::uint64_t id) { return "node " + std::to_string(id); }

}  // namespace

std::uint64_t pruned_file_size(const PrunedHNSW& index) {
    const std::uint64_t count = index.size();
    return kHeaderSize + framed_size(kGraphParametersSize) + framed_size(schema_size(index.schema())) +
           framed_size(count * index.dim() * sizeof(double)) + framed_size(count) + framed_size(lists_size(index)) +
           framed_size(records_size(index.records(), count)) + framed_size(kGeneratorSize) +
           framed_size(removed_size(index.removed()));
}

void write_pruned(const PrunedHNSW& index, Sink& sink) {
    const std::uint64_t count = index.size();
    IndexWriter out(sink, IndexKind::PrunedHNSW);

    write_graph_parameters(out, {index.dim(), index.metric(), index.layers(), index.m(), index.ef_construction(),
                                 index.ef_search(), count});
    write_schema(out, index.schema());
    write_vectors(out, count > 0 ? index.vector(0) : nullptr, count, index.dim());

    out.begin(Section::Levels, count);
    for (std::uint64_t id = 0; id < count; ++id) out.put_value<std::uint8_t>(static_cast<std::uint8_t>(index.level(id)));
    out.end();

    out.begin(Section::Lists, lists_size(index));
    for (std::uint64_t id = 0; id < count; ++id) {
        for (std::uint64_t layer = 0; layer <= index.level(id); ++layer) {
            const ListSpan list = index.neighbours(id, layer);
            out.put_value<std::uint32_t>(static_cast<std::uint32_t>(list.size()));
            out.put_array(list.data(), list.size());
        }
    }
    out.end();

    write_records(out, index.records(), count, index.schema());
    write_generator(out, index.generator());
    write_removed(out, index.removed());
}

PrunedHNSW read_pruned_sections(IndexReader& in) {
    PrunedHNSW::SavedState state;

    const GraphParameters parameters = read_graph_parameters(in);
    const std::uint64_t count = parameters.count;
    if (parameters.layers == 0) in.fail("no layers");
    if (parameters.m < PrunedHNSW::kMinM || parameters.m > PrunedHNSW::kMaxM)
        in.fail("m of " + std::to_string(parameters.m));
    if (count > PrunedHNSW::kMaxNodes) in.fail("more nodes than an index can number");
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
    if (in.left() != count) in.fail("length does not match " + std::to_string(count) + " nodes");
    state.levels.resize(static_cast<std::size_t>(count));
    in.get_array(state.levels.data(), state.levels.size());
    // The smallest random number a draw can take gives the highest level.
    const std::uint64_t highest = draw_pruned_level(state.m, state.layers, 0);
    std::uint64_t upper_lists = 0;
    for (std::uint64_t id = 0; id < count; ++id) {
        if (state.levels[id] > highest)
            in.fail(node(id) + " has level " + std::to_string(state.levels[id]) + " (at most " +
                    std::to_string(highest) + ")");
        upper_lists += state.levels[id];
    }
    in.end();

    in.begin(Section::Lists);
    state.lists = NeighbourLists(static_cast<std::size_t>(state.m));
    state.lists.reserve(static_cast<std::size_t>(count), static_cast<std::size_t>(upper_lists));
    // A mark per node seen in the list being read, so a repeat is found in one pass.
    std::vector<std::uint32_t> seen(static_cast<std::size_t>(count), UINT32_MAX);
    std::vector<std::uint32_t> ids(2 * static_cast<std::size_t>(state.m));
    std::uint32_t list_number = 0;
    for (std::uint64_t id = 0; id < count; ++id) {
        const std::uint64_t level = state.levels[id];
        state.lists.add_node(level);
        for (std::uint64_t layer = 0; layer <= level; ++layer, ++list_number) {
            const auto length = in.get_value<std::uint32_t>();
            if (length > state.lists.capacity(layer))
                in.fail(node(id) + " has " + std::to_string(length) + " neighbours on layer " + std::to_string(layer));
            if (layer == 0 && id > 0 && length == 0) in.fail(node(id) + " has no neighbour on layer 0");
            in.get_array(ids.data(), length);
            for (std::uint32_t i = 0; i < length; ++i) {
                const std::uint32_t neighbour = ids[i];
                if (neighbour >= count)
                    in.fail(node(id) + " links to node " + std::to_string(neighbour) + " of " + std::to_string(count));
                if (neighbour == id) in.fail(node(id) + " links to itself");
                if (state.levels[neighbour] < layer)
                    in.fail(node(id) + " links on layer " + std::to_string(layer) + " to node " +
                            std::to_string(neighbour) + ", which is not on it");
                if (seen[neighbour] == list_number)
                    in.fail(node(id) + " links to node " + std::to_string(neighbour) + " twice on layer " +
                            std::to_string(layer));
                seen[neighbour] = list_number;
            }
            state.lists.set(id, layer, ids.data(), length, 0);
        }
    }
    in.end();

    state.records = read_records(in, count, state.schema);
    state.generator = read_generator(in);
    state.removed = read_removed(in, count);
    in.finish();
    return PrunedHNSW::restore(std::move(state));
}

}  // namespace tessra::io
