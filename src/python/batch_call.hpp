// The pieces both search_batch methods share: the queries argument, the run
// on worker threads with the interpreter lock released, and the result arrays.
#pragma once

#include <cstddef>

#include "common/batch_results.hpp"
#include "common/vector_list.hpp"
#include "parallel/workers.hpp"
#include "python/parallel_call.hpp"
#include "python/ref.hpp"

namespace tessra::py {

// Every row converted exactly as search converts one query (a 2-d numpy array
// or a sequence of vectors); failures are labelled with the argument 'queries'.
bool to_queries(PyObject* arg, VectorList& out);

// Runs search(options) on `threads` workers with the interpreter lock
// released; the options' poll runs pending signal handlers. Returns false
// when a handler raised (the exception is set), true once the search ran to
// the end. `search` returns false when the poll stopped it, and must touch no
// Python object.
template <typename Search>
bool run_unlocked(std::size_t threads, Search&& search) {
    GilReleased released;
    ParallelFor options;
    options.threads = threads;
    options.poll = [&released] { return released.signal_raised(); };
    return search(static_cast<const ParallelFor&>(options));
}

// The tuple (ids, distances) of two new numpy arrays of shape (rows, width).
PyObject* batch_result_arrays(const BatchResults& results);

}  // namespace tessra::py
