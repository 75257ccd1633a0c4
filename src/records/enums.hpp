#pragma once

#include <cstdint>
#include <string_view>

namespace varnholt {

enum class OrderType : std::uint8_t { Buy = 0, Sell = 1 };

// No operation assigns Canceled: cancellation takes an order out of the book instead.
enum class OrderStatus : std::uint8_t { Open = 0, Filled = 1, Canceled = 2 };

constexpr std::string_view short_name(OrderType side) noexcept {
    return side == OrderType::Buy ? "Buy" : "Sell";
}

constexpr std::string_view qualified_name(OrderType side) noexcept {
    return side == OrderType::Buy ? "OrderType.Buy" : "OrderType.Sell";
}

constexpr std::string_view qualified_name(OrderStatus status) noexcept {
    switch (status) {
        case OrderStatus::Open: return "OrderStatus.Open";
        case OrderStatus::Filled: return "OrderStatus.Filled";
        case OrderStatus::Canceled: return "OrderStatus.Canceled";
    }
    return "OrderStatus.?";
}

}  // namespace varnholt
