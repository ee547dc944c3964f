// Exact scalar conversions between float32 and the two 16-bit formats, used by
// every CPU kernel: the vector loops (engine/cpu/simd) and the numeric kernels
// above them. It includes nothing but the element types.
//
// These are the reference for the vector loops: every result,
// NaNs included, equals what the F16C instructions and the bfloat16 integer
// sequences of the vector paths produce.
//
// The functions are always inlined: this header is also included by translation
// units compiled for AVX2/AVX-512, and an out-of-line copy emitted there could
// be the one the linker keeps for baseline callers.
#pragma once

#include <cstdint>
#include <type_traits>

#include "tensor/dtype.hpp"

#define VORKA_FORMATS_INLINE [[gnu::always_inline]] constexpr

namespace vorka {

VORKA_FORMATS_INLINE uint32_t float_bits(float f) { return __builtin_bit_cast(uint32_t, f); }
VORKA_FORMATS_INLINE float float_from_bits(uint32_t u) { return __builtin_bit_cast(float, u); }

VORKA_FORMATS_INLINE bool is_nan(f16 h) { return (h.bits & 0x7FFFu) > 0x7C00u; }
VORKA_FORMATS_INLINE bool is_nan(bf16 h) { return (h.bits & 0x7FFFu) > 0x7F80u; }
VORKA_FORMATS_INLINE bool is_nan(float f) { return (float_bits(f) & 0x7FFFFFFFu) > 0x7F800000u; }

// Exact; a signalling NaN comes back quiet with its payload (as VCVTPH2PS does).
VORKA_FORMATS_INLINE float f16_to_f32(f16 h) {
    const uint32_t b = h.bits;
    const uint32_t sign = (b & 0x8000u) << 16;
    const uint32_t exp = (b >> 10) & 0x1Fu;
    uint32_t man = b & 0x3FFu;
    if (exp == 0x1Fu) {
        if (man != 0) man |= 0x200u;
        return float_from_bits(sign | 0x7F800000u | (man << 13));
    }
    if (exp != 0) return float_from_bits(sign | ((exp + 112u) << 23) | (man << 13));
    if (man == 0) return float_from_bits(sign);
    // Subnormal: move the leading one to the implicit-bit position.
    const uint32_t shift = static_cast<uint32_t>(__builtin_clz(man)) - 21u;
    return float_from_bits(sign | ((113u - shift) << 23) | (((man << shift) & 0x3FFu) << 13));
}

// Round to nearest even; gradual underflow; overflow to infinity. A NaN keeps its
// sign and top payload bits and is made quiet (as VCVTPS2PH does).
VORKA_FORMATS_INLINE f16 f32_to_f16(float f) {
    const uint32_t x = float_bits(f);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t ax = x & 0x7FFFFFFFu;
    if (ax > 0x7F800000u) return f16{static_cast<uint16_t>(sign | 0x7E00u | ((ax >> 13) & 0x3FFu))};
    if (ax >= 0x477FF000u) return f16{static_cast<uint16_t>(sign | 0x7C00u)};  // >= 65520
    if (ax >= 0x38800000u) {                                                    // >= 2^-14
        uint32_t r = ax - (112u << 23);
        r += 0xFFFu + ((r >> 13) & 1u);  // a carry into the exponent is the right answer
        return f16{static_cast<uint16_t>(sign | (r >> 13))};
    }
    const uint32_t e = ax >> 23;
    if (e < 102u) return f16{sign};  // below 2^-25: rounds to zero
    const uint32_t m = (ax & 0x7FFFFFu) | 0x800000u;
    const uint32_t shift = 126u - e;  // 14..24: half subnormals count units of 2^-24
    uint32_t q = m >> shift;
    const uint32_t rem = m & ((1u << shift) - 1u);
    const uint32_t half = 1u << (shift - 1u);
    q += (rem > half || (rem == half && (q & 1u))) ? 1u : 0u;
    return f16{static_cast<uint16_t>(sign | q)};
}

VORKA_FORMATS_INLINE float bf16_to_f32(bf16 h) {
    uint32_t b = h.bits;
    if ((b & 0x7FFFu) > 0x7F80u) b |= 0x0040u;
    return float_from_bits(b << 16);
}

VORKA_FORMATS_INLINE bf16 f32_to_bf16(float f) {
    const uint32_t x = float_bits(f);
    if ((x & 0x7FFFFFFFu) > 0x7F800000u) return bf16{static_cast<uint16_t>((x >> 16) | 0x0040u)};
    const uint32_t up = ((x & 0x8000u) != 0 && (x & 0x17FFFu) != 0) ? 1u : 0u;
    return bf16{static_cast<uint16_t>((x >> 16) + up)};
}

// a + b and a * b where, of two NaNs, the left one comes out (quieted), as from
// the x86 scalar instruction with a first: spelled out, since a compiler may
// swap the operands of a sum or product, which changes which NaN wins.
VORKA_FORMATS_INLINE float quieted(float f) { return float_from_bits(float_bits(f) | 0x00400000u); }
VORKA_FORMATS_INLINE float add_left(float a, float b) { return is_nan(a) ? quieted(a) : a + b; }
VORKA_FORMATS_INLINE float mul_left(float a, float b) { return is_nan(a) ? quieted(a) : a * b; }

// Uniform spelling for generic code over the float element types.
VORKA_FORMATS_INLINE float to_f32(float f) { return f; }
VORKA_FORMATS_INLINE float to_f32(f16 h) { return f16_to_f32(h); }
VORKA_FORMATS_INLINE float to_f32(bf16 h) { return bf16_to_f32(h); }

template <class T>
VORKA_FORMATS_INLINE T from_f32(float f) {
    if constexpr (std::is_same_v<T, float>) return f;
    else if constexpr (std::is_same_v<T, f16>) return f32_to_f16(f);
    else return f32_to_bf16(f);
}

// The number as the element type holds it, back in float32.
template <class T>
VORKA_FORMATS_INLINE float round_to(float f) { return to_f32(from_f32<T>(f)); }

}  // namespace vorka

#undef VORKA_FORMATS_INLINE
