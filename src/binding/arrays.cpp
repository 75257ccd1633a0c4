#include "arrays.hpp"

#include <cstdio>
#include <cstring>
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

// "[('kind', '|u1'), ('side', '|u1'), ...]"
std::string fields_text(const RecordLayout& layout) {
    std::string fields;
    for (const Field& field : layout.fields) {
        fields += fields.empty() ? "" : ", ";
        fields += describe(field.name, field.type);
    }
    return "[" + fields + "]";
}

PyError not_records(const RecordLayout& layout, const std::string& problem) {
    return error(PyExc_TypeError,
                 problem + " (expected a one-dimensional, contiguous array of packed records " + fields_text(layout) + ")");
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

// The size in bytes of a field of one of the layouts: the digits of its type ("<u8": 8).
std::size_t field_size(const Field& field) { return static_cast<std::size_t>(field.type.back() - '0'); }

// One field of a record as a Python number, read by its type: u1, u4 and u8 unsigned, i8 signed,
// f8 a float (the layouts use no others).
PyObject* field_value(const Field& field, const std::byte* at) noexcept {
    const char kind = field.type[1];
    switch (field_size(field)) {
        case 1: return PyLong_FromUnsignedLong(static_cast<unsigned long>(*reinterpret_cast<const std::uint8_t*>(at)));
        case 4: {
            std::uint32_t value;
            std::memcpy(&value, at, sizeof value);
            return PyLong_FromUnsignedLong(value);
        }
        default: {
            if (kind == 'f') {
                double value;
                std::memcpy(&value, at, sizeof value);
                return PyFloat_FromDouble(value);
            }
            std::uint64_t value;
            std::memcpy(&value, at, sizeof value);
            return kind == 'i' ? PyLong_FromLongLong(static_cast<long long>(value)) : PyLong_FromUnsignedLongLong(value);
        }
    }
}

// A record as a tuple of its fields, in the layout's order.
PyResult<Ref> record_tuple(const RecordLayout& layout, const std::byte* record) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout.fields.size())));
    if (!tuple) {
        return fail(fetch_error());
    }
    std::size_t offset = 0;
    Py_ssize_t index = 0;
    for (const Field& field : layout.fields) {
        PyObject* value = field_value(field, record + offset);
        if (value == nullptr) {
            return fail(fetch_error());
        }
        PyTuple_SetItem(tuple.get(), index++, value);  // steals
        offset += field_size(field);
    }
    return tuple;
}

// array[row]: a record as a tuple of its fields; a row of a two-dimensional array (a snapshot) as
// a tuple of its records. Iteration without NumPy goes through it.
PyObject* row(PyObject* self, Py_ssize_t index) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        const RecordArray& array = instance<RecordArray>(self)->record;
        if (index < 0 || static_cast<std::size_t>(index) >= array.rows) {
            return fail(error(PyExc_IndexError, "record index out of range"));
        }
        const std::size_t itemsize = array.layout->itemsize;
        if (!array.columns) {
            return record_tuple(*array.layout, array.data + static_cast<std::size_t>(index) * itemsize);
        }
        const std::size_t columns = *array.columns;
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(columns)));
        if (!tuple) {
            return fail(fetch_error());
        }
        const std::byte* first = array.data + static_cast<std::size_t>(index) * columns * itemsize;
        for (std::size_t column = 0; column < columns; ++column) {
            auto record = record_tuple(*array.layout, first + column * itemsize);
            if (!record) {
                return record;
            }
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(column), record->release());  // steals
        }
        return tuple;
    });
}

// The buffer protocol's view of a buffer, laid out as CPython 3.11 and later define Py_buffer in
// their stable ABI (the 3.10 stable ABI, which the module is built against, has no buffer
// protocol). Only filled in, and only when the interpreter running is 3.11 or later (see
// definition()), so that no function outside the 3.10 stable ABI is called.
struct BufferView {
    void* buf;
    PyObject* obj;  // owned reference
    Py_ssize_t len;
    Py_ssize_t itemsize;
    int readonly;
    int ndim;
    char* format;
    Py_ssize_t* shape;
    Py_ssize_t* strides;
    Py_ssize_t* suboffsets;
    void* internal;
};
constexpr int buffer_wants_format = 0x0004;   // PyBUF_FORMAT
constexpr int buffer_wants_shape = 0x0008;    // PyBUF_ND
constexpr int buffer_wants_strides = 0x0010;  // part of PyBUF_STRIDES
char unsigned_bytes_format[] = "B";
// Py_bf_getbuffer: slot numbers are part of the stable ABI; the name is declared for 3.11 and later.
constexpr int buffer_slot = 1;

// The buffer of a RecordMemory: its array's records as bytes, one-dimensional, unsigned ("B"),
// writable like the array interface's data. The memoryview made on it holds it, and it holds the
// array, so the records stay where they are while the view lives (a replay given the result as
// `out` does not reuse an array someone holds).
int get_buffer(PyObject* self, BufferView* view, int flags) noexcept {
    const RecordArray& array = instance<RecordArray>(instance<RecordMemory>(self)->record.array.get())->record;
    const std::size_t bytes = array.rows * array.columns.value_or(1) * array.layout->itemsize;
    view->buf = const_cast<std::byte*>(array.data != nullptr ? array.data : no_records);
    view->obj = self;
    Py_INCREF(self);
    view->len = static_cast<Py_ssize_t>(bytes);
    view->itemsize = 1;
    view->readonly = 0;
    view->ndim = 1;
    view->format = (flags & buffer_wants_format) != 0 ? unsigned_bytes_format : nullptr;
    view->shape = (flags & buffer_wants_shape) != 0 ? &view->len : nullptr;
    view->strides = (flags & buffer_wants_strides) != 0 ? &view->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// Whether the interpreter running is CPython 3.11 or later, read from its version text
// ("3.11.7 (main, ...)"): Py_Version, the number, is itself 3.11 and later only.
bool runs_on_3_11_or_later() {
    static const bool later = [] {
        int major = 0;
        int minor = 0;
        return std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) == 2 && (major > 3 || (major == 3 && minor >= 11));
    }();
    return later;
}

std::string array_text(const RecordArray& self) {
    return "<RecordArray of " + std::to_string(self.rows) +
           (self.columns ? " x " + std::to_string(*self.columns) : std::string()) + " records>";
}

// array.memory: a memoryview of the records' bytes (NumPy reads the array itself through the array
// interface: a buffer on the array would be read first, as bytes). In place and writable on 3.11
// and later; a read-only copy on 3.10, whose stable ABI has no buffer protocol to export with.
PyObject* memory(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyResult<Ref> {
        if (!runs_on_3_11_or_later()) {
            const RecordArray& array = instance<RecordArray>(self)->record;
            const std::size_t bytes = array.rows * array.columns.value_or(1) * array.layout->itemsize;
            Ref copy = Ref::steal(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(array.data != nullptr ? array.data : no_records), static_cast<Py_ssize_t>(bytes)));
            return copy ? checked(PyMemoryView_FromObject(copy.get())) : fail(fetch_error());
        }
        auto exporter = new_instance(RecordMemory{Ref::borrow(self)});
        if (!exporter) {
            return exporter;
        }
        return checked(PyMemoryView_FromObject(exporter->get()));
    });
}

PyGetSetDef array_properties[] = {
    {"__array_interface__", &array_interface, nullptr,
     "The array interface (version 3) through which NumPy reads the records in place.", nullptr},
    {"memory", &memory, nullptr,
     "A memoryview of the records' bytes: in place and writable on CPython 3.11 and later, a read-only\n"
     "copy on 3.10.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&array_text>)},
    {Py_tp_getset, array_properties},
    {Py_sq_length, reinterpret_cast<void*>(&length)},
    {Py_sq_item, reinterpret_cast<void*>(&row)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RecordArray>)},
    {0, nullptr},
};

PyType_Slot memory_slots[] = {
    {buffer_slot, reinterpret_cast<void*>(&get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<RecordMemory>)},
    {0, nullptr},
};

}  // namespace

template <>
const ClassDefinition& Class<RecordArray>::definition() {
    // Not a module attribute: results carry it, and np.asarray() reads it.
    static const ClassDefinition definition{
        "RecordArray", nullptr,
        "Records made by the book: np.asarray(array) gives a NumPy structured array without copying; without\n"
        "NumPy, array[i] and iteration give each record as a tuple of its fields, and array.memory a\n"
        "memoryview of its bytes.",
        sizeof(Instance<RecordArray>), array_slots, {}};
    return definition;
}

template <>
const ClassDefinition& Class<RecordMemory>::definition() {
    // Made only on CPython 3.11 and later (see memory()), whose stable ABI has the buffer slot.
    static const ClassDefinition definition{"RecordMemory", nullptr, "The buffer behind RecordArray.memory.",
                                            sizeof(Instance<RecordMemory>), memory_slots, {}};
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

std::optional<PyResult<PackedBytes>> packed_bytes(PyObject* object, Ref& copy) {
    if (!PyBytes_Check(object)) {
        if (!PyByteArray_Check(object) && !PyMemoryView_Check(object)) {
            return std::nullopt;
        }
        // A memoryview of a strided or multi-dimensional buffer is copied as its bytes in order.
        copy = Ref::steal(PyBytes_FromObject(object));
        if (!copy) {
            return PyResult<PackedBytes>(fail(fetch_error()));
        }
        object = copy.get();
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) != 0) {
        return PyResult<PackedBytes>(fail(fetch_error()));
    }
    return PyResult<PackedBytes>(PackedBytes{reinterpret_cast<const std::byte*>(data), static_cast<std::size_t>(size)});
}

PyResult<RecordsFound> in_layout(const std::byte* data, std::size_t count, std::optional<std::size_t> found,
                                 std::optional<std::size_t> chosen, std::span<const RecordLayout* const> layouts) {
    if (found) {
        if (chosen && *chosen != *found) {
            return fail(error(PyExc_ValueError, "the layout named is " + fields_text(*layouts[*chosen]) +
                                                    ", but the array's records are " + fields_text(*layouts[*found])));
        }
        return RecordsFound{data, count, *found};
    }
    const std::size_t layout = chosen.value_or(0);
    const std::size_t size = layouts[layout]->itemsize;
    if (count % size != 0) {
        return fail(error(PyExc_ValueError, std::to_string(count) + " bytes are not a whole number of " +
                                                std::to_string(size) + "-byte records"));
    }
    return RecordsFound{data, count / size, layout};
}

std::optional<std::size_t> layout_named(PyObject* object, std::span<const RecordLayout* const> layouts) {
    if (!PyList_Check(object)) {
        return std::nullopt;
    }
    const auto fields = static_cast<std::size_t>(PyList_Size(object));
    for (std::size_t k = 0; k < layouts.size(); ++k) {
        const RecordLayout& layout = *layouts[k];
        if (fields != layout.fields.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < fields && same; ++i) {
            PyObject* given = PyList_GetItem(object, static_cast<Py_ssize_t>(i));
            const bool pair = given != nullptr && PyTuple_Check(given) && PyTuple_Size(given) == 2;
            const auto name = pair ? text_of(PyTuple_GetItem(given, 0)) : std::nullopt;
            const auto type = pair ? text_of(PyTuple_GetItem(given, 1)) : std::nullopt;
            same = name && type && *name == layout.fields[i].name && *type == layout.fields[i].type;
        }
        if (same) {
            return k;
        }
    }
    return std::nullopt;
}

PyError not_a_layout(std::span<const RecordLayout* const> layouts) {
    std::string known;
    for (const RecordLayout* layout : layouts) {
        known += known.empty() ? "" : " or ";
        known += fields_text(*layout);
    }
    return error(PyExc_TypeError, "not a record layout: expected " + known);
}

}  // namespace varnholt::binding
