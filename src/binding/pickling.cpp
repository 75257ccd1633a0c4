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

Result<std::variant<Order, Fill, OrderBook>> restore(BytesView state) {
    ByteReader in(state.bytes);
    auto kind = read_state_header(in);
    if (!kind) {
        return std::unexpected(std::move(kind.error()));
    }
    switch (*kind) {
        case StateKind::Order: {
            auto order = restore_order(state.bytes);
            return order ? Result<std::variant<Order, Fill, OrderBook>>(std::move(*order)) : std::unexpected(std::move(order.error()));
        }
        case StateKind::Fill: {
            auto fill = restore_fill(state.bytes);
            return fill ? Result<std::variant<Order, Fill, OrderBook>>(std::move(*fill)) : std::unexpected(std::move(fill.error()));
        }
        case StateKind::OrderBook: break;
    }
    auto book = OrderBook::restore(state.bytes);
    return book ? Result<std::variant<Order, Fill, OrderBook>>(std::move(*book)) : std::unexpected(std::move(book.error()));
}

}  // namespace varnholt::binding
