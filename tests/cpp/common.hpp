// What the C++ tests share.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "engine/cpu/formats.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace vorka::test {

// Compared as bits, so NaN payloads and the signs of zeros count.
template <class T>
uint32_t bits_of(T v) {
    if constexpr (std::is_same_v<T, float>) return float_bits(v);
    else if constexpr (std::is_same_v<T, bool>) return v ? 1u : 0u;
    else return v.bits;
}

// Runs `check` once per instruction set the CPU has, then restores the best.
// Forcing one the CPU lacks falls back to a lesser one it has.
template <class C>
void on_every_isa(C&& check) {
    for (size_t i = 0; i < simd::kIsaCount; ++i) {
        const auto isa = static_cast<simd::Isa>(i);
        simd::force_isa(isa);
        const simd::Isa got = simd::active_isa();
        EXPECT_TRUE(simd::isa_supported(isa) ? got == isa : got < isa && simd::isa_supported(got));
        if (got != isa) continue;
        SCOPED_TRACE("instruction set " + std::string(simd::isa_name(isa)));
        check();
    }
    simd::force_isa(static_cast<simd::Isa>(simd::kIsaCount - 1));
}

}  // namespace vorka::test
