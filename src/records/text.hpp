#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

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
// the heap: the ids a fill names never allocate, and copying one is a copy of its 56 bytes, while
// a Fill built by hand may hold any text.
class Text {
public:
    Text() = default;
    explicit Text(std::string_view text) { assign(text); }
    explicit Text(const OrderId& id) noexcept : size_(id_length), short_(id.chars) {}

    Text(const Text& other) : size_(other.size_), short_(other.short_) {
        if (other.long_ != nullptr) {
            long_ = copy_of(other.view());
        }
    }
    Text& operator=(const Text& other) {
        if (this != &other) {
            std::unique_ptr<char[]> copied = other.long_ != nullptr ? copy_of(other.view()) : nullptr;
            size_ = other.size_;
            short_ = other.short_;
            long_ = std::move(copied);
        }
        return *this;
    }
    // A moved-from text is a valid empty text.
    Text(Text&& other) noexcept
        : size_(std::exchange(other.size_, 0)), short_(other.short_), long_(std::move(other.long_)) {}
    Text& operator=(Text&& other) noexcept {
        if (this != &other) {
            size_ = std::exchange(other.size_, 0);
            short_ = other.short_;
            long_ = std::move(other.long_);
        }
        return *this;
    }
    ~Text() = default;

    std::string_view view() const noexcept {
        return {long_ != nullptr ? long_.get() : short_.data(), size_};
    }

private:
    static std::unique_ptr<char[]> copy_of(std::string_view text) {
        auto copy = std::make_unique_for_overwrite<char[]>(text.size());
        std::memcpy(copy.get(), text.data(), text.size());
        return copy;
    }

    void assign(std::string_view text) {
        if (text.size() <= id_length) {
            std::memcpy(short_.data(), text.data(), text.size());
        } else {
            long_ = copy_of(text);
        }
        size_ = text.size();
    }

    std::size_t size_ = 0;
    std::array<char, id_length> short_{};
    std::unique_ptr<char[]> long_;  // set only for texts longer than an id
};

static_assert(sizeof(Text) == 56, "a Text is its size, the inline characters and one pointer");

}  // namespace varnholt
