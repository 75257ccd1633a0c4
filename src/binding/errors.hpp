#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "../records/error.hpp"
#include "ref.hpp"

namespace varnholt::binding {

// An exception waiting to be raised. The exception object is made only when it reaches the
// interpreter; until then it is a type and a message (or an object fetched from the interpreter).
struct PyError {
    Ref type;
    std::string message;  // used when `value` is empty
    Ref value;            // an exception instance fetched from the interpreter
    Ref traceback;
    Ref cause;            // becomes __cause__ of the raised exception
};

template <class T>
using PyResult = std::expected<T, PyError>;

PyError error(PyObject* type, std::string message);
PyError internal_error(std::string message);
PyError from_core(Error&& error);

// Takes the interpreter's pending exception. None pending is a SystemError; a pending
// binding_runtime.FatalError is printed and becomes an internal failure with its message.
PyError fetch_error();

// An interpreter call returned null where the layer had to create an object: print what the
// interpreter says and fail internally.
PyError api_failure();

// "'<qualified type name>' object cannot be converted to '<target>'"
PyError wrong_type(PyObject* object, std::string_view target);

// A TypeError from converting the argument `name` becomes "argument '<name>': <message>" with the
// original's cause; every other exception passes unchanged.
PyError with_argument_prefix(PyError&& error, std::string_view name);

// Sets the error as the interpreter's current exception.
void raise(PyError&& error) noexcept;

// binding_runtime.FatalError: derives from BaseException, made once on first use.
PyObject* fatal_error_type() noexcept;

inline std::unexpected<PyError> fail(PyError&& error) { return std::unexpected(std::move(error)); }

}  // namespace varnholt::binding
