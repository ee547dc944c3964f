// Element types of the library and their storage formats.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

namespace vorka {

// Declaration order matters: it is the order of the storage variants.
enum class DType : uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// IEEE 754 binary16, kept as its bit pattern. Arithmetic goes through float32
// (see engine/cpu/numeric/formats.hpp).
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

constexpr std::string_view dtype_name(DType d) {
    switch (d) {
        case DType::F16: return "F16";
        case DType::BF16: return "BF16";
        case DType::F32: return "F32";
        case DType::Bool: return "Bool";
    }
    return "?";
}

// The lower-case short name the Python `dtype` property reports.
constexpr std::string_view dtype_short_name(DType d) {
    switch (d) {
        case DType::F16: return "f16";
        case DType::BF16: return "bf16";
        case DType::F32: return "f32";
        case DType::Bool: return "bool";
    }
    return "?";
}

constexpr std::size_t dtype_size(DType d) {
    switch (d) {
        case DType::F16:
        case DType::BF16: return 2;
        case DType::F32: return 4;
        case DType::Bool: return 1;
    }
    return 0;
}

template <class T> struct dtype_of;
template <> struct dtype_of<f16> { static constexpr DType value = DType::F16; };
template <> struct dtype_of<bf16> { static constexpr DType value = DType::BF16; };
template <> struct dtype_of<float> { static constexpr DType value = DType::F32; };
template <> struct dtype_of<bool> { static constexpr DType value = DType::Bool; };
template <class T> inline constexpr DType dtype_of_v = dtype_of<T>::value;

template <class T>
concept Element = requires { dtype_of<T>::value; };

template <class T>
concept FloatElement = Element<T> && !std::is_same_v<T, bool>;

}  // namespace vorka
