#include "errors.hpp"

#include <cstdlib>

namespace varnholt::binding {
namespace {

constexpr const char* fatal_error_doc =
    "The exception raised when the module's native code hits an unrecoverable internal failure.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it will typically propagate all the way\n"
    "through the stack and cause the Python interpreter to exit.";

constexpr const char* no_message = "internal failure without a message";

// str(object) as UTF-8, or `fallback` when that fails.
std::string text_of(PyObject* object, const char* fallback) {
    Ref text = Ref::steal(PyObject_Str(object));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

PyObject* fatal_error_type() noexcept {
    // Created under the interpreter lock, once; it lives until the process ends.
    static PyObject* type = [] {
        PyObject* created =
            PyErr_NewExceptionWithDoc("binding_runtime.FatalError", fatal_error_doc, PyExc_BaseException, nullptr);
        if (created == nullptr) {
            PyErr_Print();
            std::abort();
        }
        return created;
    }();
    return type;
}

PyError error(PyObject* type, std::string message) {
    return PyError(PendingException{Ref::borrow(type), std::move(message), {}, {}, {}});
}

PyError internal_error(std::string message) {
    return error(fatal_error_type(), message.empty() ? std::string(no_message) : std::move(message));
}

PyError from_core(Error&& core_error) {
    switch (core_error.kind) {
        case ErrorKind::InvalidValue: return error(PyExc_ValueError, std::move(core_error.message));
        case ErrorKind::Internal: return internal_error(std::move(core_error.message));
    }
    return internal_error(std::move(core_error.message));
}

PyError fetch_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return error(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return PyError(PendingException{Ref::steal(type), {}, Ref::steal(value), Ref::steal(traceback), {}, true, false});
}

PyObject* PyError::instance() {
    PendingException& pending = *pending_;
    if (pending.value && PyExceptionInstance_Check(pending.value.get())) {
        return pending.value.get();
    }
    PyObject* type = pending.type.release();
    PyObject* value = pending.value.release();
    PyObject* traceback = pending.traceback.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    pending.type = Ref::steal(type);
    pending.value = Ref::steal(value);
    pending.traceback = Ref::steal(traceback);
    return pending.value.get();
}

PyError api_failure() {
    if (PyErr_Occurred() == nullptr) {
        return internal_error("Python API call failed");
    }
    PyError failure = fetch_error();
    failure->api_failure = true;
    return failure;
}

PyError wrong_type(PyObject* object, std::string_view target) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    std::string type_name = "<failed to extract type name>";
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr) {
            type_name.assign(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    std::string message = "'";
    message += type_name;
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return error(PyExc_TypeError, std::move(message));
}

PyError with_argument_prefix(PyError&& original, std::string_view name) {
    if (original->type.get() != PyExc_TypeError) {
        return std::move(original);
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    if (original->value) {
        PyObject* instance = original.instance();
        message += text_of(instance, "");
        PyError prefixed = error(PyExc_TypeError, std::move(message));
        prefixed->cause = Ref::steal(instance != nullptr ? PyException_GetCause(instance) : nullptr);
        return prefixed;
    }
    message += original->message;
    PyError prefixed = error(PyExc_TypeError, std::move(message));
    prefixed->cause = std::move(original->cause);
    return prefixed;
}

void raise_out_of_memory() noexcept { PyErr_NoMemory(); }

void raise_internal(const char* message) noexcept {
    PyErr_SetString(fatal_error_type(), message != nullptr && *message != '\0' ? message : no_message);
}

namespace {

// The interpreter's error, printed, and the internal failure raised in its place.
void report_api_failure(PyError& pending) noexcept {
    PyErr_Restore(pending->type.release(), pending->value.release(), pending->traceback.release());
    PyErr_Print();
    raise_internal("Python API call failed");
}

// A binding_runtime.FatalError raised by Python code the layer called (an argument's __float__):
// reported, and passed on as an internal failure with its message.
void report_fetched_fatal_error(PyError& fetched) noexcept {
    std::string message;
    try {
        message = text_of(fetched.instance(), no_message);
    } catch (...) {
        message.clear();  // raise_internal says there is no message
    }
    PySys_WriteStderr("varnholt: a binding_runtime.FatalError was raised while converting an argument;\n"
                      "it is passed on as an internal failure. Its traceback follows.\n");
    PyErr_Restore(fetched->type.release(), fetched->value.release(), fetched->traceback.release());
    PyErr_PrintEx(0);
    raise_internal(message.c_str());
}

}  // namespace

void raise(PyError&& pending) noexcept {
    if (pending->api_failure) {
        report_api_failure(pending);
        return;
    }
    if (pending->fetched && PyErr_GivenExceptionMatches(pending->type.get(), fatal_error_type())) {
        report_fetched_fatal_error(pending);
        return;
    }
    if (pending->value) {
        PyErr_Restore(pending->type.release(), pending->value.release(), pending->traceback.release());
    } else {
        Ref message = Ref::steal(
            PyUnicode_FromStringAndSize(pending->message.data(), static_cast<Py_ssize_t>(pending->message.size())));
        if (!message) {
            return;  // the interpreter's own error (a MemoryError) stands instead
        }
        PyErr_SetObject(pending->type.get(), message.get());
    }
    if (pending->cause) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr) {
            PyException_SetCause(value, pending->cause.release());  // steals the cause
        }
        PyErr_Restore(type, value, traceback);
    }
}

}  // namespace varnholt::binding
