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
// layouts; `layout` is the index of the one it has.
template <const RecordLayout&... Layouts>
struct Records {
    const std::byte* data = nullptr;
    std::size_t count = 0;
    std::size_t layout = 0;
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

template <const RecordLayout&... Layouts>
struct Arg<Records<Layouts...>> {
    static constexpr bool reads_before_borrow = true;
    Records<Layouts...> value;
    static PyResult<Arg> convert(PyObject* object) {
        static constexpr const RecordLayout* layouts[] = {&Layouts...};
        auto records = records_in(object, layouts);
        if (!records) {
            return fail(std::move(records.error()));
        }
        return Arg{Records<Layouts...>{records->data, records->count, records->layout}};
    }
    Records<Layouts...> get() const noexcept { return value; }
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

// A RecordArray object made before its records exist, so that nothing can fail once they do:
// make() allocates the object and the (empty) storage its records will have; fill() then moves
// them in, which allocates nothing.
template <class Record>
class PendingArray {
public:
    static PyResult<PendingArray> make(const RecordLayout& layout, std::optional<std::size_t> columns = std::nullopt) {
        auto storage = std::make_shared<std::vector<Record>>();
        auto object = new_instance(RecordArray{storage, nullptr, &layout, 0, columns});
        if (!object) {
            return fail(std::move(object.error()));
        }
        return PendingArray(std::move(*object), std::move(storage));
    }

    void fill(std::vector<Record>&& records, std::size_t rows) noexcept {
        *storage_ = std::move(records);
        RecordArray& array = instance<RecordArray>(object_.get())->record;
        array.data = reinterpret_cast<const std::byte*>(storage_->data());
        array.rows = rows;
    }

    PyObject* object() const noexcept { return object_.get(); }

private:
    PendingArray(Ref object, std::shared_ptr<std::vector<Record>> storage) noexcept
        : object_(std::move(object)), storage_(std::move(storage)) {}
    Ref object_;
    std::shared_ptr<std::vector<Record>> storage_;
};

// What replay() returns: its four arrays as the attributes events, fills, bids and asks. A class
// of its own (not a types.SimpleNamespace) so that it is made, like its arrays, without a
// collection that could run finalizers while the book is borrowed.
struct ReplayResult {
    std::array<Ref, 4> arrays;  // events, fills, bids, asks
    std::size_t next = 0;       // the first event not applied
    std::uint8_t stopped = 0;   // the stop conditions met (StopReason bits)
};

template <>
inline constexpr bool is_bound_record<ReplayResult> = true;
template <>
const ClassDefinition& Class<ReplayResult>::definition();

}  // namespace varnholt::binding
