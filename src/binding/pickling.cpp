#include "pickling.hpp"

namespace varnholt::binding {
namespace {

PyObject* restore_function = nullptr;

}  // namespace

void set_restore_function(PyObject* function) noexcept { restore_function = function; }

PyResult<Ref> to_python(const Reduction& reduction) {
    auto state = checked(PyBytes_FromStringAndSize(reduction.state.data(), static_cast<Py_ssize_t>(reduction.state.size())));
    if (!state) {
        return state;
    }
    auto arguments = checked(PyTuple_Pack(1, state->get()));
    if (!arguments) {
        return arguments;
    }
    return checked(PyTuple_Pack(2, restore_function, arguments->get()));
}

namespace {

using Restored = std::variant<Order, Fill, OrderBook>;

template <typename Record>
Result<Restored> restored(Result<Record>&& record) {
    if (!record) {
        return std::unexpected(std::move(record.error()));
    }
    return Restored(std::move(*record));
}

}  // namespace

Result<Restored> restore(BytesView state) {
    ByteReader in(state.bytes);
    auto kind = read_state_header(in);
    if (!kind) {
        return std::unexpected(std::move(kind.error()));
    }
    switch (*kind) {
        case StateKind::Order: return restored(restore_order(state.bytes));
        case StateKind::Fill: return restored(restore_fill(state.bytes));
        case StateKind::OrderBook: break;
    }
    return restored(OrderBook::restore(state.bytes));
}

}  // namespace varnholt::binding
