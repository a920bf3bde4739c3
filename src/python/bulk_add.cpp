#include "python/bulk_add.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/numpy_result.hpp"

namespace tessra::py {

bool Progress::parse(PyObject* arg) {
    if (arg == nullptr || arg == Py_None || arg == Py_False) return true;
    if (arg == Py_True) {
        Ref stream(PySys_GetObject("stderr") != nullptr ? Py_NewRef(PySys_GetObject("stderr")) : nullptr);
        if (!stream || stream.get() == Py_None) return true;
        Ref tty(PyObject_CallMethod(stream.get(), "isatty", nullptr));
        if (!tty) {
            PyErr_Clear();  // a stream without isatty is no terminal
            return true;
        }
        const int is_tty = PyObject_IsTrue(tty.get());
        if (is_tty < 0) return false;
        if (is_tty == 1) {
            kind_ = Kind::Bar;
            stream_ = std::move(stream);
        }
        return true;
    }
    if (PyCallable_Check(arg)) {
        kind_ = Kind::Callable;
        callable_ = Ref(Py_NewRef(arg));
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument 'progress': expected a bool or a callable, got %s", Py_TYPE(arg)->tp_name);
    return false;
}

namespace {

std::string clock_text(double seconds) {
    const long total = seconds < 0 || seconds > 359999 ? 359999 : static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

}  // namespace

void Progress::draw(std::size_t done, std::size_t total, bool last) {
    constexpr std::size_t kWidth = 30;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const std::size_t filled = std::min(kWidth, static_cast<std::size_t>(share * kWidth));
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    std::string line = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "]";
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, " %5.1f%%  %zu/%zu  %.0f vectors/s  ", share * 100.0, done, total, rate);
    line += numbers;
    if (last) line += clock_text(elapsed) + " total\n";
    else line += (rate > 0 ? clock_text(static_cast<double>(total - done) / rate) : std::string("?")) + " left ";
    if (PyFile_WriteString(line.c_str(), stream_.get()) != 0) {
        PyErr_Clear();  // a broken terminal does not stop the build
        return;
    }
    Ref flushed(PyObject_CallMethod(stream_.get(), "flush", nullptr));
    if (!flushed) PyErr_Clear();
}

bool Progress::report(std::size_t done, std::size_t total) {
    if (kind_ == Kind::Bar) draw(done, total, false);
    if (kind_ != Kind::Callable) return true;
    reported_ = done;
    Ref result(PyObject_CallFunction(callable_.get(), "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total)));
    return static_cast<bool>(result);
}

bool Progress::finish(std::size_t done, std::size_t total, bool complete) {
    if (kind_ == Kind::Bar) draw(done, total, true);
    if (kind_ != Kind::Callable || !complete || reported_ == done) return true;
    return report(done, total);
}

PyObject* new_id_range(std::uint64_t first, std::size_t count) {
    std::vector<std::int64_t> ids(count);
    for (std::size_t i = 0; i < count; ++i) ids[i] = static_cast<std::int64_t>(first + i);
    return new_int64_array(ids.data(), count);
}

}  // namespace tessra::py
