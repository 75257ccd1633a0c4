#pragma once

#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../book/order_book.hpp"
#include "../records/enums.hpp"
#include "../records/fill.hpp"
#include "../records/order.hpp"
#include "borrow.hpp"
#include "errors.hpp"
#include "python.hpp"

namespace varnholt::binding {

// The memory of every instance: the object header, the borrow state and one record by value.
template <class Record>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    Record record;
};

template <class Record>
Instance<Record>* instance(PyObject* object) noexcept {
    return reinterpret_cast<Instance<Record>*>(object);
}

// A class attribute computed once when its type is created (the enumeration members).
struct ClassAttribute {
    const char* name;
    PyResult<Ref> (*make)(PyTypeObject* type);
};

// Everything that describes one Python class. Each class's file defines one.
struct ClassDefinition {
    const char* name;            // bare class name; the type is named "builtins.<name>"
    const char* signature;       // constructor text signature, or nullptr
    const char* doc;
    int basic_size;
    PyType_Slot* slots;          // terminated by {0, nullptr}; the doc slot is added here
    std::span<const ClassAttribute> attributes;
};

// The process-wide type object of a class, made once and kept until the process ends.
struct TypeCell {
    PyTypeObject* type = nullptr;
    allocfunc alloc = nullptr;
    freefunc free = nullptr;
};

// The records that cross the boundary as instances of a Python class.
template <class T>
inline constexpr bool is_bound_record = false;
template <>
inline constexpr bool is_bound_record<Order> = true;
template <>
inline constexpr bool is_bound_record<Fill> = true;
template <>
inline constexpr bool is_bound_record<OrderBook> = true;
template <>
inline constexpr bool is_bound_record<OrderType> = true;
template <>
inline constexpr bool is_bound_record<OrderStatus> = true;

// Specialised once per record type by the class's own file.
template <class Record>
struct Class {
    static const ClassDefinition& definition();
};

template <>
const ClassDefinition& Class<Order>::definition();
template <>
const ClassDefinition& Class<Fill>::definition();
template <>
const ClassDefinition& Class<OrderBook>::definition();
template <>
const ClassDefinition& Class<OrderType>::definition();
template <>
const ClassDefinition& Class<OrderStatus>::definition();

template <class Record>
TypeCell& type_cell() noexcept {
    static TypeCell cell;
    return cell;
}

// Creates the type from its definition and stores its class attributes; records it in `cell`.
PyResult<PyTypeObject*> create_type(const ClassDefinition& definition, TypeCell& cell);

// The type object of a record's class, created on first use.
template <class Record>
[[gnu::noinline]] PyResult<PyTypeObject*> create_type_of() {
    TypeCell& cell = type_cell<Record>();
    auto created = create_type(Class<Record>::definition(), cell);
    if (!created) {
        raise(std::move(created.error()));
        PyErr_Print();
        return fail(internal_error(std::string("failed to create type object for ") + Class<Record>::definition().name));
    }
    return created;
}

template <class Record>
[[gnu::always_inline]] inline PyResult<PyTypeObject*> type_of() {
    if (PyTypeObject* type = type_cell<Record>().type) [[likely]] {
        return type;
    }
    return create_type_of<Record>();
}

// A new instance of `type` holding `record`, with a free borrow state. The record is copied (when
// it is not an rvalue) before the object is allocated; from its allocation on the object is owned
// by a Ref, and the record moves in with a move that cannot throw, so nothing can fail between
// the two and no object is left half made.
template <class Record>
PyResult<Ref> new_instance_of(PyTypeObject* type, Record&& record) {
    using R = std::remove_cvref_t<Record>;
    static_assert(std::is_nothrow_move_constructible_v<R>);
    R value(std::forward<Record>(record));
    TypeCell& cell = type_cell<R>();
    Ref object;
    if (cell.alloc == nullptr || cell.alloc == PyType_GenericAlloc) {
        // What the generic allocator does for a fixed-size class without garbage collection,
        // without zeroing memory that the record and the borrow state are constructed into.
        void* memory = PyObject_Malloc(sizeof(Instance<R>));
        object = Ref::steal(memory != nullptr ? PyObject_Init(static_cast<PyObject*>(memory), type) : PyErr_NoMemory());
    } else {
        object = Ref::steal(cell.alloc(type, 0));
    }
    if (!object) {
        return fail(fetch_error());
    }
    auto* self = instance<R>(object.get());
    new (&self->borrow) BorrowFlag();
    new (&self->record) R(std::move(value));
    return object;
}

template <class Record>
PyResult<Ref> new_instance(Record&& record) {
    auto type = type_of<std::remove_cvref_t<Record>>();
    if (!type) {
        return fail(std::move(type.error()));
    }
    return new_instance_of(*type, std::forward<Record>(record));
}

// tp_dealloc: destroys the record, frees the memory through the type's free function and drops
// the instance's reference to its heap type.
template <class Record>
void dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    auto* self = instance<Record>(object);
    self->record.~Record();
    self->borrow.~BorrowFlag();
    TypeCell& cell = type_cell<Record>();
    freefunc free = cell.free != nullptr ? cell.free : PyObject_Free;
    free(object);
    Py_DECREF(type);
}

}  // namespace varnholt::binding
