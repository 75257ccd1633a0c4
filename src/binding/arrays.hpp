#pragma once

// Arrays of packed records that cross the boundary through NumPy's array interface protocol
// (__array_interface__, version 3): the module neither imports nor links NumPy. A caller's array
// is read in place; an array the module makes is owned by its Python object, which NumPy keeps
// alive as the base of the arrays it makes from it.
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "entry.hpp"

namespace varnholt::binding {

// One field of a packed record, as the array interface describes it: {"price_in_ticks", "<i8"}.
struct Field {
    std::string_view name;
    std::string_view type;
};

struct RecordLayout {
    std::span<const Field> fields;
    std::size_t itemsize;
};

// A layout as NumPy takes it: a list of (name, type) pairs, so that np.dtype(it) is the records'
// dtype. Published as class attributes.
PyResult<Ref> layout_description(const RecordLayout& layout);

// Records of a caller's array, read in place for the length of the call, in one of the given
// layouts; `layout` is the index of the one it has. Packed bytes (bytes, bytearray, memoryview)
// say nothing of their layout: `layout` is then empty, `count` is their length in bytes, and
// in_layout() reads them in the layout the caller names.
template <const RecordLayout&... Layouts>
struct Records {
    const std::byte* data = nullptr;
    std::size_t count = 0;
    std::optional<std::size_t> layout;
};

struct RecordsFound {
    const std::byte* data;
    std::size_t count;
    std::size_t layout;
};

// Reads object.__array_interface__ and checks that it describes a one-dimensional, contiguous
// array of records laid out exactly as one of `layouts`: the one whose field names its own fields
// begin with the longest run of (the first on a tie). Anything else is a TypeError that says what
// differs from that layout (the field, by name).
PyResult<RecordsFound> records_in(PyObject* object, std::span<const RecordLayout* const> layouts);

// Packed records given as bytes: a bytes object is read in place (it cannot change); a bytearray
// or a memoryview is copied into a new bytes object held in `copy`, since the 3.10 stable ABI has
// no buffer protocol to read it in place, and a copy is one another thread cannot resize while the
// interpreter lock is released. Empty for any other object.
struct PackedBytes {
    const std::byte* data;
    std::size_t size;
};
std::optional<PyResult<PackedBytes>> packed_bytes(PyObject* object, Ref& copy);

// The records in the layout `chosen` names (an index into `layouts`; the first when it names none):
// an array keeps the layout its fields have, and naming another is a ValueError; packed bytes of a
// length that is not a whole number of records are a ValueError.
PyResult<RecordsFound> in_layout(const std::byte* data, std::size_t count, std::optional<std::size_t> found,
                                 std::optional<std::size_t> chosen, std::span<const RecordLayout* const> layouts);

template <const RecordLayout&... Layouts>
struct Arg<Records<Layouts...>> {
    static constexpr bool reads_before_borrow = true;
    Records<Layouts...> value;
    Ref copy;  // the bytes of a bytearray or memoryview, for the call
    static PyResult<Arg> convert(PyObject* object) {
        static constexpr const RecordLayout* layouts[] = {&Layouts...};
        Ref copy;
        if (auto packed = packed_bytes(object, copy)) {
            if (!*packed) {
                return fail(std::move(packed->error()));
            }
            return Arg{Records<Layouts...>{(*packed)->data, (*packed)->size, std::nullopt}, std::move(copy)};
        }
        auto records = records_in(object, layouts);
        if (!records) {
            return fail(std::move(records.error()));
        }
        return Arg{Records<Layouts...>{records->data, records->count, records->layout}, Ref()};
    }
    Records<Layouts...> get() const noexcept { return value; }
};

template <const RecordLayout&... Layouts>
PyResult<RecordsFound> in_layout(const Records<Layouts...>& records, std::optional<std::size_t> chosen) {
    static constexpr const RecordLayout* layouts[] = {&Layouts...};
    return in_layout(records.data, records.count, records.layout, chosen, layouts);
}

// Which of the given layouts a caller names, by its field list (OrderBook.FEED_EVENT_FIELDS, or
// a list equal to it); `index` is its place among them.
template <const RecordLayout&... Layouts>
struct LayoutChoice {
    std::size_t index = 0;
};

// The index of the layout whose (name, type) pairs `object` lists, or nothing. Runs no Python
// code: only lists, tuples and str are looked at.
std::optional<std::size_t> layout_named(PyObject* object, std::span<const RecordLayout* const> layouts);
PyError not_a_layout(std::span<const RecordLayout* const> layouts);

template <const RecordLayout&... Layouts>
struct Arg<LayoutChoice<Layouts...>> {
    std::size_t value;
    static bool inert(PyObject*) noexcept { return true; }  // see layout_named
    static PyResult<Arg> convert(PyObject* object) {
        static constexpr const RecordLayout* layouts[] = {&Layouts...};
        if (auto index = layout_named(object, layouts)) {
            return Arg{*index};
        }
        return fail(not_a_layout(layouts));
    }
    LayoutChoice<Layouts...> get() const noexcept { return {value}; }
};

// An array of records the module made: one dimension (rows), or two (rows and columns).
struct RecordArray {
    std::shared_ptr<const void> owner;
    const std::byte* data = nullptr;
    const RecordLayout* layout = nullptr;
    std::size_t rows = 0;
    std::optional<std::size_t> columns;
};

template <>
inline constexpr bool is_bound_record<RecordArray> = true;
template <>
const ClassDefinition& Class<RecordArray>::definition();

// The object behind RecordArray.memory: exports its array's records through the buffer protocol.
struct RecordMemory {
    Ref array;
};

template <>
inline constexpr bool is_bound_record<RecordMemory> = true;
template <>
const ClassDefinition& Class<RecordMemory>::definition();

// A RecordArray object made before its records exist, so that nothing can fail once they do:
// make() allocates the object and the (empty) storage its records will have; fill() then moves
// them in, which allocates nothing. reuse() takes an array a previous call made instead, when
// nothing but its result holds it: its storage keeps its capacity, so records that fit in it are
// written without allocating.
template <class Record>
class PendingArray {
public:
    static PyResult<PendingArray> make(const RecordLayout& layout, std::optional<std::size_t> columns = std::nullopt) {
        auto storage = std::make_shared<std::vector<Record>>();
        std::vector<Record>* records = storage.get();
        auto object = new_instance(RecordArray{std::move(storage), nullptr, &layout, 0, columns});
        if (!object) {
            return fail(std::move(object.error()));
        }
        return PendingArray(std::move(*object), records);
    }

    // The array in `slot` if nobody else can see its records (no variable, NumPy array or
    // memoryview holds it: each would hold a reference), emptied; otherwise a new one, put in
    // `slot`, and the one there keeps its records for those who hold it.
    static PyResult<PendingArray> reuse(Ref& slot, const RecordLayout& layout,
                                        std::optional<std::size_t> columns = std::nullopt) {
        if (slot && Py_REFCNT(slot.get()) == 1) {
            RecordArray& array = instance<RecordArray>(slot.get())->record;
            if (array.layout == &layout) {
                // The array made the storage as a vector of these records (its layout says so).
                auto* records = static_cast<std::vector<Record>*>(const_cast<void*>(array.owner.get()));
                array.data = nullptr;
                array.rows = 0;
                array.columns = columns;
                return PendingArray(Ref::borrow(slot.get()), records);
            }
        }
        auto made = make(layout, columns);
        if (made) {
            slot = Ref::borrow(made->object());
        }
        return made;
    }

    // The storage's vector, empty and with the capacity it had, for the records to be written to.
    std::vector<Record> take() noexcept {
        std::vector<Record> records = std::move(*storage_);
        records.clear();
        return records;
    }

    void fill(std::vector<Record>&& records, std::size_t rows) noexcept {
        *storage_ = std::move(records);
        RecordArray& array = instance<RecordArray>(object_.get())->record;
        array.data = reinterpret_cast<const std::byte*>(storage_->data());
        array.rows = rows;
    }

    PyObject* object() const noexcept { return object_.get(); }

private:
    PendingArray(Ref object, std::vector<Record>* storage) noexcept : object_(std::move(object)), storage_(storage) {}
    Ref object_;
    std::vector<Record>* storage_;  // owned by the array object, which object_ holds
};

// What replay() returns: its four arrays as the attributes events, fills, bids and asks. A class
// of its own (not a types.SimpleNamespace) so that it is made, like its arrays, without a
// collection that could run finalizers while the book is borrowed.
struct ReplayResult {
    std::array<Ref, 4> arrays;  // events, fills, bids, asks
    std::size_t next = 0;       // the first event not applied
    std::uint8_t stopped = 0;   // the stop conditions met (StopReason bits)
    // The MemoryError a replay into this result raises when it runs out of memory part-way, made
    // ahead (its `results` is None until it is raised) and kept for the next call that passes this
    // result as `out`, so that such a call does not make one. A raised one leaves.
    std::optional<PyError> out_of_memory;
};

template <>
inline constexpr bool is_bound_record<ReplayResult> = true;
template <>
const ClassDefinition& Class<ReplayResult>::definition();

}  // namespace varnholt::binding
