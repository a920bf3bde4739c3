#include "hnsw/py_hnsw_io.hpp"

#include "hnsw/graph_format.hpp"
#include "python/classes.hpp"

namespace tessra::py {
namespace {

const char* metric_name(Metric metric) {
    switch (metric) {
        case Metric::Euclidean: return "euclidean";
        case Metric::Cosine: return "angular";
        case Metric::Dot: return "inner_product";
    }
    return "euclidean";
}

Instance<GraphIndex>* self_of(PyObject* self) { return receiver<GraphIndex>(self, hnsw_type(), "PyHNSW"); }

// Every attribute is fixed at construction, so no borrow is needed to read it.
#define TESSRA_PARAMETER_GETTER(name)                                                                    \
    PyObject* get_##name(PyObject* self, void*) {                                                        \
        Instance<GraphIndex>* index = self_of(self);                                                     \
        if (index == nullptr) return nullptr;                                                            \
        return PyLong_FromUnsignedLongLong(index->record.visit([](const auto& graph) -> std::uint64_t { \
            return graph.name();                                                                         \
        }));                                                                                             \
    }
TESSRA_PARAMETER_GETTER(dim)
TESSRA_PARAMETER_GETTER(layers)
TESSRA_PARAMETER_GETTER(m)
TESSRA_PARAMETER_GETTER(ef_construction)
TESSRA_PARAMETER_GETTER(ef_search)
#undef TESSRA_PARAMETER_GETTER

PyObject* get_metric(PyObject* self, void*) {
    Instance<GraphIndex>* index = self_of(self);
    if (index == nullptr) return nullptr;
    return PyUnicode_FromString(metric_name(index->record.visit([](const auto& graph) { return graph.metric(); })));
}

PyObject* get_graph(PyObject* self, void*) {
    Instance<GraphIndex>* index = self_of(self);
    return index == nullptr ? nullptr : PyUnicode_FromString(index->record.graph_name());
}

PyObject* get_seed(PyObject* self, void*) {
    Instance<GraphIndex>* index = self_of(self);
    if (index == nullptr) return nullptr;
    const SeededGenerator* generator =
        index->record.visit([](const auto& graph) -> const SeededGenerator* { return graph.generator(); });
    if (generator == nullptr) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(generator->seed());
}

// A new list on every read, so callers cannot change the index's schema.
PyObject* get_schema(PyObject* self, void*) {
    Instance<GraphIndex>* index = self_of(self);
    if (index == nullptr) return nullptr;
    const Schema& schema = index->record.visit([](const auto& graph) -> const Schema& { return graph.schema(); });
    if (!schema) Py_RETURN_NONE;
    Ref list(PyList_New(static_cast<Py_ssize_t>(schema->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < schema->size(); ++i) {
        const std::string& name = (*schema)[i];
        PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.release();
}

}  // namespace

PyObject* hnsw_repr(PyObject* self) {
    return repr_of<GraphIndex>(self, [](const GraphIndex& index) {
        return index.visit([&](const auto& graph) {
            std::string text = "dim=" + std::to_string(graph.dim()) + ", metric='" + metric_name(graph.metric()) +
                               "', graph='" + index.graph_name() + "', ";
            // The full graph takes no m; its layer count is what shapes it.
            text += index.pruned() ? "m=" + std::to_string(graph.m()) : "layers=" + std::to_string(graph.layers());
            return text + ", ef_construction=" + std::to_string(graph.ef_construction()) +
                   ", ef_search=" + std::to_string(graph.ef_search());
        });
    });
}

PyTypeObject* Persistence<GraphIndex>::type() { return hnsw_type(); }
std::uint64_t Persistence<GraphIndex>::file_size(const GraphIndex& index) { return io::graph_file_size(index); }
void Persistence<GraphIndex>::write(const GraphIndex& index, io::Sink& sink) { io::write_graph(index, sink); }
GraphIndex Persistence<GraphIndex>::read(io::Source& source) { return io::read_graph(source); }

PyGetSetDef hnsw_attributes[] = {
    {"dim", get_dim, nullptr, "The dimension of the stored vectors.", nullptr},
    {"metric", get_metric, nullptr, "The metric: \"euclidean\", \"angular\" or \"inner_product\".", nullptr},
    {"layers", get_layers, nullptr, "The number of layers.", nullptr},
    {"m", get_m, nullptr, "The m the index was created with.", nullptr},
    {"ef_construction", get_ef_construction, nullptr, "The beam width of insertion.", nullptr},
    {"ef_search", get_ef_search, nullptr, "The beam width of search.", nullptr},
    {"schema", get_schema, nullptr, "The metadata attribute names, or None.", nullptr},
    {"graph", get_graph, nullptr, "The graph: \"full\" (every link kept) or \"pruned\".", nullptr},
    {"seed", get_seed, nullptr, "The seed of the index's own level generator, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tessra::py
