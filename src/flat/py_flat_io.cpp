#include "flat/py_flat_io.hpp"

#include "flat/flat_format.hpp"
#include "python/classes.hpp"

namespace tessra::py {
namespace {

const char* metric_name(Metric metric) {
    switch (metric) {
        case Metric::Euclidean: return "euclidean";
        case Metric::Cosine: return "cosine";
        case Metric::Dot: return "inner_product";
    }
    return "euclidean";
}

Instance<Flat>* self_of(PyObject* self) { return receiver<Flat>(self, flat_type(), "PyFlat"); }

// Both are fixed at construction, so no borrow is needed to read them.
PyObject* get_dim(PyObject* self, void*) {
    Instance<Flat>* index = self_of(self);
    return index == nullptr ? nullptr : PyLong_FromSize_t(index->record.dim);
}

PyObject* get_metric(PyObject* self, void*) {
    Instance<Flat>* index = self_of(self);
    return index == nullptr ? nullptr : PyUnicode_FromString(metric_name(index->record.metric));
}

}  // namespace

PyObject* flat_repr(PyObject* self) {
    return repr_of<Flat>(self, [](const Flat& flat) {
        return "dim=" + std::to_string(flat.dim) + ", metric='" + metric_name(flat.metric) + "'";
    });
}

PyTypeObject* Persistence<Flat>::type() { return flat_type(); }
std::uint64_t Persistence<Flat>::file_size(const Flat& flat) { return io::flat_file_size(flat); }
void Persistence<Flat>::write(const Flat& flat, io::Sink& sink) { io::write_flat(flat, sink); }
Flat Persistence<Flat>::read(io::Source& source) { return io::read_flat(source); }

PyGetSetDef flat_attributes[] = {
    {"dim", get_dim, nullptr, "The dimension of the stored vectors.", nullptr},
    {"metric", get_metric, nullptr, "The metric: \"euclidean\", \"cosine\" or \"inner_product\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tessra::py
