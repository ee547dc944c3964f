// Element types of the library and their storage formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace vorka {

// Declaration order matters: it is the order of the storage variants.
enum class DType : uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// IEEE 754 binary16, kept as its bit pattern. Arithmetic goes through float32
// (see engine/cpu/formats.hpp).
struct f16 {
    uint16_t bits;
    friend constexpr bool operator==(f16, f16) = default;
};

// bfloat16: the upper half of a binary32, kept as its bit pattern.
struct bf16 {
    uint16_t bits;
    friend constexpr bool operator==(bf16, bf16) = default;
};

static_assert(sizeof(f16) == 2 && sizeof(bf16) == 2 && sizeof(bool) == 1 && sizeof(float) == 4);

// Every name of each element type, indexed by DType: `name` in error
// messages, `short_name` as the Python `dtype` property reports it,
// `long_name` as NumPy knows it. The constructor accepts both of the last two.
struct DTypeNames {
    std::string_view name, short_name, long_name;
};
inline constexpr DTypeNames kDTypeNames[] = {
    {"F16", "f16", "float16"},
    {"BF16", "bf16", "bfloat16"},
    {"F32", "f32", "float32"},
    {"Bool", "bool", "bool"},
};

constexpr const DTypeNames& dtype_names(DType d) { return kDTypeNames[static_cast<std::size_t>(d)]; }
constexpr std::string_view dtype_name(DType d) { return dtype_names(d).name; }

// The element type a short or long name stands for.
constexpr std::optional<DType> dtype_from_name(std::string_view n) {
    for (std::size_t i = 0; i < std::size(kDTypeNames); ++i)
        if (n == kDTypeNames[i].short_name || n == kDTypeNames[i].long_name) return static_cast<DType>(i);
    return std::nullopt;
}

}  // namespace vorka
