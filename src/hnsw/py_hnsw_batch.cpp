#include "hnsw/py_hnsw_batch.hpp"

#include <cstdint>
#include <optional>

#include "filter/py_filter.hpp"
#include "hnsw/graph_index.hpp"
#include "hnsw/hnsw_batch.hpp"
#include "python/batch_call.hpp"
#include "python/classes.hpp"
#include "python/instance.hpp"

namespace tessra::py {
namespace {

const char* const kParams[] = {"queries", "k", "filter", "threads", "ef_search"};
// queries, k and filter by position or keyword; threads and ef_search by keyword only.
const Signature kSearchBatch{"PyHNSW.search_batch()", kParams, 5, 1, 3};

}  // namespace

const char kHnswSearchBatchDoc[] =
    "search_batch($self, queries, k=None, filter=None, *, threads=None, ef_search=None)\n--\n\n"
    "Search for the k nearest neighbors of every query, on several threads.\n\n"
    "Returns a tuple `(ids, distances)` of numpy arrays (int64 and float64) with one row per query; "
    "row i holds the node ids (insertion order from 0) and distances of the pairs "
    "`search(queries[i], k, filter)` returns. Short rows are padded with id -1 and distance NaN. "
    "`threads=None` uses every core the process may use; `ef_search` replaces the index's own "
    "for this call.";

PyObject* hnsw_search_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[5];
        auto* index = bind_method<GraphIndex>(kSearchBatch, self, hnsw_type(), "PyHNSW", args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList queries;
        if (!to_queries(arg[0], queries)) return nullptr;
        std::uint64_t k = 1;
        if (given(arg[1]) != nullptr && !to_unsigned(arg[1], k)) return label_argument_error("k"), nullptr;
        return index->record.visit([&](const auto& hnsw) -> PyObject* {
            std::optional<Filter> filter;
            if (!to_filter(arg[2], hnsw.schema(), filter)) return nullptr;
            std::size_t threads;
            if (!to_thread_count(arg[3], threads)) return nullptr;
            std::uint64_t ef = hnsw.ef_search();
            if (given(arg[4]) != nullptr && !to_unsigned(arg[4], ef)) return label_argument_error("ef_search"), nullptr;

            BatchResults results;
            std::optional<HNSWError> error;
            const bool finished = run_unlocked(threads, [&](const ParallelFor& options) {
                bool done = true;
                error = hnsw_search_batch(hnsw, queries, k, filter ? &*filter : nullptr, ef, options, results, done);
                return done;
            });
            if (!finished) return nullptr;
            if (error) return raise_value_error("Search error: ", hnsw_error_name(*error));
            return batch_result_arrays(results);
        });
    });
}

}  // namespace tessra::py
