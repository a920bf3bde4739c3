#include "python/parallel_call.hpp"

#include "parallel/workers.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"

namespace tessra::py {

bool to_thread_count(PyObject* arg, std::size_t& out) {
    if (given(arg) == nullptr) {
        out = usable_cores();
        return true;
    }
    Ref index(PyNumber_Index(arg));
    if (!index) return label_argument_error("threads");
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && count < 1)) {
        PyErr_SetString(PyExc_ValueError, "Thread count must be at least 1");
        return false;
    }
    // More threads than work items or cores only costs idle threads; cap absurd requests.
    constexpr long long kMaxThreads = 1024;
    out = overflow > 0 || count > kMaxThreads ? kMaxThreads : static_cast<std::size_t>(count);
    return true;
}

}  // namespace tessra::py
