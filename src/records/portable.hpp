#pragma once

// GCC and Clang builtins the core uses, with what MSVC (the compiler of the Windows wheels) has in
// their place.

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#if defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#endif
#endif

namespace varnholt {

// The low and the high 64 bits of the full 128-bit product a * b, xor-ed.
inline std::uint64_t fold_product(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ using Wide = unsigned __int128;
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return low ^ high;
#elif defined(_MSC_VER) && defined(_M_ARM64)
    return (a * b) ^ __umulh(a, b);
#else
    // Schoolbook multiplication of 32-bit halves.
    const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32;
    const std::uint64_t b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low, low_high = a_low * b_high;
    const std::uint64_t high_low = a_high * b_low, high_high = a_high * b_high;
    const std::uint64_t middle = (low_low >> 32) + (low_high & 0xFFFFFFFFu) + (high_low & 0xFFFFFFFFu);
    const std::uint64_t high = high_high + (low_high >> 32) + (high_low >> 32) + (middle >> 32);
    return (a * b) ^ high;
#endif
}

// Asks for the cache line at the address to be loaded; a hint that changes no result.
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

}  // namespace varnholt
