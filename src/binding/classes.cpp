#include "classes.hpp"

#include <deque>
#include <string>
#include <vector>

namespace varnholt::binding {

PyResult<PyTypeObject*> create_type(const ClassDefinition& definition, TypeCell& cell) {
    if (cell.type != nullptr) {
        return cell.type;
    }
    // The stored documentation: "Name(signature)\n--\n\n" then the class documentation, from
    // which the interpreter derives __text_signature__ and __doc__. PyType_FromSpec copies it.
    std::string doc = definition.doc;
    if (definition.signature != nullptr) {
        doc = std::string(definition.name) + definition.signature + "\n--\n\n" + definition.doc;
    }
    // CPython 3.10 keeps the PyType_Spec name as the type's tp_name without copying it, so the name
    // lives as long as the process (types are never destroyed).
    static std::deque<std::string> qualified_names;
    const std::string& qualified_name = qualified_names.emplace_back(std::string("builtins.") + definition.name);

    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* slot = definition.slots; slot->slot != 0; ++slot) {
        slots.push_back(*slot);
    }
    slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{qualified_name.c_str(), definition.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        return fail(fetch_error());
    }
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());

    // Members are computed first, all of them, then stored; an instance of the class being made
    // gets the type directly, so making members never asks for the type again.
    std::vector<Ref> members;
    for (const ClassAttribute& attribute : definition.attributes) {
        auto member = attribute.make(type_object);
        if (!member) {
            PyError failure = error(PyExc_RuntimeError, std::string("An error occurred while initializing `") +
                                                            definition.name + "." + attribute.name + "`");
            raise(std::move(member.error()));
            failure->cause = Ref::borrow(fetch_error().instance());
            return fail(std::move(failure));
        }
        members.push_back(std::move(*member));
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (PyObject_SetAttrString(type.get(), definition.attributes[i].name, members[i].get()) != 0) {
            PyError failure =
                error(PyExc_RuntimeError, std::string("An error occurred while initializing `") + definition.name + ".__dict__`");
            failure->cause = Ref::borrow(fetch_error().instance());
            return fail(std::move(failure));
        }
    }
    cell.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
    cell.free = reinterpret_cast<freefunc>(PyType_GetSlot(type_object, Py_tp_free));
    cell.type = reinterpret_cast<PyTypeObject*>(type.release());  // kept until the process ends
    return cell.type;
}

}  // namespace varnholt::binding
