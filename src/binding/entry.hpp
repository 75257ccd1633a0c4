#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <new>
#include <exception>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "convert.hpp"

namespace varnholt::binding {

// The failure guard around every entry point: turns an error value into the interpreter's current
// exception, and any C++ exception that escapes the operation into one as well: running out of
// memory becomes MemoryError, anything else binding_runtime.FatalError. The handlers allocate
// nothing in C++, so a second failure cannot arise inside them. Returns a new reference or null
// with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        PyResult<Ref> result = body();
        if (result) [[likely]] {
            return result->release();
        }
        raise(std::move(result.error()));
    } catch (const std::bad_alloc&) {
        raise_out_of_memory();
    } catch (const std::exception& failure) {
        raise_internal(failure.what());
    } catch (...) {
        raise_internal(nullptr);
    }
    return nullptr;
}

// ---- Signatures of operations ----

template <class F>
struct Operation;

template <class R, class... A>
struct Operation<R (*)(A...)> {
    using Result = R;
    using Params = std::tuple<A...>;
};

// ---- Results ----
//
// An operation's result is taken out of the objects it borrowed before any borrow ends: values
// that point into a borrowed record (a pointer to a registry entry, a listing of resting orders)
// are copied. Only then do the borrows end and the Python objects get made, so a garbage
// collection that runs finalizers while the result is built (one may release the interpreter
// lock and let another thread in) never meets an object still borrowed.
// Texts stay views: they are parts of records that never change while the caller holds them.
// Trades are the exception: their result is made before the book changes (see FillsMadeFirst in
// order_book.cpp), under the borrow, with no collection allowed to start meanwhile.

struct Nothing {};
inline PyResult<Ref> to_python(Nothing) { return Ref::borrow(Py_None); }
// An operation that made its Python result itself, before it changed anything (replay).
inline PyResult<Ref> to_python(Ref&& made) { return std::move(made); }

template <class T>
inline constexpr bool is_result = false;
template <class T>
inline constexpr bool is_result<Result<T>> = true;

template <class T>
auto take_out(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_pointer_v<V> && !std::is_same_v<V, const char*>) {
        using Element = std::remove_cv_t<std::remove_pointer_t<V>>;
        return value != nullptr ? std::optional<Element>(*value) : std::optional<Element>();
    } else if constexpr (is_result<V>) {
        using Inner = decltype(take_out(std::move(*value)));
        if (!value) {
            return Result<Inner>(std::unexpect, std::move(value.error()));
        }
        return Result<Inner>(take_out(std::move(*value)));
    } else if constexpr (requires { copy_out(value); }) {
        return copy_out(value);  // a class's own view type, found next to it
    } else {
        return V(std::forward<T>(value));
    }
}

template <auto Fn, class... Holders>
auto invoke(Holders&... holders) {
    using R = typename Operation<decltype(Fn)>::Result;
    if constexpr (std::is_void_v<R>) {
        Fn(holders.get()...);
        return Nothing{};
    } else {
        return take_out(Fn(holders.get()...));
    }
}

template <class T>
PyResult<Ref> result_to_python(T&& value) {
    return to_python(std::forward<T>(value));
}

template <class T>
PyResult<Ref> result_to_python(Result<T>&& value) {
    if (!value) {
        return fail(from_core(std::move(value.error())));
    }
    return to_python(std::move(*value));
}

template <class T>
PyResult<Ref> result_to_python(PyResult<T>&& value) {
    if (!value) {
        return fail(std::move(value.error()));
    }
    return to_python(std::move(*value));
}

// ---- The interpreter lock ----

// Runs `call`, core work that touches no Python object, with the interpreter lock released, so
// that other threads run meanwhile (the objects the call uses stay borrowed, and other threads
// meet those borrows). A C++ exception it throws (running out of memory) is carried past the
// lock's return and rethrown once the thread holds the lock again, where the entry point's guard
// raises it.
template <class Call>
std::invoke_result_t<Call&> without_interpreter_lock(Call&& call) {
    using R = std::invoke_result_t<Call&>;
    static_assert(!std::is_void_v<R>, "the call returns its result or error");
    std::optional<R> result;
    std::exception_ptr escaped;
    PyThreadState* released = PyEval_SaveThread();
    try {
        result.emplace(call());
    } catch (...) {
        escaped = std::current_exception();
    }
    PyEval_RestoreThread(released);
    if (escaped) {
        std::rethrow_exception(escaped);
    }
    return std::move(*result);
}

template <class Holder>
concept HasDefault = requires { Holder::absent(); };

template <class Holder>
concept CanConvertEarly = requires(PyObject* object) {
    { Holder::inert(object) } -> std::same_as<bool>;
};

// An argument whose reading runs the caller's Python code (an array's __array_interface__ is a
// property) and returns plain values: read before anything is borrowed, so that this code, or a
// finalizer that a collection runs meanwhile, can still use the objects the call borrows.
template <class Holder>
concept ReadsBeforeBorrow = Holder::reads_before_borrow;

// The conversions of one call: a holder per parameter, and the first failure with its parameter.
template <class... Params>
struct Conversions {
    std::tuple<std::optional<Arg<Params>>...> holders;
    std::array<std::optional<PyError>, sizeof...(Params)> early_failures;
    std::optional<PyError> failure;
    std::size_t failed = 0;
};

// Converts an argument before anything is borrowed when its conversion can run no Python code
// (an object of a built-in type): if it fails, its exception object (a UnicodeEncodeError, say)
// is then made while nothing is borrowed. The result is used at the parameter's turn, so what
// the caller sees is the same as converting in parameter order under the borrows.
template <class C, std::size_t I>
[[gnu::always_inline]] inline void convert_early(C& conversions, PyObject* const* slots) {
    using Holder = typename std::tuple_element_t<I, decltype(conversions.holders)>::value_type;
    const auto convert = [&] {
        auto converted = Holder::convert(slots[I]);
        if (converted) [[likely]] {
            std::get<I>(conversions.holders).emplace(std::move(*converted));
        } else {
            conversions.early_failures[I].emplace(std::move(converted.error()));
        }
    };
    if constexpr (ReadsBeforeBorrow<Holder>) {
        if (slots[I] != nullptr) {
            convert();
        }
    } else if constexpr (CanConvertEarly<Holder>) {
        if (slots[I] != nullptr && Holder::inert(slots[I])) {
            convert();
        }
    }
}

// Converts the bound slots in parameter order into the holders; the first failure stops.
template <class C, std::size_t I>
[[gnu::always_inline]] inline bool convert_slot(C& conversions, PyObject* const* slots) {
    using Holder = typename std::tuple_element_t<I, decltype(conversions.holders)>::value_type;
    auto& holder = std::get<I>(conversions.holders);
    if (holder) {
        return true;
    }
    const auto stop = [&](PyError&& failure) {
        conversions.failure.emplace(std::move(failure));
        conversions.failed = I;
        return false;
    };
    if (conversions.early_failures[I]) {
        return stop(std::move(*conversions.early_failures[I]));
    }
    if (slots[I] == nullptr) {
        if constexpr (HasDefault<Holder>) {
            holder.emplace(Holder::absent());
            return true;
        } else {
            return stop(internal_error("a required argument was not bound"));
        }
    }
    auto converted = Holder::convert(slots[I]);
    if (!converted) {
        return stop(std::move(converted.error()));
    }
    holder.emplace(std::move(*converted));
    return true;
}

// A call: early conversions, the receiver's borrow, the other conversions in parameter order, the
// operation; then every borrow ends, and only then are Python objects made: the result, or the
// exception of a failed conversion (prefixed with its parameter's name).
template <auto Fn, class... Receiver, class... Params, std::size_t... I>
PyResult<Ref> convert_and_invoke(PyObject* self, PyObject* const* slots, const ParamsView& params,
                                 std::tuple<Params...>*, std::index_sequence<I...>) {
    (void)slots;  // unused by operations without parameters
    (void)self;   // unused by constructors
    using Taken = decltype(invoke<Fn>(std::declval<Arg<Receiver>&>()..., std::declval<Arg<Params>&>()...));
    std::optional<Taken> result;
    std::optional<PyError> failure;
    std::size_t failed = 0;
    {
        Conversions<Params...> conversions;
        (convert_early<decltype(conversions), I>(conversions, slots), ...);
        // Every borrow (the receiver's and the arguments') ends with this scope.
        std::tuple<std::optional<Arg<Receiver>>...> receiver;
        if constexpr (sizeof...(Receiver) == 1) {
            using Self = std::tuple_element_t<0, std::tuple<Receiver...>>;
            auto borrowed = Arg<Self>::convert(self);
            if (!borrowed) {
                return fail(std::move(borrowed.error()));
            }
            std::get<0>(receiver).emplace(std::move(*borrowed));
        }
        if ((convert_slot<decltype(conversions), I>(conversions, slots) && ...)) [[likely]] {
            result.emplace(std::apply(
                [&](auto&... self_holder) { return invoke<Fn>(*self_holder..., *std::get<I>(conversions.holders)...); },
                receiver));
        } else {
            failure = std::move(conversions.failure);
            failed = conversions.failed;
        }
    }
    if (failure) {
        return fail(with_argument_prefix(std::move(*failure), params.names[failed]));
    }
    return result_to_python(std::move(*result));
}

// Splits an operation's parameters into the receiver (first) and the rest.
template <class Tuple>
struct SplitReceiver;
template <class Self, class... Rest>
struct SplitReceiver<std::tuple<Self, Rest...>> {
    using Receiver = Self;
    using Params = std::tuple<Rest...>;
};

// A method: borrow the receiver (shared for `const R&`, exclusive for `R&`), convert, call.
template <auto Fn>
PyResult<Ref> call_method(PyObject* self, PyObject* const* slots, const ParamsView& params) {
    using Split = SplitReceiver<typename Operation<decltype(Fn)>::Params>;
    constexpr std::size_t count = std::tuple_size_v<typename Split::Params>;
    return convert_and_invoke<Fn, typename Split::Receiver>(self, slots, params,
                                                            static_cast<typename Split::Params*>(nullptr),
                                                            std::make_index_sequence<count>{});
}

// ---- Entry points, one template per calling convention ----

// Binds a vectorcall's arguments to the slots of P.
template <const auto& P>
[[gnu::always_inline]] inline std::optional<PyError> bind_fast(PyObject* const* args, Py_ssize_t positional,
                                                               PyObject* keyword_names, PyObject** slots) {
    constexpr std::size_t count = std::remove_cvref_t<decltype(P)>::size;
    if (keyword_names == nullptr && static_cast<std::size_t>(positional) == count && P.positional == count) [[likely]] {
        // Every parameter passed by position: nothing to match and nothing missing.
        std::copy_n(args, count, slots);
        return std::nullopt;
    }
    return bind_vector(P.view(), args, positional, keyword_names, slots);
}

// METH_FASTCALL | METH_KEYWORDS
template <auto Fn, const auto& P>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t positional, PyObject* keyword_names) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        std::array<PyObject*, std::remove_cvref_t<decltype(P)>::size> slots{};
        if (auto failure = bind_fast<P>(args, positional, keyword_names, slots.data())) {
            return fail(std::move(*failure));
        }
        return call_method<Fn>(self, slots.data(), P.view());
    });
}

// A module-level function (METH_FASTCALL | METH_KEYWORDS): a method without a receiver.
template <auto Fn, const auto& P>
PyObject* fast_function(PyObject*, PyObject* const* args, Py_ssize_t positional, PyObject* keyword_names) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        std::array<PyObject*, std::remove_cvref_t<decltype(P)>::size> slots{};
        if (auto failure = bind_fast<P>(args, positional, keyword_names, slots.data())) {
            return fail(std::move(*failure));
        }
        using Params = typename Operation<decltype(Fn)>::Params;
        return convert_and_invoke<Fn>(nullptr, slots.data(), P.view(), static_cast<Params*>(nullptr),
                                      std::make_index_sequence<std::tuple_size_v<Params>>{});
    });
}

// METH_NOARGS (the interpreter refuses arguments), getters and tp_repr / nb_int: receiver only.
template <auto Fn>
PyObject* no_arguments(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyResult<Ref> { return call_method<Fn>(self, nullptr, ParamsView{}); });
}

template <auto Fn>
PyObject* getter(PyObject* self, void*) noexcept {
    return no_arguments<Fn>(self, nullptr);
}

template <auto Fn>
PyObject* unary(PyObject* self) noexcept {
    return no_arguments<Fn>(self, nullptr);
}

// tp_new from an argument tuple and keyword dictionary.
template <auto Fn, const auto& P>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* keywords) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        constexpr std::size_t count = std::remove_cvref_t<decltype(P)>::size;
        std::array<PyObject*, count> slots{};
        const ParamsView params = P.view();
        if (keywords == nullptr && static_cast<std::size_t>(PyTuple_Size(args)) == count && P.positional == count)
            [[likely]] {
            for (std::size_t i = 0; i < count; ++i) {
                slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
            }
        } else if (auto failure = bind_tuple(params, args, keywords, slots.data())) {
            return fail(std::move(*failure));
        }
        using Params = typename Operation<decltype(Fn)>::Params;
        return convert_and_invoke<Fn>(nullptr, slots.data(), params, static_cast<Params*>(nullptr),
                                      std::make_index_sequence<std::tuple_size_v<Params>>{});
    });
}

// A method table row for METH_FASTCALL | METH_KEYWORDS.
template <auto Fn, const auto& P>
constexpr PyMethodDef method_row(const char* name, const char* doc) {
    using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    Fast entry = &fast_method<Fn, P>;
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Fn, const auto& P>
constexpr PyMethodDef function_row(const char* name, const char* doc) {
    using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    Fast entry = &fast_function<Fn, P>;
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Fn>
constexpr PyMethodDef no_arguments_row(const char* name, const char* doc) {
    return {name, &no_arguments<Fn>, METH_NOARGS, doc};
}

template <auto Fn>
constexpr PyGetSetDef property_row(const char* name, const char* doc) {
    return {name, &getter<Fn>, nullptr, doc, nullptr};
}

// The setter of a writable property: the new value is the operation's one argument (described by
// P), converted as any argument is; deleting the attribute is refused.
template <auto Fn, const auto& P>
int setter(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute");
        return -1;
    }
    PyObject* slots[1] = {value};
    PyObject* done = guarded([&]() -> PyResult<Ref> { return call_method<Fn>(self, slots, P.view()); });
    if (done == nullptr) {
        return -1;
    }
    Py_DECREF(done);
    return 0;
}

template <auto Get, auto Set, const auto& P>
constexpr PyGetSetDef property_row(const char* name, const char* doc) {
    return {name, &getter<Get>, &setter<Set, P>, doc, nullptr};
}

}  // namespace varnholt::binding
