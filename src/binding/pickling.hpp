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

// What every picklable class's __reduce__, __copy__ and __deepcopy__ rows call.
template <class Record>
Reduction reduce(const Record& self) {
    if constexpr (std::is_same_v<Record, OrderBook>) {
        return Reduction{self.save_state()};
    } else {
        return Reduction{save_state(self)};
    }
}

template <class Record>
Record copy_of(const Record& self) {
    if constexpr (std::is_same_v<Record, OrderBook>) {
        return self.copy();
    } else {
        return self;
    }
}

template <class Record>
Record deep_copy_of(const Record& self, Unused) {
    return copy_of(self);
}

}  // namespace varnholt::binding
