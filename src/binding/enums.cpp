// The Python face of OrderType and OrderStatus: closed enumerations whose members are class
// attributes, with a text form, int(), and equality with members and 64-bit integers.
#include <array>

#include "entry.hpp"

namespace varnholt::binding {
namespace {

template <class Enum>
PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyResult<Ref> {
        return fail(error(PyExc_TypeError, std::string("No constructor defined for ") + Class<Enum>::definition().name));
    });
}

template <class Enum>
std::string_view text_form(const Enum& value) {
    return qualified_name(value);
}

template <class Enum>
std::int64_t number(const Enum& value) {
    return static_cast<std::int64_t>(value);
}

// Equality with a member of the same class or with anything that reads as a 64-bit integer
// (int, bool, __index__); everything else, and every ordering, is NotImplemented. Nothing here
// raises: a failed integer conversion only decides the path.
template <class Enum>
PyObject* compare(PyObject* self, PyObject* other, int operation) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        auto receiver = Arg<const Enum&>::convert(self);
        if (!receiver) {
            return fail(std::move(receiver.error()));
        }
        const auto n = static_cast<std::int64_t>(receiver->get());
        std::int64_t m = 0;
        if (PyObject_TypeCheck(other, Py_TYPE(self))) {
            m = static_cast<std::int64_t>(instance<Enum>(other)->record);
        } else {
            const long value = PyLong_AsLong(other);
            if (value == -1 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                return Ref::borrow(Py_NotImplemented);
            }
            m = value;
        }
        switch (operation) {
            case Py_EQ: return to_python(n == m);
            case Py_NE: return to_python(n != m);
            default: return Ref::borrow(Py_NotImplemented);
        }
    });
}

template <class Enum, Enum Member>
PyResult<Ref> member(PyTypeObject* type) {
    return new_instance_of(type, Member);
}

template <class Enum>
PyType_Slot enum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction<Enum>)},
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&text_form<Enum>>)},
    {Py_nb_int, reinterpret_cast<void*>(&unary<&number<Enum>>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare<Enum>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Enum>)},
    {0, nullptr},
};

constexpr std::array order_type_members{
    ClassAttribute{"Buy", &member<OrderType, OrderType::Buy>},
    ClassAttribute{"Sell", &member<OrderType, OrderType::Sell>},
};

constexpr std::array order_status_members{
    ClassAttribute{"Open", &member<OrderStatus, OrderStatus::Open>},
    ClassAttribute{"Filled", &member<OrderStatus, OrderStatus::Filled>},
    ClassAttribute{"Canceled", &member<OrderStatus, OrderStatus::Canceled>},
};

}  // namespace

template <>
const ClassDefinition& Class<OrderType>::definition() {
    static const ClassDefinition definition{"OrderType", nullptr, "Represents the side of an order: either Buy or Sell.",
                                sizeof(Instance<OrderType>), enum_slots<OrderType>, order_type_members};
    return definition;
}

template <>
const ClassDefinition& Class<OrderStatus>::definition() {
    static const ClassDefinition definition{"OrderStatus", nullptr, "Represents the current status of an order.",
                                sizeof(Instance<OrderStatus>), enum_slots<OrderStatus>, order_status_members};
    return definition;
}

}  // namespace varnholt::binding
