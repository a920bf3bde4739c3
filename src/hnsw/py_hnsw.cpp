// PyHNSW: the Python face of the graph indexes. Each instance holds a
// GraphIndex (the full or the pruned graph); every method is written once
// and runs on whichever record the instance holds.
#include <optional>
#include <string>
#include <vector>

#include "filter/py_filter.hpp"
#include "hnsw/graph_index.hpp"
#include "hnsw/py_hnsw_io.hpp"
#include "hnsw/py_hnsw_batch.hpp"
#include "metadata/py_metadata.hpp"
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

using Self = Instance<GraphIndex>;
PyTypeObject* type_object = nullptr;

const char* const kNewParams[] = {"dim",    "layers", "m",     "ef_construction", "ef_search",
                                  "metric", "schema", "graph", "seed"};
const char* const kInsertParams[] = {"vector", "metadata"};
const char* const kSearchParams[] = {"query", "k", "filter"};
const char* const kCreateParams[] = {"vectors", "metadata"};
// graph and seed by keyword only.
const Signature kNew{"PyHNSW.__new__()", kNewParams, 9, 1, 7};
const Signature kInsert{"PyHNSW.insert()", kInsertParams, 2, 1};
const Signature kSearch{"PyHNSW.search()", kSearchParams, 3, 1};
const Signature kCreate{"PyHNSW.create()", kCreateParams, 2, 1};
const char* const kAddParams[] = {"vectors", "metadata", "threads", "progress"};
// vectors and metadata by position or keyword, the options by keyword only.
const Signature kAdd{"PyHNSW.add()", kAddParams, 4, 1, 2};

const char kNoSchemaForMetadata[] = "No schema provided in HNSW instance; cannot use metadata";

Self* bind(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out) {
    return bind_method<GraphIndex>(sig, self, type_object, "PyHNSW", args, nargs, kwnames, out);
}

// An optional unsigned argument: its default when absent or None.
bool optional_unsigned(PyObject* arg, const char* name, std::uint64_t fallback, std::uint64_t& out) {
    out = fallback;
    if (given(arg) == nullptr || to_unsigned(arg, out)) return true;
    return label_argument_error(name);
}

// Where the index's level draws come from: its own generator when it was
// given a seed, else the calling thread's.
template <typename Graph>
RandomSource& level_source(Graph& index) {
    if (SeededGenerator* own = index.generator()) return *own;
    return thread_random();
}

template <typename Graph>
bool check_length(const Graph& index, std::size_t length) {
    if (length == index.dim()) return true;
    PyErr_Format(PyExc_ValueError, "Expected vector of length %zu, got %zu", index.dim(), length);
    return false;
}

PyObject* hnsw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[9];
        if (!bind_tuple_dict(kNew, args, kwargs, arg)) return nullptr;
        std::uint64_t dim, layers, m, ef_construction, ef_search;
        if (!to_unsigned(arg[0], dim)) return label_argument_error("dim"), nullptr;
        // The layer default depends on the graph, which is checked later.
        std::optional<std::uint64_t> layers_given;
        if (given(arg[1]) != nullptr) {
            layers_given.emplace();
            if (!to_unsigned(arg[1], *layers_given)) return label_argument_error("layers"), nullptr;
        }
        if (!optional_unsigned(arg[2], "m", kDefaultM, m) ||
            !optional_unsigned(arg[3], "ef_construction", kDefaultEfConstruction, ef_construction) ||
            !optional_unsigned(arg[4], "ef_search", kDefaultEfSearch, ef_search))
            return nullptr;
        std::optional<std::string> metric_name;
        if (given(arg[5]) != nullptr) {
            metric_name.emplace();
            if (!to_text(arg[5], *metric_name)) return label_argument_error("metric"), nullptr;
        }
        Schema schema;
        if (given(arg[6]) != nullptr) {
            schema.emplace();
            if (!to_text_list(arg[6], *schema)) return label_argument_error("schema"), nullptr;
        }
        std::optional<std::string> graph_name;
        if (given(arg[7]) != nullptr) {
            graph_name.emplace();
            if (!to_text(arg[7], *graph_name)) return label_argument_error("graph"), nullptr;
        }
        std::optional<std::uint64_t> seed;
        if (given(arg[8]) != nullptr) {
            seed.emplace();
            if (!to_unsigned(arg[8], *seed)) return label_argument_error("seed"), nullptr;
        }
        const std::optional<Metric> metric =
            metric_name ? hnsw_metric_from_name(*metric_name) : std::optional<Metric>();
        if (!metric) {
            PyErr_SetString(PyExc_ValueError, "Unsupported metric");
            return nullptr;
        }
        if (dim == 0) {
            PyErr_SetString(PyExc_ValueError, "Dimension must be at least 1");
            return nullptr;
        }
        const bool pruned = graph_name && *graph_name == "pruned";
        if (graph_name && !pruned && *graph_name != "full") {
            PyErr_SetString(PyExc_ValueError, "Unsupported graph");
            return nullptr;
        }
        if (!pruned) {
            layers = layers_given.value_or(kDefaultLayers);
            HNSW hnsw(dim, *metric, layers, m, ef_construction, ef_search, std::move(schema));
            if (seed) hnsw.use_generator(SeededGenerator(*seed));
            return new_instance(type, GraphIndex(std::move(hnsw)));
        }
        layers = layers_given.value_or(PrunedHNSW::kDefaultLayers);
        if (layers == 0) {
            PyErr_SetString(PyExc_ValueError, "layers must be at least 1 in the pruned graph");
            return nullptr;
        }
        if (m < PrunedHNSW::kMinM) {
            PyErr_SetString(PyExc_ValueError, "m must be at least 2 in the pruned graph");
            return nullptr;
        }
        if (m > PrunedHNSW::kMaxM) {
            PyErr_SetString(PyExc_ValueError, "m must be at most 32767 in the pruned graph");
            return nullptr;
        }
        PrunedHNSW graph(dim, *metric, layers, m, ef_construction, ef_search, std::move(schema));
        if (seed) graph.use_generator(SeededGenerator(*seed));
        return new_instance(type, GraphIndex(std::move(graph)));
    });
}

PyObject* hnsw_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[2];
        Self* index = bind(kInsert, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        std::vector<double> vector;
        if (!to_doubles(arg[0], vector)) return label_argument_error("vector"), nullptr;
        return index->record.visit([&](auto& hnsw) -> PyObject* {
            std::optional<MetadataRecord> record;
            if (given(arg[1]) != nullptr) {
                std::vector<Pair> pairs;
                if (!to_pair_list(arg[1], pairs)) return label_argument_error("metadata"), nullptr;
                if (!hnsw.schema()) {
                    PyErr_SetString(PyExc_ValueError, kNoSchemaForMetadata);
                    return nullptr;
                }
                record.emplace();
                if (!build_metadata_record(*hnsw.schema(), pairs, *record)) return nullptr;
            }
            if (!check_length(hnsw, vector.size())) return nullptr;
            if (auto error = hnsw.insert(vector.data(), vector.size(), record ? &*record : nullptr, level_source(hnsw)))
                return raise_value_error("Insert error: ", hnsw_error_name(*error));
            return none();
        });
    });
}

PyObject* hnsw_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[3];
        Self* index = bind(kSearch, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        std::vector<double> query;
        std::uint64_t k;
        if (!to_query_and_k(arg[0], arg[1], query, k)) return nullptr;
        return index->record.visit([&](const auto& hnsw) -> PyObject* {
            std::optional<Filter> filter;
            if (!to_filter(arg[2], hnsw.schema(), filter)) return nullptr;
            std::vector<Candidate> found;
            if (auto error = hnsw.search(query.data(), query.size(), k, filter ? &*filter : nullptr, found))
                return raise_value_error("Search error: ", hnsw_error_name(*error));
            const std::size_t dim = hnsw.dim();
            Ref result(new_list(found.size()));
            for (std::size_t i = 0; i < found.size(); ++i) {
                Ref distance(new_float(found[i].distance));
                Ref vector(new_list(dim));
                const double* stored = hnsw.vector(found[i].id);
                for (std::size_t j = 0; j < dim; ++j) PyList_SET_ITEM(vector.get(), j, new_float(stored[j]));
                PyList_SET_ITEM(result.get(), i, new_pair(distance.release(), vector.release()));
            }
            return result.release();
        });
    });
}

// Builds every record, then checks every vector's length, before anything is
// inserted: metadata errors come first, as in insert.
template <typename Graph>
bool prepare_create(const Graph& hnsw, const VectorList& vectors, const std::vector<std::vector<Pair>>* pair_lists,
                    std::vector<MetadataRecord>& records) {
    if (pair_lists != nullptr) {
        if (pair_lists->size() != vectors.size()) {
            PyErr_SetString(PyExc_ValueError, "Length of metadata list must match number of vectors");
            return false;
        }
        if (!hnsw.schema()) {
            PyErr_SetString(PyExc_ValueError, kNoSchemaForMetadata);
            return false;
        }
        records.resize(vectors.size());
        for (std::size_t i = 0; i < vectors.size(); ++i)
            if (!build_metadata_record(*hnsw.schema(), (*pair_lists)[i], records[i])) return false;
    }
    for (std::size_t i = 0; i < vectors.size(); ++i)
        if (!check_length(hnsw, vectors.length(i))) return false;
    return true;
}

// The vectors and metadata arguments of create and add, converted in that order.
bool to_vectors_and_metadata(PyObject* vectors_arg, PyObject* metadata_arg, VectorList& vectors,
                             std::optional<std::vector<std::vector<Pair>>>& pair_lists) {
    if (!to_vector_list(vectors_arg, vectors)) return label_argument_error("vectors");
    if (given(metadata_arg) == nullptr) return true;
    pair_lists.emplace();
    if (!to_pair_lists(metadata_arg, *pair_lists)) return label_argument_error("metadata");
    return true;
}

PyObject* hnsw_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[2];
        Self* index = bind(kCreate, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList vectors;
        std::optional<std::vector<std::vector<Pair>>> pair_lists;
        if (!to_vectors_and_metadata(arg[0], arg[1], vectors, pair_lists)) return nullptr;
        return index->record.visit([&](auto& hnsw) -> PyObject* {
            std::vector<MetadataRecord> records;
            if (!prepare_create(hnsw, vectors, pair_lists ? &*pair_lists : nullptr, records)) return nullptr;
            if (auto error = hnsw.create(vectors, pair_lists ? &records : nullptr, level_source(hnsw)))
                return raise_value_error("Create error: ", hnsw_error_name(*error));
            return none();
        });
    });
}

// Like create, on several threads, returning the new ids; see the README.
PyObject* hnsw_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg[4];
        Self* index = bind(kAdd, self, args, nargs, kwnames, arg);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        VectorList vectors;
        std::optional<std::vector<std::vector<Pair>>> pair_lists;
        if (!to_vectors_and_metadata(arg[0], arg[1], vectors, pair_lists)) return nullptr;
        std::size_t threads;
        Progress progress;
        if (!to_thread_count(arg[2], threads) || !progress.parse(arg[3])) return nullptr;
        return index->record.visit([&](auto& hnsw) -> PyObject* {
            std::vector<MetadataRecord> records;
            if (!prepare_create(hnsw, vectors, pair_lists ? &*pair_lists : nullptr, records)) return nullptr;
            const std::uint64_t first = hnsw.size();
            AddResult result;
            bool stopped_by_python = false;
            {
                GilReleased released;
                AddOptions options;
                options.threads = threads;
                // Ctrl-C, or an exception from the progress callable, stops the build.
                options.poll = [&](std::size_t done, std::size_t total) {
                    return released.with_lock([&] {
                        stopped_by_python = PyErr_CheckSignals() != 0 || !progress.report(done, total);
                        return stopped_by_python;
                    });
                };
                result = hnsw.add(vectors, pair_lists ? &records : nullptr, level_source(hnsw), options);
            }
            const std::size_t total = vectors.size();
            // The converted input is not needed any more: free it before the results are built.
            vectors = VectorList();
            const bool complete = !stopped_by_python && !result.error;
            if (!progress.finish(result.added, total, complete) || stopped_by_python) return nullptr;
            // The checks made before storing anything fail as create's do.
            if (result.error == HNSWError::EmptyVectors || result.error == HNSWError::AttributeNotFound)
                return raise_value_error("Add error: ", hnsw_error_name(*result.error));
            if (result.error) {
                PyErr_Format(PyExc_ValueError, "Add error: %s at vector %zu (the vectors before it were added)",
                             hnsw_error_name(*result.error), result.added);
                return nullptr;
            }
            return new_id_range(first, result.added);
        });
    });
}

// Statistics of the index's last add, for benchmarks: not part of the API.
PyObject* hnsw_add_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature no_arguments{"PyHNSW._add_stats()", nullptr, 0, 0};
        Self* index = bind(no_arguments, self, args, nargs, kwnames, nullptr);
        if (index == nullptr) return nullptr;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        return index->record.visit([&](const auto& hnsw) -> PyObject* {
            const AddResult& last = hnsw.last_add();
            return Py_BuildValue("{s:n,s:n,s:n,s:n,s:d,s:d,s:d,s:n,s:n,s:n,s:n}", "added", (Py_ssize_t)last.added,
                                 "speculated", (Py_ssize_t)last.speculated, "redone", (Py_ssize_t)last.redone,
                                 "direct", (Py_ssize_t)last.direct, "search_seconds", last.search_seconds,
                                 "commit_seconds", last.commit_seconds, "redo_seconds", last.redo_seconds,
                                 "pairs_found", (Py_ssize_t)last.pairs_found, "batches", (Py_ssize_t)last.batches,
                                 "link_entries", (Py_ssize_t)hnsw.link_entries(), "link_bytes",
                                 (Py_ssize_t)hnsw.link_bytes());
        });
    });
}

PyMethodDef methods[] = {
    fast_method("insert", hnsw_insert,
                "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
                "The vector is expected as a list of floats.\n"
                "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
                "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    fast_method("search", hnsw_search,
                "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
                "Returns a list of tuples `(distance, vector)`."),
    fast_method("create", hnsw_create,
                "create($self, vectors, metadata=None)\n--\n\n"),
    fast_method("add", hnsw_add,
                "add($self, vectors, metadata=None, *, threads=None, progress=None)\n--\n\n"
                "Insert the vectors in order, as create does, on several threads.\n\n"
                "The graph is exactly the one create builds with the same level draws.\n"
                "threads: None for every usable core. progress: True for a bar on a\n"
                "terminal's standard error, or a callable receiving (done, total).\n"
                "Returns the new ids as a numpy int64 array."),
    fast_method("_add_stats", hnsw_add_stats, nullptr),
    TESSRA_PERSISTENCE_METHODS(GraphIndex, "PyHNSW"),
    fast_method("remove", remove_method<GraphIndex>, kRemoveDoc),
    fast_method("search_batch", hnsw_search_batch_method, kHnswSearchBatchDoc),
    {nullptr, nullptr, 0, nullptr},
};

const char doc[] =
    "PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None, *, "
    "graph=None, seed=None)\n--\n\n";

}  // namespace

PyTypeObject* hnsw_type() {
    if (type_object == nullptr)
        type_object = create_class({"builtins.PyHNSW", "PyHNSW", static_cast<int>(sizeof(Self)), hnsw_new,
                                    dealloc_instance<GraphIndex>, doc, methods,
                                    hnsw_attributes, length_slot<GraphIndex>, hnsw_repr});
    return type_object;
}

}  // namespace tessra::py
