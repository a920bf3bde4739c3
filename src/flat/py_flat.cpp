// PyFlat: the Python face of the exhaustive index.
#include <string>
#include <string_view>
#include <vector>

#include "flat/flat.hpp"
#include "flat/py_flat_io.hpp"
#include "flat/py_flat_batch.hpp"
#include "python/binding.hpp"
#include "python/bulk_add.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/instance.hpp"
#include "python/parallel_call.hpp"
#include "python/remove_method.hpp"
#include "python/results.hpp"

namespace tessra::py {
namespace {

using Self = Instance<Flat>;
PyTypeObject* type_object = nullptr;

const char* const kNewParams[] = {"dim", "metric"};
const char* const kInsertParams[] = {"vector"};
const char* const kSearchParams[] = {"query", "k"};
const char* const kCreateParams[] = {"vectors"};
const Signature kNew{"PyFlat.__new__()", kNewParams, 2, 1};
const Signature kInsert{"PyFlat.insert()", kInsertParams, 1, 1};
const Signature kSearch{"PyFlat.search()", kSearchParams, 2, 1};
const Signature kCreate{"PyFlat.create()", kCreateParams, 1, 1};
const char* const kAddParams[] = {"vectors", "threads", "progress"};
// vectors by position or keyword, the options by keyword only.
const Signature kAdd{"PyFlat.add()", kAddParams, 3, 1, 1};

Self* bind(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out) {
    return bind_method<Flat>(sig, self, type_object, "PyFlat", args, nargs, kwnames, out);
}

PyObject* flat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[2];
        if (!bind_tuple_dict(kNew, args, kwargs, arg)) return nullptr;
        std::uint64_t dim;
        if (!to_unsigned(arg[0], dim)) return label_argument_error("dim"), nullptr;
        std::string name;
        const bool named = given(arg[1]) != nullptr;
        if (named && !to_text(arg[1], name)) return label_argument_error("metric"), nullptr;
        const std::string_view view(name);
        return new_instance(type, Flat(dim, flat_metric_from_name(named ? &view : nullptr)));
    });
}

PyObject* flat_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[1];
        Self* index = bind(kInsert, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        std::vector<double> vector;
        if (!to_doubles(arg[0], vector)) return label_argument_error("vector"), nullptr;
        Flat& flat = index->record;
        if (vector.size() != flat.dim) {
            PyErr_Format(PyExc_ValueError, "Expected vector of length %zu, got %zu", flat.dim, vector.size());
            return nullptr;
        }
        flat.insert(vector.data(), vector.size());
        return none();
    });
}

PyObject* flat_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[2];
        Self* index = bind(kSearch, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        std::vector<double> query;
        std::uint64_t k;
        if (!to_query_and_k(arg[0], arg[1], query, k)) return nullptr;
        const Flat& flat = index->record;
        if (query.size() != flat.dim) {
            PyErr_Format(PyExc_ValueError, "Expected query of length %zu, got %zu", flat.dim, query.size());
            return nullptr;
        }
        std::vector<Candidate> found;
        if (auto error = flat.search(query.data(), query.size(), k, found))
            return raise_value_error("Search error: ", flat_error_name(*error));
        Ref result(new_list(found.size()));
        for (std::size_t i = 0; i < found.size(); ++i)
            PyList_SET_ITEM(result.get(), i, new_pair(new_int(found[i].id), new_float(found[i].distance)));
        return result.release();
    });
}

// Every length is checked before anything is stored.
bool check_lengths(const Flat& flat, const VectorList& vectors) {
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (vectors.length(i) != flat.dim) {
            PyErr_Format(PyExc_ValueError, "Vector length %zu does not match index dimension %zu", vectors.length(i),
                         flat.dim);
            return false;
        }
    }
    return true;
}

PyObject* flat_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[1];
        Self* index = bind(kCreate, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList vectors;
        if (!to_vector_list(arg[0], vectors)) return label_argument_error("vectors"), nullptr;
        Flat& flat = index->record;
        if (vectors.empty()) return raise_value_error("Create error: ", flat_error_name(FlatError::EmptyVectors));
        if (!check_lengths(flat, vectors)) return nullptr;
        if (auto error = flat.create(vectors)) return raise_value_error("Create error: ", flat_error_name(*error));
        return none();
    });
}

// Like create, returning the new ids. Storing is a copy: the thread count is
// checked and the copy runs on the calling thread. An index of dimension 0
// refuses: create stores nothing there, and no id could name a vector.
PyObject* flat_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        Self* index = bind(kAdd, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList vectors;
        if (!to_vector_list(arg[0], vectors)) return label_argument_error("vectors"), nullptr;
        std::size_t threads;
        Progress progress;
        if (!to_thread_count(arg[1], threads) || !progress.parse(arg[2])) return nullptr;
        Flat& flat = index->record;
        if (vectors.empty()) return raise_value_error("Add error: ", flat_error_name(FlatError::EmptyVectors));
        if (!check_lengths(flat, vectors)) return nullptr;
        // Such an index stores nothing, so there would be no vector for the ids to name.
        if (flat.dim == 0) return raise_value_error("Add error: ", "an index of dimension 0 stores no vectors");
        const std::size_t first = flat.size();
        if (auto error = flat.create(vectors)) return raise_value_error("Add error: ", flat_error_name(*error));
        if (!progress.finish(vectors.size(), vectors.size(), true)) return nullptr;
        return new_id_range(first, vectors.size());
    });
}

PyMethodDef methods[] = {
    fast_method("insert", flat_insert,
                "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
                "The vector is expected as a list of floats whose length equals the index dimension."),
    fast_method("search", flat_search,
                "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
                "Returns a list of tuples `(id, distance)`."),
    fast_method("create", flat_create,
                "create($self, vectors)\n--\n\nCreate an index from a list of vectors."),
    fast_method("add", flat_add,
                "add($self, vectors, *, threads=None, progress=None)\n--\n\n"
                "Append the vectors in order, as create does, and return their ids as a numpy int64 array.\n\n"
                "An index of dimension 0 stores no vectors, so it refuses with ValueError."),
    TESSRA_PERSISTENCE_METHODS(Flat, "PyFlat"),
    fast_method("remove", remove_method<Flat>, kRemoveDoc),
    fast_method("search_batch", flat_search_batch_method, kFlatSearchBatchDoc),
    {nullptr, nullptr, 0, nullptr},
};

const char doc[] = "PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.";

}  // namespace

PyTypeObject* flat_type() {
    if (type_object == nullptr)
        type_object = create_class({"builtins.PyFlat", "PyFlat", static_cast<int>(sizeof(Self)), flat_new,
                                    dealloc_instance<Flat>, doc, methods,
                                    flat_attributes, length_slot<Flat>, flat_repr});
    return type_object;
}

}  // namespace tessra::py
