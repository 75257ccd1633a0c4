#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace varnholt {

// Length of the hyphenated text form of a UUID, the form of every order id.
inline constexpr std::size_t id_length = 36;

// The 36-character text of an order id, kept inline: what the id is at the boundary.
struct IdText {
    std::array<char, id_length> chars{};

    std::string_view view() const noexcept { return {chars.data(), chars.size()}; }
    operator std::string_view() const noexcept { return view(); }
    friend bool operator==(const IdText& text, std::string_view other) noexcept { return text.view() == other; }
    template <class Stream>
    friend Stream& operator<<(Stream& out, const IdText& text) {
        out << text.view();
        return out;
    }
};

struct OrderId;
// The lowercase 8-4-4-4-12 text of an id (environment.cpp, beside the generator).
IdText text_of(const OrderId& id) noexcept;

// An order id: a 128-bit number (a random version 4 UUID, or whatever 128 bits a saved state
// held), kept as its 16 bytes in text order. Its text exists only at the boundary: text() makes it,
// parse() reads it once when an operation receives one. Only the 36-character lowercase hex form
// with its four hyphens is an id; any other text (a caller may pass any str) names no order, so
// operations that look an id up treat it as unknown.
struct OrderId {
    std::array<std::uint8_t, 16> bytes{};

    // The id of a 36-character text in the id's form (order_id.cpp); nullopt for any other text.
    static std::optional<OrderId> parse(std::string_view text) noexcept;

    IdText text() const noexcept { return text_of(*this); }
    // The text, for callers that read an id as text (a temporary: keep the IdText, not a view).
    IdText view() const noexcept { return text(); }
    // Two 8-byte words each: the defaulted comparison of the byte array compiled to a call of
    // memcmp, on the path of every look-up by id.
    friend bool operator==(const OrderId& a, const OrderId& b) noexcept {
        std::uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a.bytes.data(), 8);
        std::memcpy(&a1, a.bytes.data() + 8, 8);
        std::memcpy(&b0, b.bytes.data(), 8);
        std::memcpy(&b1, b.bytes.data() + 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
};

// The portable reading of an id's text: what OrderId::parse() is where SSE2 is missing, and what
// the tests hold its SSE2 reading to.
std::optional<OrderId> parse_id_by_table(std::string_view text) noexcept;

// An owned text that keeps anything up to the length of an order id inline and longer texts on
// the heap: the ids a fill names never allocate, and copying one is a copy of its 56 bytes, while
// a Fill built by hand may hold any text.
class Text {
public:
    Text() = default;
    explicit Text(std::string_view text) { assign(text); }
    explicit Text(const OrderId& id) noexcept : size_(id_length), short_(id.text().chars) {}

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
