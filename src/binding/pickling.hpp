#pragma once

// Copying and pickling of the module's records, shared by their classes: a class's __reduce__
// returns a Reduction of its saved state, which pickle stores as a call of varnholt._restore.
#include <string>
#include <type_traits>
#include <variant>

#include "../book/order_book.hpp"
#include "../records/state.hpp"
#include "entry.hpp"

namespace varnholt::binding {

struct Reduction {
    std::string state;
};

// (varnholt._restore, (state as bytes,))
PyResult<Ref> to_python(const Reduction& reduction);

// Made once when the module body runs; lives as long as the process.
void set_restore_function(PyObject* function) noexcept;

// varnholt._restore(state): the record a saved state describes, as a new object of its class; a
// damaged state raises ValueError.
Result<std::variant<Order, Fill, OrderBook>> restore(BytesView state);

inline constexpr const char* reduce_doc = "__reduce__($self)\n--\n\nHelper for pickle: the saved state and how to rebuild from it.";
inline constexpr const char* copy_doc = "__copy__($self)\n--\n\nAn independent copy.";
inline constexpr const char* deepcopy_doc = "__deepcopy__($self, memo)\n--\n\nAn independent copy (it holds no Python objects).";

// The book of a reading call (a listing, order_id, a copy, a pickle), for naming the orders that
// replay entered (OrderBook::name_resting) before it shows their ids. Naming only fills in what
// the book would show anyway, the same whenever asked, and a reading borrow may do it: readers
// share a book only within one thread holding the interpreter lock (only replay releases the
// lock, and it borrows exclusively), and no core reading is under way while Python code runs,
// so no reader sees the naming happen. Listings and copies stay readings, allowed inside other
// readings of the book (a conversion's Python code may read the book it was called on).
inline OrderBook& naming_view(const OrderBook& book) noexcept { return const_cast<OrderBook&>(book); }

// What every picklable class's __reduce__, __copy__ and __deepcopy__ rows call.
template <class Record>
Reduction reduce(const Record& self) {
    return Reduction{save_state(self)};
}

template <class Record>
Record copy_of(const Record& self) {
    return self;
}

template <class Record>
Record deep_copy_of(const Record& self, Unused) {
    return copy_of(self);
}

inline Result<Reduction> reduce_book(const OrderBook& self) {
    auto state = naming_view(self).save_state(system_environment().ids);
    if (!state) {
        return std::unexpected(std::move(state.error()));
    }
    return Reduction{std::move(*state)};
}

inline Result<OrderBook> copy_book(const OrderBook& self) { return naming_view(self).copy(system_environment().ids); }

inline Result<OrderBook> deep_copy_book(const OrderBook& self, Unused) { return copy_book(self); }

}  // namespace varnholt::binding
