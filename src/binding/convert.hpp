#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"

namespace varnholt::binding {

// ---- Arguments: Python object -> value, chosen by the parameter's C++ type ----
//
//   double                 any number: float read directly, others through __float__/__index__
//   std::int64_t           int, bool or __index__; a float is refused
//   std::uint64_t          int, or anything with __index__; negative values overflow
//   std::string_view       str (or subclass), as UTF-8 valid for the call
//   bool                   any object, by its truth (PyObject_IsTrue)
//   std::optional<T>       as T; an absent argument gives nullopt (the parameter's default)
//   OrNone<T>              as T, where None too means "not given"
//   BytesView              bytes, as its bytes valid for the call
//   Unused                 any object, not looked at
//   const R&               shared borrow of an instance of R's class, held for the call
//   R&                     exclusive borrow of an instance of R's class, held for the call
//   R (a record)           a copy of the record; the borrow ends once the copy is made
//   Out<R>                 an instance of R's class to write results into, exclusively borrowed
//                          for the call, or None / absent (nothing given)
//
// Each Arg<T> is made by `convert` and hands the value to the operation through get().

template <class T>
struct Arg;

// Whether converting `object` can run no Python code: its type is built in (not a heap type), so
// no __float__, __index__ or __str__ written in Python can be reached. Such arguments are
// converted before anything is borrowed (see convert_early). The common exact types are decided
// without a call.
inline bool of_builtin_type(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyFloat_Type || type == &PyLong_Type || type == &PyUnicode_Type ||
           (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0;
}

template <>
struct Arg<double> {
    double value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return fail(fetch_error());
        }
        return Arg{value};
    }
    double get() const noexcept { return value; }
};

// The interpreter's C long conversion, whose OverflowError reads "Python int too large to convert
// to C long". Where a long has 32 bits (Windows), the 64-bit conversion serves, with that message.
template <>
struct Arg<std::int64_t> {
    std::int64_t value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
#if LONG_MAX == INT64_MAX
        const long value = PyLong_AsLong(object);
#else
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        }
#endif
        if (value == -1 && PyErr_Occurred() != nullptr) {
            return fail(fetch_error());
        }
        return Arg{static_cast<std::int64_t>(value)};
    }
    std::int64_t get() const noexcept { return value; }
};

template <>
struct Arg<std::uint64_t> {
    std::uint64_t value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    static PyResult<Arg> convert(PyObject* object) {
        Ref index;
        if (!PyLong_Check(object)) {
            index = Ref::steal(PyNumber_Index(object));
            if (!index) {
                return fail(fetch_error());
            }
            object = index.get();
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(object);
        // All ones is also a valid value; only a pending error makes it a failure.
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            return fail(fetch_error());
        }
        return Arg{static_cast<std::uint64_t>(value)};
    }
    std::uint64_t get() const noexcept { return value; }
};

template <>
struct Arg<std::string_view> {
    std::string_view value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
        // An exact str skips reading the type's flags, a call under the limited API.
        if (Py_TYPE(object) != &PyUnicode_Type && !PyUnicode_Check(object)) {
            return fail(wrong_type(object, "PyString"));
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) {
            return fail(fetch_error());
        }
        return Arg{std::string_view(utf8, static_cast<std::size_t>(size))};
    }
    std::string_view get() const noexcept { return value; }
};

template <class T>
struct Arg<std::optional<T>> {
    std::optional<Arg<T>> inner;
    static bool inert(PyObject* object) noexcept { return Arg<T>::inert(object); }
    static PyResult<Arg> convert(PyObject* object) {
        auto converted = Arg<T>::convert(object);
        if (!converted) {
            return fail(std::move(converted.error()));
        }
        return Arg{std::move(*converted)};
    }
    static Arg absent() { return Arg{std::nullopt}; }
    std::optional<T> get() const { return inner ? std::optional<T>(inner->get()) : std::nullopt; }
};

// The bytes of a bytes object, valid for the call.
struct BytesView {
    std::string_view bytes;
};

template <>
struct Arg<BytesView> {
    std::string_view value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    static PyResult<Arg> convert(PyObject* object) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyBytes_Check(object)) {
            return fail(wrong_type(object, "PyBytes"));
        }
        if (PyBytes_AsStringAndSize(object, &data, &size) != 0) {
            return fail(fetch_error());
        }
        return Arg{std::string_view(data, static_cast<std::size_t>(size))};
    }
    BytesView get() const noexcept { return BytesView{value}; }
};

// References (ints from 0 to 2**64 - 1) given as any iterable (a list, a set, a NumPy array), or
// None or nothing for none. Read before anything is borrowed: iterating may run Python code.
struct RefList {
    std::span<const std::uint64_t> refs;
};

template <>
struct Arg<RefList> {
    static constexpr bool reads_before_borrow = true;
    // A strategy watches a few refs: up to this many are held without allocating (one call that
    // stops on a watched fill made a vector of one ref each time).
    static constexpr std::size_t held_inline = 8;
    std::array<std::uint64_t, held_inline> few{};
    std::size_t count = 0;
    std::vector<std::uint64_t> many;
    static PyResult<Arg> convert(PyObject* object) {
        Arg list;
        if (object == Py_None) {
            return list;
        }
        const auto add = [&](PyObject* item) -> std::optional<PyError> {
            auto ref = Arg<std::uint64_t>::convert(item);
            if (!ref) {
                return std::move(ref.error());
            }
            list.push(ref->get());
            return std::nullopt;
        };
        // A tuple or list is read by index, as its iterator reads it (a list's length is looked at
        // again after each item, whose __index__ may change it), without making an iterator (part of
        // 8,706 -> 6,909 instructions for a call that stops on a watched fill; see book_replay).
        if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
            const bool tuple = PyTuple_CheckExact(object);
            for (Py_ssize_t i = 0; i < (tuple ? PyTuple_Size(object) : PyList_Size(object)); ++i) {
                Ref item = Ref::borrow(tuple ? PyTuple_GetItem(object, i) : PyList_GetItem(object, i));
                if (auto failure = add(item.get())) {
                    return fail(std::move(*failure));
                }
            }
            return list;
        }
        Ref iterator = Ref::steal(PyObject_GetIter(object));
        if (!iterator) {
            return fail(fetch_error());
        }
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (auto failure = add(item.get())) {
                return fail(std::move(*failure));
            }
        }
        if (PyErr_Occurred() != nullptr) {
            return fail(fetch_error());
        }
        return list;
    }
    static Arg absent() { return Arg{}; }
    RefList get() const noexcept {
        return RefList{count <= held_inline ? std::span<const std::uint64_t>(few.data(), count)
                                            : std::span<const std::uint64_t>(many)};
    }

private:
    void push(std::uint64_t ref) {
        if (count < held_inline) {
            few[count] = ref;
        } else {
            if (count == held_inline) {
                many.assign(few.begin(), few.end());
            }
            many.push_back(ref);
        }
        ++count;
    }
};

// A parameter that is accepted and not looked at (the memo of __deepcopy__).
struct Unused {};

template <>
struct Arg<Unused> {
    static PyResult<Arg> convert(PyObject*) { return Arg{}; }
    Unused get() const noexcept { return {}; }
};

// A flag: any object, read for its truth as `if` reads it (errors of its __bool__ pass through).
template <>
struct Arg<bool> {
    bool value;
    static bool inert(PyObject* object) noexcept { return of_builtin_type(object); }
    static PyResult<Arg> convert(PyObject* object) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) {
            return fail(fetch_error());
        }
        return Arg{truth == 1};
    }
    bool get() const noexcept { return value; }
};

// A parameter whose default is None: None and an absent argument both mean "not given".
template <class T>
struct OrNone {
    std::optional<T> value;
};

template <class T>
struct Arg<OrNone<T>> {
    std::optional<Arg<T>> inner;
    static bool inert(PyObject* object) noexcept { return object == Py_None || Arg<T>::inert(object); }
    static PyResult<Arg> convert(PyObject* object) {
        if (object == Py_None) {
            return absent();
        }
        auto converted = Arg<T>::convert(object);
        if (!converted) {
            return fail(std::move(converted.error()));
        }
        return Arg{std::move(*converted)};
    }
    static Arg absent() { return Arg{std::nullopt}; }
    OrNone<T> get() const { return OrNone<T>{inner ? std::optional<T>(inner->get()) : std::nullopt}; }
};

// The instance behind `object` if it is of the record's class.
template <class Record>
[[gnu::always_inline]] inline PyResult<Instance<Record>*> instance_of_class(PyObject* object) {
    auto type = type_of<Record>();
    if (!type) {
        return fail(std::move(type.error()));
    }
    if (!PyObject_TypeCheck(object, *type)) {
        return fail(wrong_type(object, Class<Record>::definition().name));
    }
    return instance<Record>(object);
}

inline PyError shared_borrow_refused() { return error(PyExc_RuntimeError, "Already mutably borrowed"); }
inline PyError exclusive_borrow_refused() { return error(PyExc_RuntimeError, "Already borrowed"); }

template <class Record>
struct Arg<const Record&> {
    const Record* record;
    SharedBorrow borrow;
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
        auto self = instance_of_class<Record>(object);
        if (!self) {
            return fail(std::move(self.error()));
        }
        if (!(*self)->borrow.try_share()) {
            return fail(shared_borrow_refused());
        }
        return Arg{&(*self)->record, SharedBorrow(&(*self)->borrow)};
    }
    const Record& get() const noexcept { return *record; }
};

template <class Record>
struct Arg<Record&> {
    Record* record;
    ExclusiveBorrow borrow;
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
        auto self = instance_of_class<Record>(object);
        if (!self) {
            return fail(std::move(self.error()));
        }
        if (!(*self)->borrow.try_take()) {
            return fail(exclusive_borrow_refused());
        }
        return Arg{&(*self)->record, ExclusiveBorrow(&(*self)->borrow)};
    }
    Record& get() const noexcept { return *record; }
};

template <class Record>
    requires is_bound_record<Record>
struct Arg<Record> {
    Record value;
    [[gnu::always_inline]] static PyResult<Arg> convert(PyObject* object) {
        auto borrowed = Arg<const Record&>::convert(object);
        if (!borrowed) {
            return fail(std::move(borrowed.error()));
        }
        return Arg{borrowed->get()};  // the borrow ends here, once the copy is made
    }
    const Record& get() const noexcept { return value; }
};

// A parameter that takes an object to write the call's results into (replay's `out`): an
// instance of the record's class, exclusively borrowed for the call, or nothing when the argument
// is None or absent. `object` is the instance itself, which the call may hand back.
template <class Record>
struct Out {
    Record* record = nullptr;
    PyObject* object = nullptr;
};

template <class Record>
struct Arg<Out<Record>> {
    std::optional<Arg<Record&>> inner;
    PyObject* object = nullptr;
    static PyResult<Arg> convert(PyObject* object) {
        if (object == Py_None) {
            return absent();
        }
        auto borrowed = Arg<Record&>::convert(object);
        if (!borrowed) {
            return fail(std::move(borrowed.error()));
        }
        return Arg{std::move(*borrowed), object};
    }
    static Arg absent() { return Arg{std::nullopt, nullptr}; }
    Out<Record> get() const noexcept { return inner ? Out<Record>{&inner->get(), object} : Out<Record>{}; }
};

// ---- Results: value -> new reference ----

template <class T>
PyResult<Ref> to_python(const std::optional<T>& value);
template <class T>
PyResult<Ref> to_python(const T* value);
template <class A, class B>
PyResult<Ref> to_python(const std::pair<A, B>& pair);
template <class... T>
PyResult<Ref> to_python(const std::tuple<T...>& values);
template <class... T>
PyResult<Ref> to_python(const std::variant<T...>& value);
template <class... T>
PyResult<Ref> to_python(std::variant<T...>&& value);
template <class T>
PyResult<Ref> to_python(const std::vector<T>& elements);

inline PyResult<Ref> checked(PyObject* created) {
    if (created == nullptr) {
        return fail(api_failure());
    }
    return Ref::steal(created);
}

inline PyResult<Ref> to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline PyResult<Ref> to_python(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
inline PyResult<Ref> to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
inline PyResult<Ref> to_python(double value) { return checked(PyFloat_FromDouble(value)); }
inline PyResult<Ref> to_python(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline PyResult<Ref> to_python(const std::string& text) { return to_python(std::string_view(text)); }
// An order id is always 36 ASCII characters, so Latin-1 decoding makes the same str as UTF-8
// decoding without a validation pass.
inline PyResult<Ref> to_python(const OrderId& id) {
    const IdText text = id.text();  // an id is a number until it reaches Python
    return checked(PyUnicode_DecodeLatin1(text.chars.data(), static_cast<Py_ssize_t>(text.chars.size()), nullptr));
}

// Records become new instances of their class.
template <class Record>
    requires is_bound_record<std::remove_cvref_t<Record>>
PyResult<Ref> to_python(Record&& record) {
    return new_instance(std::forward<Record>(record));
}

template <class T>
PyResult<Ref> to_python(const std::optional<T>& value) {
    if (!value) {
        return Ref::borrow(Py_None);
    }
    return to_python(*value);
}

template <class T>
PyResult<Ref> to_python(const T* value) {
    if (value == nullptr) {
        return Ref::borrow(Py_None);
    }
    return to_python(*value);
}

// A new tuple of the converted values, in order; released if one of them fails.
template <class... T>
PyResult<Ref> to_python(const std::tuple<T...>& values) {
    Ref tuple = Ref::steal(PyTuple_New(sizeof...(T)));
    if (!tuple) {
        return fail(api_failure());
    }
    std::optional<PyError> failure;
    Py_ssize_t index = 0;
    const auto put = [&](const auto& value) {
        if (failure) {
            return;
        }
        auto item = to_python(value);
        if (!item) {
            failure.emplace(std::move(item.error()));
            return;
        }
        PyTuple_SetItem(tuple.get(), index++, item->release());  // steals
    };
    std::apply([&](const auto&... value) { (put(value), ...); }, values);
    if (failure) {
        return fail(std::move(*failure));
    }
    return tuple;
}

// The one value a variant holds (moved out of a variant that is an rvalue: a book is not copied).
template <class... T>
PyResult<Ref> to_python(const std::variant<T...>& value) {
    return std::visit([](const auto& held) { return to_python(held); }, value);
}

template <class... T>
PyResult<Ref> to_python(std::variant<T...>&& value) {
    return std::visit([](auto&& held) { return to_python(std::move(held)); }, std::move(value));
}

template <class A, class B>
PyResult<Ref> to_python(const std::pair<A, B>& pair) {
    return to_python(std::tuple<const A&, const B&>(pair.first, pair.second));
}

// A new list of exactly as many elements, in order; released if one element fails.
template <class T>
PyResult<Ref> list_of(std::span<const T> elements) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) {
        return fail(api_failure());
    }
    Py_ssize_t index = 0;
    for (const T& element : elements) {
        auto item = to_python(element);
        if (!item) {
            return item;
        }
        PyList_SetItem(list.get(), index++, item->release());  // steals
    }
    return list;
}

// An add without a trade, the common case, returns an empty list: made inline.
template <class T>
[[gnu::always_inline]] inline PyResult<Ref> to_python(const std::vector<T>& elements) {
    if (elements.empty()) {
        return checked(PyList_New(0));
    }
    return list_of(std::span<const T>(elements));
}

// No garbage collection starts while it lives. Objects made while something is borrowed (the
// result of a trade, made before the book changes) are made under one: a collection started by
// their allocation would run finalizers, and a finalizer's call on the borrowed object would fail
// ("Already borrowed"). The collector's state before it is restored, not assumed.
class CollectionPause {
public:
    CollectionPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    CollectionPause(const CollectionPause&) = delete;
    CollectionPause& operator=(const CollectionPause&) = delete;
    ~CollectionPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }

private:
    bool was_enabled_;
};

}  // namespace varnholt::binding
