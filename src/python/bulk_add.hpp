// What PyHNSW.add and PyFlat.add share: options given by keyword only, the
// progress report, and the checks a build makes while it holds no lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "python/binding.hpp"
#include "python/ref.hpp"

namespace tessra::py {

// The `progress` argument of a bulk add.
class Progress {
public:
    // None or False: silent. True: a one-line bar with rate and time left on
    // standard error, drawn only when it is a terminal. A callable: called
    // with (done, total). Anything else: TypeError, labelled "progress".
    bool parse(PyObject* arg);
    // With the lock held, about every tenth of a second while the build runs.
    // False, with the error set, when the callable raised.
    bool report(std::size_t done, std::size_t total);
    // With the lock held, once the build ended (complete or not): the final
    // bar line, or the callable's last call when the build completed.
    bool finish(std::size_t done, std::size_t total, bool complete);

private:
    enum class Kind { Silent, Bar, Callable };
    void draw(std::size_t done, std::size_t total, bool last);

    Kind kind_ = Kind::Silent;
    Ref callable_;
    Ref stream_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::size_t reported_ = SIZE_MAX;
};

// A new numpy int64 array of the ids first, first + 1, ..., first + count - 1.
PyObject* new_id_range(std::uint64_t first, std::size_t count);

}  // namespace tessra::py
