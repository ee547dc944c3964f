// Allocation policy. Sanitizer builds (VORKA_EXACT_ALLOC) give every buffer
// exactly the bytes it asked for, on the heap (no inline storage, no
// rounding), and fill fresh buffers with a poison pattern: a read past the
// end is then an out-of-bounds report, and an element never written shows up
// as NaN (or, for bool, as a value the sanitizer refuses to load).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vorka {

#if defined(VORKA_EXACT_ALLOC)
inline constexpr bool kExactAlloc = true;
#else
inline constexpr bool kExactAlloc = false;
#endif

// All-ones bytes: NaN in every float format, an invalid bool.
inline constexpr unsigned char kPoisonByte = 0xFF;

inline void poison_fresh(void* p, std::size_t bytes) noexcept {
    if constexpr (kExactAlloc) {
        if (bytes) std::memset(p, kPoisonByte, bytes);
    }
}

// A 64-byte aligned block of `bytes` (a checked size) for std::free: rounded
// up to whole cache lines, except in sanitizer builds. Throws std::bad_alloc.
inline void* aligned_block(std::size_t bytes) {
    void* p = nullptr;
    if constexpr (kExactAlloc) {
        if (posix_memalign(&p, 64, bytes) != 0) p = nullptr;
    } else {
        p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);  // bytes fits ptrdiff_t: no wrap
    }
    if (!p) throw std::bad_alloc();
    poison_fresh(p, bytes);
    return p;
}

}  // namespace vorka
