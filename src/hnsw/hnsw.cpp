#include "hnsw/hnsw.hpp"

#include "hnsw/level_draw.hpp"

namespace tessra {

const char* hnsw_error_name(HNSWError error) {
    switch (error) {
        case HNSWError::InvalidEF: return "InvalidEF";
        case HNSWError::InvalidLayer: return "InvalidLayer";
        case HNSWError::NoSchema: return "NoSchema";
        case HNSWError::EmptySchema: return "EmptySchema";
        case HNSWError::AttributeNotFound: return "AttributeNotFound";
        case HNSWError::EmptyVectors: return "EmptyVectors";
        case HNSWError::InvalidNodeID: return "InvalidNodeID";
    }
    return "Unknown";
}

std::optional<Metric> hnsw_metric_from_name(std::string_view name) {
    if (name == "euclidean") return Metric::Euclidean;
    if (name == "angular") return Metric::Cosine;
    if (name == "inner_product") return Metric::Dot;
    return std::nullopt;
}

std::optional<RemovedSet::Refused> HNSW::remove(const std::vector<std::uint64_t>& ids) {
    if (auto refused = removed_.check(ids, size())) return refused;
    removed_.remove(ids);
    return std::nullopt;
}

HNSW::HNSW(std::size_t dim, Metric metric, std::uint64_t layers, std::uint64_t m, std::uint64_t ef_construction,
           std::uint64_t ef_search, Schema schema)
    : level_weights_(make_level_weights(layers)),
      schema_(std::move(schema)),
      metric_(metric),
      dim_(dim),
      layers_(layers),
      m_(m),
      ef_construction_(ef_construction),
      ef_search_(ef_search) {}

}  // namespace tessra
