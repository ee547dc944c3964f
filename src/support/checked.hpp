// Overflow-checked size arithmetic. Every count that becomes a byte size (or
// an element count from a shape) goes through these, so that a huge count
// fails cleanly instead of wrapping to a small allocation that is then
// written past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

namespace vorka {

// The largest object size: pointer differences within it must fit ptrdiff_t.
inline constexpr std::size_t kMaxObjectBytes = static_cast<std::size_t>(PTRDIFF_MAX);

inline std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

inline std::optional<std::size_t> checked_add(std::size_t a, std::size_t b) noexcept {
    std::size_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// `x` rounded up to a multiple of `align` (a power of two), or nothing.
inline std::optional<std::size_t> checked_round_up(std::size_t x, std::size_t align) noexcept {
    auto r = checked_add(x, align - 1);
    if (!r) return std::nullopt;
    return *r & ~(align - 1);
}

// Bytes of `count` objects of `size` bytes for an allocation; throws
// std::bad_alloc (MemoryError at the Python boundary) when that overflows or
// exceeds the largest object size.
inline std::size_t alloc_bytes(std::size_t count, std::size_t size) {
    auto r = checked_mul(count, size);
    if (!r || *r > kMaxObjectBytes) throw std::bad_alloc();
    return *r;
}

// a + b for an allocation size, with the same failure as alloc_bytes.
inline std::size_t alloc_add(std::size_t a, std::size_t b) {
    auto r = checked_add(a, b);
    if (!r || *r > kMaxObjectBytes) throw std::bad_alloc();
    return *r;
}

}  // namespace vorka
