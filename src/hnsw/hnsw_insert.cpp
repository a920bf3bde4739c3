// Insertion: store the node, then link it on its level and every layer below
// with every node the layer search finds, in both directions.
#include <algorithm>
#include <string>

#include "common/fault.hpp"
#include "hnsw/hnsw.hpp"
#include "hnsw/level_draw.hpp"

namespace tessra {

namespace {

void check_vector_length(std::size_t length, std::size_t dim) {
    if (dim == 0) TESSRA_FAULT("HNSW index of dimension 0 cannot store vectors");
    if (length != dim)
        TESSRA_FAULT("Vector length " + std::to_string(length) + " does not match index dimension " +
                     std::to_string(dim));
}

}  // namespace

std::optional<HNSWError> HNSW::insert(const double* vector, std::size_t length, const MetadataRecord* record,
                                      RandomSource& rng) {
    check_vector_length(length, dim_);
    if (size() >= kMaxNodes) TESSRA_FAULT("HNSW index holds the most nodes it can number");

    if (size() == 0) {
        // The first node becomes the entry node on the top layer, for good.
        store_node(vector, layers_ - 1, record);
        sketches_.update(metric_, vector_store_.data(), size(), dim_);
        return std::nullopt;
    }
    const std::uint64_t level = draw_level(level_weights_, layers_, rng);
    // The first linking search is the only step that can fail, and only for a
    // zero beam; refusing here keeps a failed insertion from storing anything.
    if (layers_ >= 1 && ef_construction_ == 0) return HNSWError::InvalidEF;

    const std::uint64_t id = size();
    store_node(vector, level, record);
    sketches_.update(metric_, vector_store_.data(), size(), dim_);
    if (layers_ == 0) return std::nullopt;
    link_node(id, vector, level);
    highest_other_level_ = std::max(highest_other_level_, level);
    return std::nullopt;
}

void HNSW::store_node(const double* vector, std::uint64_t level, const MetadataRecord* record) {
    vector_store_.insert(vector_store_.end(), vector, vector + dim_);
    if (levels_.empty()) first_level_ = level;
    levels_.push_back(static_cast<std::uint16_t>(std::min<std::uint64_t>(level, UINT16_MAX)));
    runs_.add_node();
    records_.append(record);
}

void HNSW::truncate_nodes(std::size_t nodes) {
    if (nodes >= size()) return;
    records_.truncate(nodes);
    runs_.truncate(nodes);
    levels_.resize(nodes);
    vector_store_.resize(nodes * dim_);
    sketches_.truncate(nodes);
}

std::uint64_t HNSW::top_layer(std::uint64_t level) const {
    // Above this node's level and every other node's, node 0 is alone on the
    // layer and a greedy step there returns it: start below that.
    return std::min(layers_ - 1, std::max(level, highest_other_level_));
}

std::size_t HNSW::link_node(std::uint64_t id, const double* vector, std::uint64_t level) {
    thread_local std::vector<Candidate> found;
    std::size_t pairs = 0;
    const QueryDistances distances(metric_, vector, dim_, dim_);
    const SketchQuery sketch = sketches_.insertion_query(vector, vector_store_.data());
    std::uint64_t entry = 0;
    for (std::uint64_t layer = top_layer(level);; --layer) {
        const bool linking = layer <= level;
        if (auto error = knn(entry, distances, linking ? ef_construction_ : 1, layer, nullptr, found, sketch))
            TESSRA_FAULT(std::string("Layer search failed while linking: ") + hnsw_error_name(*error));
        if (!linking) {
            entry = found.front().id;
        } else {
            link_layer(id, found);
            pairs += found.size();
            // The next layer down starts from the new node, whose run now leads to this layer's neighbours.
            entry = id;
        }
        if (layer == 0) break;
    }
    sketches_.record_insertion(sketch);
    return pairs;
}

// A neighbour found on several layers is linked once, on the first, and the
// node is never linked to itself. Repeated entries could not change a search:
// a run scan meets the first occurrence first, which either failed the level
// test (and the repeat fails it again) or was stamped visited (and the repeat
// is skipped), and every node a search expands is already stamped, so its own
// id in its run is skipped too.
void HNSW::link_layer(std::uint64_t id, const std::vector<Candidate>& found) {
    thread_local std::vector<std::uint32_t> fresh;
    fresh.clear();
    const auto node = static_cast<std::uint32_t>(id);
    for (const Candidate& neighbour : found) {
        if (neighbour.id == id) continue;
        // Only this insertion appends `id` to other runs, so a neighbour
        // already linked on a higher layer ends with it.
        const RunSpan run = runs_.get(neighbour.id);
        if (!run.empty() && run.back() == node) continue;
        runs_.append(neighbour.id, node);
        fresh.push_back(static_cast<std::uint32_t>(neighbour.id));
    }
    // Back links first, then the forward list in result order at the end of this node's run.
    runs_.reserve_more(id, fresh.size());
    for (const std::uint32_t neighbour : fresh) runs_.append(id, neighbour);
}

std::optional<HNSWError> HNSW::create(const VectorList& vectors, const std::vector<MetadataRecord>* records,
                                      RandomSource& rng) {
    if (vectors.empty()) return HNSWError::EmptyVectors;
    // Without a schema the records are ignored.
    const bool with_records = records != nullptr && schema_.has_value();
    if (with_records && records->size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (std::size_t i = 0; i < vectors.size(); ++i) check_vector_length(vectors.length(i), dim_);

    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const MetadataRecord* record = with_records ? &(*records)[i] : nullptr;
        if (auto error = insert(vectors.data(i), vectors.length(i), record, rng)) return error;
    }
    return std::nullopt;
}

}  // namespace tessra
