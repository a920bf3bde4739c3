// remove(ids) for an index class, written once for both. Uses the class's
// Persistence<Record> traits (kName, type()) and Record::remove(ids).
#pragma once

#include <string>

#include "python/instance.hpp"
#include "python/persist_methods.hpp"

namespace tessra::py {

template <typename Record>
PyObject* remove_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = Persistence<Record>;
    return guarded([&]() -> PyObject* {
        static const char* const params[] = {"ids"};
        static const std::string display = std::string(P::kName) + ".remove()";
        static const Signature signature{display.c_str(), params, 1, 1};
        PyObject* arg;
        if (!bind_fastcall(signature, args, nargs, kwnames, &arg)) return nullptr;
        Instance<Record>* index = receiver<Record>(self, P::type(), P::kName);
        if (index == nullptr) return nullptr;
        ExclusiveBorrow borrow(index->borrow);
        if (!borrow.ok()) return nullptr;
        IdList ids;
        if (!to_id_list(arg, ids)) return label_argument_error("ids"), nullptr;
        // Every id is checked before any is removed, in request order.
        const auto refused = index->record.remove(ids.ids);
        if (!refused) return none();
        if (refused->position == ids.out_of_range_at) {
            PyErr_Format(PyExc_ValueError, "Remove error: no vector has id %s", ids.out_of_range_text.c_str());
        } else if (refused->why == RemovedSet::Refusal::NeverAssigned) {
            PyErr_Format(PyExc_ValueError, "Remove error: no vector has id %llu",
                         static_cast<unsigned long long>(refused->id));
        } else {
            PyErr_Format(PyExc_ValueError, "Remove error: id %llu was already removed",
                         static_cast<unsigned long long>(refused->id));
        }
        return nullptr;
    });
}

inline constexpr const char kRemoveDoc[] =
    "remove($self, ids)\n--\n\n"
    "Remove vectors by id: an int, a sequence of ints or a 1-d integer numpy array.\n\n"
    "Removed vectors are never returned by a search again, len() counts the vectors that remain, and "
    "ids are never reused. All or nothing: an id never assigned or already removed raises ValueError "
    "and removes nothing. An id repeated within one call is removed once.";

}  // namespace tessra::py
