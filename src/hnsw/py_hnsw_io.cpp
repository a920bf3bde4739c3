#include "hnsw/py_hnsw_io.hpp"

#include "hnsw/hnsw_format.hpp"
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

Instance<HNSW>* self_of(PyObject* self) { return receiver<HNSW>(self, hnsw_type(), "PyHNSW"); }

// Every attribute is fixed at construction, so no borrow is needed to read it.
template <std::uint64_t (HNSW::*Parameter)() const>
PyObject* get_parameter(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    return index == nullptr ? nullptr : PyLong_FromUnsignedLongLong((index->record.*Parameter)());
}

PyObject* get_dim(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    return index == nullptr ? nullptr : PyLong_FromSize_t(index->record.dim());
}

PyObject* get_metric(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    return index == nullptr ? nullptr : PyUnicode_FromString(metric_name(index->record.metric()));
}

PyObject* get_graph(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    return index == nullptr ? nullptr : PyUnicode_FromString("full");
}

PyObject* get_seed(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    if (index == nullptr) return nullptr;
    const SeededGenerator* generator = index->record.generator();
    if (generator == nullptr) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(generator->seed());
}

// A new list on every read, so callers cannot change the index's schema.
PyObject* get_schema(PyObject* self, void*) {
    Instance<HNSW>* index = self_of(self);
    if (index == nullptr) return nullptr;
    const Schema& schema = index->record.schema();
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

PyTypeObject* Persistence<HNSW>::type() { return hnsw_type(); }
std::uint64_t Persistence<HNSW>::file_size(const HNSW& hnsw) { return io::hnsw_file_size(hnsw); }
void Persistence<HNSW>::write(const HNSW& hnsw, io::Sink& sink) { io::write_hnsw(hnsw, sink); }
HNSW Persistence<HNSW>::read(io::Source& source) { return io::read_hnsw(source); }

PyGetSetDef hnsw_attributes[] = {
    {"dim", get_dim, nullptr, "The dimension of the stored vectors.", nullptr},
    {"metric", get_metric, nullptr, "The metric: \"euclidean\", \"angular\" or \"inner_product\".", nullptr},
    {"layers", get_parameter<&HNSW::layers>, nullptr, "The number of layers.", nullptr},
    {"m", get_parameter<&HNSW::m>, nullptr, "The m the index was created with.", nullptr},
    {"ef_construction", get_parameter<&HNSW::ef_construction>, nullptr, "The beam width of insertion.", nullptr},
    {"ef_search", get_parameter<&HNSW::ef_search>, nullptr, "The beam width of search.", nullptr},
    {"schema", get_schema, nullptr, "The metadata attribute names, or None.", nullptr},
    {"graph", get_graph, nullptr, "The graph: \"full\" (every link kept) or \"pruned\".", nullptr},
    {"seed", get_seed, nullptr, "The seed of the index's own level generator, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tessra::py
