#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "../records/error.hpp"
#include "ref.hpp"

namespace varnholt::binding {

// What an exception waiting to be raised consists of: a type and a message, or an object fetched
// from the interpreter.
struct PendingException {
    Ref type;
    std::string message;  // used when `value` is empty
    Ref value;            // what was fetched from the interpreter, not yet normalized
    Ref traceback;
    Ref cause;            // becomes __cause__ of the raised exception
    bool fetched = false;        // taken from the interpreter (fetch_error)
    bool api_failure = false;    // the interpreter could not make an object the layer needed
};

// An exception waiting to be raised. The exception object is made only when it reaches the
// interpreter. The details live on the heap, so that a result (PyResult below) stays two words on
// the success path every call takes; only a failure pays for the allocation.
class PyError {
public:
    explicit PyError(PendingException&& pending) : pending_(std::make_unique<PendingException>(std::move(pending))) {}

    PendingException* operator->() const noexcept { return pending_.get(); }

    // The fetched exception as an instance (made now if the interpreter left it unmade).
    // Making it can run a garbage collection: call it only when nothing is borrowed.
    PyObject* instance();

private:
    std::unique_ptr<PendingException> pending_;
};

template <class T>
using PyResult = std::expected<T, PyError>;

PyError error(PyObject* type, std::string message);
PyError internal_error(std::string message);
PyError from_core(Error&& error);

// Errors of the interpreter pass through one path. Where an interpreter call fails, its pending
// exception is taken as it is (fetch_error or api_failure), making no object and running no
// Python code, so that it can be taken while something is borrowed; it travels as a value to the
// entry point's guard, which raises it once every borrow has ended (raise below). Only there is
// anything printed or made: a fetched binding_runtime.FatalError is reported and becomes an
// internal failure with its message, and an API failure prints the interpreter's error and
// becomes the internal failure "Python API call failed".

// Takes the interpreter's pending exception. None pending is a SystemError.
PyError fetch_error();

// An interpreter call returned null where the layer had to create an object.
PyError api_failure();

// "'<qualified type name>' object cannot be converted to '<target>'"
PyError wrong_type(PyObject* object, std::string_view target);

// A TypeError from converting the argument `name` becomes "argument '<name>': <message>" with the
// original's cause; every other exception passes unchanged. Makes objects: call it only when
// nothing is borrowed.
PyError with_argument_prefix(PyError&& error, std::string_view name);

// Sets the error as the interpreter's current exception (see fetch_error for what it reports).
// Can run Python code (printing): call it only when nothing is borrowed.
void raise(PyError&& error) noexcept;

// A C++ exception that escaped an operation, raised without allocating anything in C++:
// std::bad_alloc becomes MemoryError, anything else binding_runtime.FatalError with its message.
void raise_out_of_memory() noexcept;
void raise_internal(const char* message) noexcept;

// binding_runtime.FatalError: derives from BaseException, made once on first use.
PyObject* fatal_error_type() noexcept;

inline std::unexpected<PyError> fail(PyError&& error) { return std::unexpected(std::move(error)); }

}  // namespace varnholt::binding
