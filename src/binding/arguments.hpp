#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "python.hpp"

namespace varnholt::binding {

// How one operation takes its arguments: the first `positional` parameters positional-or-keyword
// and the rest keyword-only, the first `required` of them required. Constructors are named
// "__new__".
struct ParamsView {
    std::string_view class_name;
    std::string_view operation;
    const std::string_view* names;
    std::size_t count;
    std::size_t required;
    std::size_t positional;

    // "OrderBook.add()", "Order.__new__()"
    std::string display_name() const;
};

template <std::size_t N>
struct Params {
    std::string_view class_name;
    std::string_view operation;
    std::array<std::string_view, N> names;
    std::size_t required = N;
    std::size_t positional = N;

    static constexpr std::size_t size = N;
    ParamsView view() const noexcept { return {class_name, operation, names.data(), N, required, positional}; }
};

// Fills `slots` (borrowed references, nullptr where nothing was passed) from a vectorcall's
// arguments. Every binding error is found here, before anything is borrowed or converted.
std::optional<PyError> bind_vector(const ParamsView& params, PyObject* const* args, Py_ssize_t positional,
                                   PyObject* keyword_names, PyObject** slots);

// The same from an argument tuple and an optional keyword dictionary (constructors).
std::optional<PyError> bind_tuple(const ParamsView& params, PyObject* args, PyObject* keywords, PyObject** slots);

}  // namespace varnholt::binding
