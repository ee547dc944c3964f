// float16/bfloat16 <-> float32 conversions against independent references
// (plain arithmetic in double).
#include <gtest/gtest.h>

#include "common.hpp"


namespace {

using vorka::bf16;
using vorka::f16;
uint32_t bits(float f) { return vorka::float_bits(f); }
const auto from_bits = vorka::float_from_bits;

// ---- references ----

uint32_t ref_f16_to_f32(uint16_t h) {
    const uint32_t sign = (h & 0x8000u) ? 0x80000000u : 0;
    const int exp = (h >> 10) & 0x1F;
    const int man = h & 0x3FF;
    if (exp == 31) return sign | 0x7F800000u | (man ? (uint32_t(man | 0x200) << 13) : 0);
    const double mag = exp == 0 ? std::ldexp(man, -24) : std::ldexp(1024 + man, exp - 25);
    return sign | bits(static_cast<float>(mag));
}

uint16_t ref_f32_to_f16(uint32_t x) {
    const uint16_t sign = (x & 0x80000000u) ? 0x8000 : 0;
    const float f = from_bits(x);
    if (std::isnan(f)) return sign | 0x7E00 | ((x >> 13) & 0x3FF);
    const double a = std::fabs(static_cast<double>(f));
    if (a >= 65520.0) return sign | 0x7C00;
    if (a < std::ldexp(1.0, -14)) return sign | static_cast<uint16_t>(std::nearbyint(std::ldexp(a, 24)));
    int k;
    std::frexp(a, &k);  // a = m * 2^k, m in [0.5, 1)
    const int e = k - 1;
    const double q = std::nearbyint(std::ldexp(a, 10 - e));  // in [1024, 2048]
    return sign | static_cast<uint16_t>(((e + 15) << 10) + static_cast<int>(q) - 1024);
}

uint32_t ref_bf16_to_f32(uint16_t h) {
    const bool nan = ((h >> 7) & 0xFF) == 0xFF && (h & 0x7F) != 0;
    return (uint32_t(h) << 16) | (nan ? 0x00400000u : 0);
}

uint16_t ref_f32_to_bf16(uint32_t x) {
    const float f = from_bits(x);
    if (std::isnan(f)) return static_cast<uint16_t>((x >> 16) | 0x40);
    const double a = std::fabs(static_cast<double>(f));
    double r = a;
    if (a != 0 && !std::isinf(a)) {
        int k;
        std::frexp(a, &k);
        const int ulp_exp = (k - 1 < -126 ? -126 : k - 1) - 7;
        r = std::ldexp(std::nearbyint(std::ldexp(a, -ulp_exp)), ulp_exp);
    }
    const uint32_t rb = bits(static_cast<float>(r));  // past the largest bfloat16: +inf
    return static_cast<uint16_t>(((x & 0x80000000u) | rb) >> 16);
}

// float32 patterns worth checking: a strided sweep of all 2^32, and every
// pattern near the rounding boundaries of both 16-bit formats.
std::vector<uint32_t> float_patterns() {
    std::vector<uint32_t> out;
    for (uint64_t x = 0; x < (uint64_t{1} << 32); x += 251) out.push_back(static_cast<uint32_t>(x));
    auto around = [&](uint32_t c, uint32_t radius) {
        for (uint32_t d = 0; d <= 2 * radius; ++d) {
            out.push_back(c - radius + d);
            out.push_back((c - radius + d) ^ 0x80000000u);
        }
    };
    // Halfway points between neighbouring finite binary16 values (both signs).
    for (uint32_t h = 0; h < 0x7C00; ++h) {
        const double lo = from_bits(ref_f16_to_f32(static_cast<uint16_t>(h)));
        const double hi = from_bits(ref_f16_to_f32(static_cast<uint16_t>(h + 1)));
        around(bits(static_cast<float>((lo + hi) / 2)), 2);
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
        ASSERT_EQ(bits(vorka::f16_to_f32(f16{b})), ref_f16_to_f32(b)) << std::hex << h;
        ASSERT_EQ(bits(vorka::bf16_to_f32(bf16{b})), ref_bf16_to_f32(b)) << std::hex << h;
        const bool f16_nan = (b & 0x7FFF) > 0x7C00, bf16_nan = (b & 0x7FFF) > 0x7F80;
        ASSERT_EQ(vorka::f32_to_f16(vorka::f16_to_f32(f16{b})).bits, f16_nan ? (b | 0x0200) : b) << std::hex << h;
        ASSERT_EQ(vorka::f32_to_bf16(vorka::bf16_to_f32(bf16{b})).bits, bf16_nan ? (b | 0x0040) : b) << std::hex << h;
        ASSERT_EQ(vorka::is_nan(f16{b}), f16_nan);
        ASSERT_EQ(vorka::is_nan(bf16{b}), bf16_nan);
    }
}

TEST(Formats, NarrowingSweep) {
    for (uint32_t x : float_patterns()) {
        ASSERT_EQ(vorka::f32_to_f16(from_bits(x)).bits, ref_f32_to_f16(x)) << std::hex << x;
        ASSERT_EQ(vorka::f32_to_bf16(from_bits(x)).bits, ref_f32_to_bf16(x)) << std::hex << x;
    }
}

}  // namespace
