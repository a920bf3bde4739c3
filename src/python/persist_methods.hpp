// save, load, _from_bytes, __reduce__ and len() for an index class, written
// once for both. Each class supplies a Persistence<Record> specialisation:
//   static constexpr const char* kName;            // "PyFlat"
//   static PyTypeObject* type();
//   static std::uint64_t file_size(const Record&);
//   static void write(const Record&, io::Sink&);
//   static Record read(io::Source&);
//   static std::size_t size(const Record&);         // len()
#pragma once

#include <optional>
#include <string>

#include "python/instance.hpp"
#include "python/persist.hpp"

namespace tessra::py {

template <typename Record>
struct Persistence;

namespace persist_detail {

inline const char* const kPathParams[] = {"path"};

template <typename Record>
Instance<Record>* self_of(PyObject* self) {
    using P = Persistence<Record>;
    return receiver<Record>(self, P::type(), P::kName);
}

template <typename Record>
const Signature& path_signature(bool save) {
    using P = Persistence<Record>;
    static const std::string save_name = std::string(P::kName) + ".save()";
    static const std::string load_name = std::string(P::kName) + ".load()";
    static const Signature save_sig{save_name.c_str(), kPathParams, 1, 1};
    static const Signature load_sig{load_name.c_str(), kPathParams, 1, 1};
    return save ? save_sig : load_sig;
}

}  // namespace persist_detail

template <typename Record>
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        PyObject* path;
        if (!bind_fastcall(persist_detail::path_signature<Record>(true), args, nargs, kwnames, &path)) return nullptr;
        Instance<Record>* index = persist_detail::self_of<Record>(self);
        if (index == nullptr) return nullptr;
        // Searches may run alongside the write; insertions wait for it to end.
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        const Record& record = index->record;
        return save_to_path(path, [&](io::Sink& sink) { P::write(record, sink); });
    });
}

// A classmethod: the index is built in full before any Python object holds it.
template <typename Record>
PyObject* load_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        PyObject* path;
        if (!bind_fastcall(persist_detail::path_signature<Record>(false), args, nargs, kwnames, &path)) return nullptr;
        std::optional<Record> record;
        if (!load_from_path(path, [&](io::Source& source) { record.emplace(P::read(source)); })) return nullptr;
        return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(*record));
    });
}

template <typename Record>
PyObject* from_bytes_method(PyObject* cls, PyObject* data) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        std::optional<Record> record;
        if (!load_from_buffer(data, [&](io::Source& source) { record.emplace(P::read(source)); })) return nullptr;
        return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(*record));
    });
}

template <typename Record>
PyObject* reduce_method(PyObject* self, PyObject*) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        Instance<Record>* index = persist_detail::self_of<Record>(self);
        if (index == nullptr) return nullptr;
        Ref data;
        {
            SharedBorrow borrow(index->borrow);
            if (!borrow.ok()) return nullptr;
            const Record& record = index->record;
            data = Ref(write_to_bytes(P::file_size(record), [&](io::Sink& sink) { P::write(record, sink); }));
        }
        if (!data) return nullptr;
        return reduce_to_loader(P::type(), P::kName, data.get());
    });
}

template <typename Record>
Py_ssize_t length_slot(PyObject* self) {
    using P = Persistence<Record>;
    return guarded([&]() -> Py_ssize_t {
        Instance<Record>* index = persist_detail::self_of<Record>(self);
        if (index == nullptr) return -1;
        SharedBorrow borrow(index->borrow);
        if (!borrow.ok()) return -1;
        return static_cast<Py_ssize_t>(P::size(index->record));
    });
}

// repr(index): "{kName}({what the class says}, len=N)". len is left out while
// an insertion holds the index (another thread's add, for instance).
template <typename Record, typename Describe>
PyObject* repr_of(PyObject* self, Describe&& describe) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        Instance<Record>* index = persist_detail::self_of<Record>(self);
        if (index == nullptr) return nullptr;
        std::string text = std::string(P::kName) + "(" + describe(index->record);
        SharedBorrow borrow(index->borrow);
        if (borrow.ok()) text += ", len=" + std::to_string(P::size(index->record));
        else PyErr_Clear();
        text += ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// The method-table entries, in the order both classes list them.
#define TESSRA_PERSISTENCE_METHODS(Record, kind)                                                                  \
    fast_method("save", save_method<Record>,                                                                      \
                "save($self, path)\n--\n\nWrite the index to a file.\n\n"                                         \
                "The file is written beside `path` and renamed over it once complete, so an existing "            \
                "file is replaced whole or not at all."),                                                         \
        {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_method<Record>)),               \
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS,                                                              \
         "load($type, path)\n--\n\nRead an index written by " kind ".save()."},                                   \
        {"_from_bytes", from_bytes_method<Record>, METH_O | METH_CLASS, nullptr},                                 \
        {"__reduce__", reduce_method<Record>, METH_NOARGS, nullptr}

}  // namespace tessra::py
