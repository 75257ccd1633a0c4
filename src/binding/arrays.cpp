#include "arrays.hpp"

#include <iterator>
#include <string>

namespace varnholt::binding {
namespace {

std::string describe(std::string_view name, std::string_view type) {
    return "('" + std::string(name) + "', '" + std::string(type) + "')";
}

// The text of a str, or nullopt for anything else.
std::optional<std::string_view> text_of(PyObject* object) {
    if (object == nullptr || !PyUnicode_Check(object)) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyError not_records(const RecordLayout& layout, const std::string& problem) {
    std::string fields;
    for (const Field& field : layout.fields) {
        fields += fields.empty() ? "" : ", ";
        fields += describe(field.name, field.type);
    }
    return error(PyExc_TypeError, problem + " (expected a one-dimensional, contiguous array of packed records " +
                                      "[" + fields + "])");
}

// A zero-size array still needs an address that is not null.
alignas(16) const std::byte no_records[16] = {};

PyObject* array_interface(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        const RecordArray& array = instance<RecordArray>(self)->record;
        const std::size_t rows = array.rows;
        Ref shape = Ref::steal(!array.columns ? Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows))
                                              : Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows),
                                                              static_cast<Py_ssize_t>(*array.columns)));
        auto descr = layout_description(*array.layout);
        if (!shape || !descr) {
            return fail(fetch_error());
        }
        const void* address = array.data != nullptr ? array.data : no_records;
        const std::string typestr = "|V" + std::to_string(array.layout->itemsize);
        // Writable: the records belong to this object alone, and NumPy keeps it alive.
        return checked(Py_BuildValue("{s:i,s:O,s:s,s:O,s:(NO),s:O}", "version", 3, "shape", shape.get(), "typestr",
                                     typestr.c_str(), "descr", descr->get(), "data",
                                     PyLong_FromVoidPtr(const_cast<void*>(address)), Py_False, "strides", Py_None));
    });
}

Py_ssize_t length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(instance<RecordArray>(self)->record.rows);
}

std::string array_text(const RecordArray& self) {
    return "<RecordArray of " + std::to_string(self.rows) +
           (self.columns ? " x " + std::to_string(*self.columns) : std::string()) + " records>";
}

PyGetSetDef array_properties[] = {
    {"__array_interface__", &array_interface, nullptr,
     "The array interface (version 3) through which NumPy reads the records in place.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&array_text>)},
    {Py_tp_getset, array_properties},
    {Py_sq_length, reinterpret_cast<void*>(&length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RecordArray>)},
    {0, nullptr},
};

}  // namespace

template <>
const ClassDefinition& Class<RecordArray>::definition() {
    // Not a module attribute: results carry it, and np.asarray() reads it.
    static const ClassDefinition definition{
        "RecordArray", nullptr,
        "Records made by the book, for NumPy: np.asarray(array) gives a structured array without copying.",
        sizeof(Instance<RecordArray>), array_slots, {}};
    return definition;
}

namespace {

// The getter of one of a replay result's arrays; the closure is its index.
PyObject* result_array(PyObject* self, void* index) noexcept {
    PyObject* array = instance<ReplayResult>(self)->record.arrays[reinterpret_cast<std::uintptr_t>(index)].get();
    Py_INCREF(array);
    return array;
}

void* array_index(std::uintptr_t index) { return reinterpret_cast<void*>(index); }

PyObject* result_next(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(instance<ReplayResult>(self)->record.next);
}

PyObject* result_stopped(PyObject* self, void*) noexcept {
    return PyLong_FromLong(instance<ReplayResult>(self)->record.stopped);
}

PyGetSetDef result_properties[] = {
    {"events", &result_array, nullptr, "Per event: its status, the order it concerned, fills, reason.", array_index(0)},
    {"fills", &result_array, nullptr, "Per fill: its event, the two orders' references, price, quantity, time.",
     array_index(1)},
    {"bids", &result_array, nullptr, "The best bid levels after every `every`-th event.", array_index(2)},
    {"asks", &result_array, nullptr, "The best ask levels after every `every`-th event.", array_index(3)},
    {"next", &result_next, nullptr, "The index of the first event not applied (len(events) when it ran through).",
     nullptr},
    {"stopped", &result_stopped, nullptr, "The OrderBook.STOP_* bits of the conditions met; 0 when it ran through.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string result_text(const ReplayResult& self) {
    const auto rows = [&](std::size_t k) { return instance<RecordArray>(self.arrays[k].get())->record.rows; };
    return "<ReplayResult of " + std::to_string(rows(0)) + " events, " + std::to_string(rows(1)) + " fills, " +
           std::to_string(rows(2)) + " snapshots>";
}

PyType_Slot result_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&result_text>)},
    {Py_tp_getset, result_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ReplayResult>)},
    {0, nullptr},
};

}  // namespace

template <>
const ClassDefinition& Class<ReplayResult>::definition() {
    // Not a module attribute, like RecordArray.
    static const ClassDefinition definition{"ReplayResult", nullptr,
                                            "What OrderBook.replay returns: its events, fills, bids and asks arrays.",
                                            sizeof(Instance<ReplayResult>), result_slots, {}};
    return definition;
}

PyResult<Ref> layout_description(const RecordLayout& layout) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(layout.fields.size())));
    if (!list) {
        return fail(fetch_error());
    }
    Py_ssize_t index = 0;
    for (const Field& field : layout.fields) {
        PyObject* pair = Py_BuildValue("(s#s#)", field.name.data(), static_cast<Py_ssize_t>(field.name.size()),
                                       field.type.data(), static_cast<Py_ssize_t>(field.type.size()));
        if (pair == nullptr) {
            return fail(fetch_error());
        }
        PyList_SetItem(list.get(), index++, pair);  // steals
    }
    return list;
}

namespace {

// How many of the layout's first field names the array's field list begins with.
std::size_t names_in_common(PyObject* descr, const RecordLayout& layout) {
    const auto fields = static_cast<std::size_t>(PyList_Size(descr));
    std::size_t common = 0;
    for (; common < layout.fields.size() && common < fields; ++common) {
        PyObject* given = PyList_GetItem(descr, static_cast<Py_ssize_t>(common));
        const bool pair = given != nullptr && PyTuple_Check(given) && PyTuple_Size(given) == 2;
        const auto name = pair ? text_of(PyTuple_GetItem(given, 0)) : std::nullopt;
        if (!name || *name != layout.fields[common].name) {
            break;
        }
    }
    return common;
}

}  // namespace

// The members of an array interface, borrowed from its dict; null where one is absent. Running out
// of memory while looking is raised as it is, not taken for an absent member (which would then be
// reported as a layout that differs).
struct InterfaceMembers {
    PyObject* version;
    PyObject* descr;
    PyObject* typestr;
    PyObject* shape;
    PyObject* strides;
    PyObject* mask;
    PyObject* offset;
    PyObject* data;
};

PyResult<InterfaceMembers> members_of(PyObject* interface) {
    static constexpr const char* keys[] = {"version", "descr", "typestr", "shape", "strides", "mask", "offset", "data"};
    PyObject* found[std::size(keys)] = {};
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        Ref key = Ref::steal(PyUnicode_FromString(keys[i]));
        found[i] = key ? PyDict_GetItemWithError(interface, key.get()) : nullptr;
        if (found[i] == nullptr && PyErr_Occurred() != nullptr) {
            return fail(fetch_error());
        }
    }
    return InterfaceMembers{found[0], found[1], found[2], found[3], found[4], found[5], found[6], found[7]};
}

PyResult<RecordsFound> records_in(PyObject* object, std::span<const RecordLayout* const> layouts) {
    Ref interface = Ref::steal(PyObject_GetAttrString(object, "__array_interface__"));
    if (!interface) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(fetch_error());
        }
        PyErr_Clear();
        return fail(wrong_type(object, "array of records"));
    }
    if (!PyDict_Check(interface.get())) {
        return fail(not_records(*layouts[0], "its __array_interface__ is not a dict"));
    }
    auto members = members_of(interface.get());
    if (!members) {
        return fail(std::move(members.error()));
    }
    PyObject* version = members->version;
    if (version == nullptr || !PyLong_Check(version) || PyLong_AsLong(version) != 3) {
        PyErr_Clear();
        return fail(not_records(*layouts[0], "its __array_interface__ is not version 3"));
    }
    PyObject* descr = members->descr;
    if (descr == nullptr || !PyList_Check(descr)) {
        return fail(not_records(*layouts[0], "its __array_interface__ has no field list ('descr')"));
    }
    std::size_t chosen = 0;
    for (std::size_t k = 1, best = names_in_common(descr, *layouts[0]); k < layouts.size(); ++k) {
        if (const std::size_t common = names_in_common(descr, *layouts[k]); common > best) {
            best = common;
            chosen = k;
        }
    }
    const RecordLayout& layout = *layouts[chosen];
    const auto fields = static_cast<std::size_t>(PyList_Size(descr));
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        const Field& want = layout.fields[i];
        if (i >= fields) {
            return fail(not_records(layout, "field " + describe(want.name, want.type) + " is missing"));
        }
        PyObject* given = PyList_GetItem(descr, static_cast<Py_ssize_t>(i));
        const bool pair = given != nullptr && PyTuple_Check(given) && PyTuple_Size(given) == 2;
        const auto name = pair ? text_of(PyTuple_GetItem(given, 0)) : std::nullopt;
        const auto type = pair ? text_of(PyTuple_GetItem(given, 1)) : std::nullopt;
        if (!name || !type || *name != want.name || *type != want.type) {
            const std::string got = name && type ? describe(*name, *type) : std::string("something else");
            return fail(not_records(layout, "field " + std::to_string(i) + " is " + got + " where field " +
                                                describe(want.name, want.type) + " belongs"));
        }
    }
    if (fields > layout.fields.size()) {
        return fail(not_records(layout, "it has " + std::to_string(fields) + " fields, more than " +
                                            std::to_string(layout.fields.size())));
    }
    const auto typestr = text_of(members->typestr);
    if (!typestr || *typestr != "|V" + std::to_string(layout.itemsize)) {
        return fail(not_records(layout, "its records are not packed in " + std::to_string(layout.itemsize) +
                                            " bytes (typestr " + std::string(typestr.value_or("?")) + ")"));
    }
    PyObject* shape = members->shape;
    if (shape == nullptr || !PyTuple_Check(shape) || PyTuple_Size(shape) != 1) {
        return fail(not_records(layout, "it is not one-dimensional"));
    }
    const Py_ssize_t count = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
    if (count < 0) {
        PyErr_Clear();
        return fail(not_records(layout, "its length is not a count"));
    }
    // Such an array could not exist, and the results of that many events could not either.
    if (static_cast<std::size_t>(count) > static_cast<std::size_t>(PY_SSIZE_T_MAX) / layout.itemsize) {
        return fail(error(PyExc_ValueError, "its length " + std::to_string(count) +
                                                " is more records than memory can address"));
    }
    PyObject* strides = members->strides;
    if (strides != nullptr && strides != Py_None &&
        !(PyTuple_Check(strides) && PyTuple_Size(strides) == 1 &&
          PyLong_AsSsize_t(PyTuple_GetItem(strides, 0)) == static_cast<Py_ssize_t>(layout.itemsize))) {
        PyErr_Clear();
        return fail(not_records(layout, "it is not contiguous"));
    }
    PyObject* mask = members->mask;
    PyObject* offset = members->offset;
    if ((mask != nullptr && mask != Py_None) || (offset != nullptr && PyLong_AsSsize_t(offset) != 0)) {
        PyErr_Clear();
        return fail(not_records(layout, "it has a mask or an offset"));
    }
    PyObject* data = members->data;
    void* address = data != nullptr && PyTuple_Check(data) && PyTuple_Size(data) == 2
                        ? PyLong_AsVoidPtr(PyTuple_GetItem(data, 0))
                        : nullptr;
    if (address == nullptr && (count != 0 || PyErr_Occurred() != nullptr)) {
        PyErr_Clear();
        return fail(not_records(layout, "its data is not an address (a buffer object is not supported)"));
    }
    return RecordsFound{static_cast<const std::byte*>(address), static_cast<std::size_t>(count), chosen};
}

}  // namespace varnholt::binding
