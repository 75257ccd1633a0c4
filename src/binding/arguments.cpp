#include "arguments.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace varnholt::binding {
namespace {

std::string count_text(std::size_t count) { return std::to_string(count); }

PyError too_many_positional(const ParamsView& params, std::size_t given) {
    std::string message = params.display_name();
    if (params.required == params.positional) {
        message += " takes " + count_text(params.positional);
    } else {
        message += " takes from " + count_text(params.required) + " to " + count_text(params.positional);
    }
    message += " positional arguments but " + count_text(given) + (given == 1 ? " was" : " were") + " given";
    return error(PyExc_TypeError, std::move(message));
}

// The parameter a keyword name object was last found to be, per operation: a call site passes the
// same interned name object every time, so a hit skips reading its text and comparing names (part
// of 8,706 -> 6,909 instructions for a replay call with three keywords that stops on a watched
// fill, callgrind; see book_replay). Each entry holds its name, so that no other object can take its address while
// it is remembered; the interpreter lock guards the table.
struct KeywordHit {
    PyObject* name = nullptr;
    const std::string_view* names = nullptr;
    std::size_t index = 0;
};
KeywordHit keyword_hits[64];

// The two entries a name may sit in (Fibonacci hashing of the two addresses, whose low bits vary
// little): names of one call that meet in one entry take both, rather than evicting each other.
std::size_t keyword_entry(const ParamsView& params, PyObject* name) noexcept {
    const std::uint64_t key = reinterpret_cast<std::uintptr_t>(name) ^ reinterpret_cast<std::uintptr_t>(params.names) * 31;
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 58);  // 64 entries
}

KeywordHit* remembered(const ParamsView& params, PyObject* name) noexcept {
    const std::size_t at = keyword_entry(params, name);
    for (KeywordHit* hit : {&keyword_hits[at], &keyword_hits[(at + 1) % std::size(keyword_hits)]}) {
        if (hit->name == name && hit->names == params.names) {
            return hit;
        }
    }
    return nullptr;
}

void remember(const ParamsView& params, PyObject* name, std::size_t index) noexcept {
    const std::size_t at = keyword_entry(params, name);
    KeywordHit& first = keyword_hits[at];
    KeywordHit& hit = first.name == nullptr ? first : keyword_hits[(at + 1) % std::size(keyword_hits)];
    Py_INCREF(name);
    PyObject* forgotten = std::exchange(hit.name, name);
    hit.names = params.names;
    hit.index = index;
    Py_XDECREF(forgotten);
}

std::optional<PyError> place_keyword(const ParamsView& params, std::size_t i, PyObject* value, PyObject** slots) {
    if (slots[i] != nullptr) {
        return error(PyExc_TypeError, params.display_name() + " got multiple values for argument '" +
                                          std::string(params.names[i]) + "'");
    }
    slots[i] = value;
    return std::nullopt;
}

// Places one keyword argument; the name is compared as UTF-8 bytes, without making objects.
std::optional<PyError> bind_keyword(const ParamsView& params, PyObject* name, PyObject* value, PyObject** slots) {
    if (const KeywordHit* hit = remembered(params, name)) [[likely]] {
        return place_keyword(params, hit->index, value, slots);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 != nullptr) {
        const std::string_view key(utf8, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < params.count; ++i) {
            if (params.names[i] == key) {
                // Only an exact str is remembered: freeing it later runs no code of the caller's.
                if (PyUnicode_CheckExact(name)) {
                    remember(params, name, i);
                }
                return place_keyword(params, i, value, slots);
            }
        }
    }
    PyErr_Clear();
    // str() of the key may hold text that is not valid UTF-8, so the message is formatted by the
    // interpreter.
    const std::string display = params.display_name();
    Ref message = Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", display.c_str(), name));
    if (!message) {
        return fetch_error();
    }
    Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!instance) {
        return fetch_error();
    }
    return PyError(PendingException{Ref::borrow(PyExc_TypeError), {}, std::move(instance), {}, {}});
}

std::optional<PyError> check_missing(const ParamsView& params, PyObject** slots) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        missing += slots[i] == nullptr ? 1 : 0;
    }
    if (missing == 0) {
        return std::nullopt;
    }
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
        }
        names += '\'';
        names += params.names[i];
        names += '\'';
        ++listed;
    }
    return error(PyExc_TypeError, params.display_name() + " missing " + count_text(missing) +
                                      " required positional argument" + (missing == 1 ? "" : "s") + ": " + names);
}

}  // namespace

std::string ParamsView::display_name() const {
    std::string name(class_name);
    name += '.';
    name += operation;
    name += "()";
    return name;
}

std::optional<PyError> bind_vector(const ParamsView& params, PyObject* const* args, Py_ssize_t positional,
                                   PyObject* keyword_names, PyObject** slots) {
    const auto given = static_cast<std::size_t>(positional);
    if (given > params.positional) {
        return too_many_positional(params, given);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = args[i];
    }
    if (keyword_names != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(keyword_names);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (auto failure = bind_keyword(params, PyTuple_GetItem(keyword_names, k), args[positional + k], slots)) {
                return failure;
            }
        }
    }
    return check_missing(params, slots);
}

std::optional<PyError> bind_tuple(const ParamsView& params, PyObject* args, PyObject* keywords, PyObject** slots) {
    const Py_ssize_t positional = PyTuple_Size(args);
    const auto given = static_cast<std::size_t>(positional);
    if (given > params.positional) {
        return too_many_positional(params, given);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (keywords != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keywords, &position, &name, &value)) {
            if (auto failure = bind_keyword(params, name, value, slots)) {
                return failure;
            }
        }
    }
    return check_missing(params, slots);
}

}  // namespace varnholt::binding
