#pragma once

#include <expected>
#include <string>
#include <utility>

namespace varnholt {

// What went wrong in the core. The binding maps each kind to one Python exception type.
enum class ErrorKind : unsigned char {
    InvalidValue,  // a value the caller passed is refused (ValueError)
    Internal,      // a broken invariant or an outside resource failed (binding_runtime.FatalError)
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> invalid_value(std::string message) {
    return std::unexpected(Error{ErrorKind::InvalidValue, std::move(message)});
}

inline std::unexpected<Error> internal_failure(std::string message) {
    return std::unexpected(Error{ErrorKind::Internal, std::move(message)});
}

}  // namespace varnholt
