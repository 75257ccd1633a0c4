#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace varnholt {

// Length of the hyphenated text form of a UUID, the form of every order id.
inline constexpr std::size_t id_length = 36;

// An order id: always exactly 36 characters, kept inline so that copying an order never allocates.
struct OrderId {
    std::array<char, id_length> chars{};

    std::string_view view() const noexcept { return {chars.data(), chars.size()}; }
    friend bool operator==(const OrderId&, const OrderId&) = default;
};

// An owned text that keeps anything up to the length of an order id inline and longer texts on
// the heap: the ids a fill names never allocate, while a Fill built by hand may hold any text.
class Text {
public:
    Text() = default;
    explicit Text(std::string_view text) { assign(text); }
    explicit Text(const OrderId& id) : size_(id_length) { short_ = id.chars; }

    std::string_view view() const noexcept {
        return size_ <= id_length ? std::string_view(short_.data(), size_) : std::string_view(long_);
    }

private:
    void assign(std::string_view text) {
        size_ = text.size();
        if (size_ <= id_length) {
            std::memcpy(short_.data(), text.data(), size_);
        } else {
            long_.assign(text);
        }
    }

    std::size_t size_ = 0;
    std::array<char, id_length> short_{};
    std::string long_;
};

}  // namespace varnholt
