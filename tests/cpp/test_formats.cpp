// float16/bfloat16 <-> float32 conversions against independent references
// (plain arithmetic in double).
#include <gtest/gtest.h>

#include "common.hpp"

namespace {

using namespace vorka;

// A 16-bit format with `man` mantissa bits and exponent bias `bias`:
// float16 (10, 15) and bfloat16 (7, 127).
uint32_t ref_widen(uint16_t h, int man, int bias) {
    const uint32_t sign = uint32_t(h >> 15) << 31, exp = (h & 0x7FFFu) >> man, frac = h & ((1u << man) - 1);
    if (exp == 2u * bias + 1) return sign | 0x7F800000u | (frac ? (frac | 1u << (man - 1)) << (23 - man) : 0);
    const double mag = std::ldexp(exp ? frac + (1u << man) : frac, int(exp ? exp : 1) - bias - man);  // exact
    return sign | float_bits(static_cast<float>(mag));
}

// Rounded to nearest, ties to even; NaNs keep the top of their payload, quieted.
uint16_t ref_narrow(uint32_t x, int man, int bias) {
    const uint32_t sign = x >> 31 << 15, inf = uint32_t(2 * bias + 1) << man;
    const double a = std::fabs(static_cast<double>(float_from_bits(x)));
    if (std::isnan(a)) return uint16_t(sign | inf | 1u << (man - 1) | (x & 0x7FFFFFu) >> (23 - man));
    if (a == 0 || std::isinf(a)) return uint16_t(sign | (a == 0 ? 0 : inf));
    int k;
    std::frexp(a, &k);                                        // a = m * 2^k, m in [0.5, 1)
    const int e = std::max(k - 1, 1 - bias);                  // below the normal range: subnormal steps
    const double q = std::nearbyint(std::ldexp(a, man - e));  // a in units of the last place
    return uint16_t(sign | std::min(uint32_t((e + bias - 1) << man) + uint32_t(q), inf));
}

// float32 patterns worth checking: a strided sweep of all 2^32, and every
// pattern near the rounding boundaries of both 16-bit formats.
std::vector<uint32_t> float_patterns() {
    std::vector<uint32_t> out;
    for (uint64_t x = 0; x < (uint64_t{1} << 32); x += 251) out.push_back(static_cast<uint32_t>(x));
    auto around = [&](uint32_t c, uint32_t radius) {  // both signs
        for (uint32_t d = c - radius; d != c + radius + 1; ++d) out.insert(out.end(), {d, d ^ 0x80000000u});
    };
    // Halfway points between neighbouring finite binary16 values.
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const double lo = float_from_bits(ref_widen(uint16_t(h), 10, 15));
        const double hi = float_from_bits(ref_widen(uint16_t(h + 1), 10, 15));
        around(float_bits(static_cast<float>((lo + hi) / 2)), 2);
    }
    // bfloat16 halfway points are the patterns with low half 0x8000.
    for (uint32_t h = 0; h < 0x7F80; h += 3) around((h << 16) | 0x8000u, 2);
    for (uint32_t c : {0x33000000u /*2^-25*/, 0x33800000u /*2^-24*/, 0x38800000u /*2^-14*/, 0x387FC000u,
                       0x477FE000u /*65504*/, 0x477FF000u /*65520*/, 0x7F7F8000u, 0x7F800000u /*inf*/,
                       0x7FC00000u, 0x00800000u /*FLT_MIN*/, 0u})
        around(c, 4096);
    return out;
}

// Every 16-bit pattern widened and narrowed back: widening is exact, so the
// round trip gives the pattern (NaNs quieted).
TEST(Formats, AllSixteenBitPatterns) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const uint16_t b = static_cast<uint16_t>(h);
        ASSERT_EQ(float_bits(f16_to_f32(f16{b})), ref_widen(b, 10, 15)) << std::hex << h;
        ASSERT_EQ(float_bits(bf16_to_f32(bf16{b})), ref_widen(b, 7, 127)) << std::hex << h;
        const bool f16_nan = (b & 0x7FFF) > 0x7C00, bf16_nan = (b & 0x7FFF) > 0x7F80;
        ASSERT_EQ(f32_to_f16(f16_to_f32(f16{b})).bits, f16_nan ? (b | 0x0200) : b) << std::hex << h;
        ASSERT_EQ(f32_to_bf16(bf16_to_f32(bf16{b})).bits, bf16_nan ? (b | 0x0040) : b) << std::hex << h;
        ASSERT_EQ(is_nan(f16{b}), f16_nan);
        ASSERT_EQ(is_nan(bf16{b}), bf16_nan);
    }
}

TEST(Formats, NarrowingSweep) {
    for (uint32_t x : float_patterns()) {
        ASSERT_EQ(f32_to_f16(float_from_bits(x)).bits, ref_narrow(x, 10, 15)) << std::hex << x;
        ASSERT_EQ(f32_to_bf16(float_from_bits(x)).bits, ref_narrow(x, 7, 127)) << std::hex << x;
    }
}

}  // namespace
