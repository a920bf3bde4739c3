#include "python/batch_call.hpp"

#include "python/convert.hpp"
#include "python/numpy_result.hpp"

namespace tessra::py {

bool to_queries(PyObject* arg, VectorList& out) {
    if (!to_vector_list(arg, out)) return label_argument_error("queries");
    return true;
}

PyObject* batch_result_arrays(const BatchResults& results) {
    Ref ids(new_int64_array(results.ids.data(), results.rows, results.width));
    if (!ids) return nullptr;
    Ref distances(new_float64_array(results.distances.data(), results.rows, results.width));
    if (!distances) return nullptr;
    return PyTuple_Pack(2, ids.get(), distances.get());
}

}  // namespace tessra::py
