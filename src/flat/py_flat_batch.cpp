#include "flat/py_flat_batch.hpp"

#include <cstdint>
#include <optional>

#include "flat/flat_batch.hpp"
#include "python/batch_call.hpp"
#include "python/classes.hpp"
#include "python/instance.hpp"

namespace tessra::py {
namespace {

const char* const kParams[] = {"queries", "k", "threads"};
// queries and k by position or keyword, threads by keyword only.
const Signature kSearchBatch{"PyFlat.search_batch()", kParams, 3, 1, 2};

}  // namespace

const char kFlatSearchBatchDoc[] =
    "search_batch($self, queries, k=None, *, threads=None)\n--\n\n"
    "Search for the k nearest neighbors of every query, on several threads.\n\n"
    "Returns a tuple `(ids, distances)` of numpy arrays (int64 and float64) with one row per query; "
    "row i holds the pairs `search(queries[i], k)` returns. Short rows are padded with id -1 and "
    "distance NaN. `threads=None` uses every core the process may use.";

PyObject* flat_search_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        auto* index = bind_method<Flat>(kSearchBatch, self, flat_type(), "PyFlat", args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList queries;
        if (!to_queries(arg[0], queries)) return nullptr;
        std::uint64_t k = 1;
        if (given(arg[1]) != nullptr && !to_unsigned(arg[1], k)) return label_argument_error("k"), nullptr;
        std::size_t threads;
        if (!to_thread_count(arg[2], threads)) return nullptr;
        const Flat& flat = index->record;
        for (std::size_t i = 0; i < queries.size(); ++i) {
            if (queries.length(i) != flat.dim) {
                PyErr_Format(PyExc_ValueError, "Expected query of length %zu, got %zu (query %zu)", flat.dim,
                             queries.length(i), i);
                return nullptr;
            }
        }
        // Every row has flat.dim elements, so the rows lie back to back.
        const double* rows = queries.empty() ? nullptr : queries.data(0);
        BatchResults results;
        std::optional<FlatError> error;
        const bool finished = run_unlocked(threads, [&](const ParallelFor& options) {
            bool done = true;
            error = flat_search_batch(flat, rows, queries.size(), k, options, results, done);
            return done;
        });
        if (!finished) return nullptr;
        if (error) return raise_value_error("Search error: ", flat_error_name(*error));
        return batch_result_arrays(results);
    });
}

}  // namespace tessra::py
