// Element types of the library: one row each, from which the DType tags, the
// names, the storage variant's alternatives, the kernel instantiations and the
// loop tables follow. Includes nothing of the project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vorka {

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

// What the kernels can do with an element: Float types compute (through
// float32), Bool only compares and combines logically.
enum class ElementKind : uint8_t { Float, Bool };

// One row per element type; the row order is the DType order and the order of
// the storage variant's alternatives.
//
//   X(C++ type, DType tag, kind,
//     name in messages, short name (Tensor.dtype), long name (NumPy's),
//     storage type (what the vector loops hold: float32 itself, the others
//     their bit pattern), zero bits, one bits, infinity bits (Bool: its
//     largest value), NumPy type number (-1: a user-defined type NumPy knows
//     only by the long name), sums widen to float32)
#define VORKA_ELEMENT_TYPES(X)                                                                                    \
    X(f16, F16, Float, "F16", "f16", "float16", uint16_t, 0x0000u, 0x3C00u, 0x7C00u, 23, true)                   \
    X(bf16, BF16, Float, "BF16", "bf16", "bfloat16", uint16_t, 0x0000u, 0x3F80u, 0x7F80u, -1, true)              \
    X(float, F32, Float, "F32", "f32", "float32", float, 0x00000000u, 0x3F800000u, 0x7F800000u, 11, false)       \
    X(bool, Bool, Bool, "Bool", "bool", "bool", uint8_t, 0x00u, 0x01u, 0x01u, 0, false)

// The Float rows' types, for explicit instantiations (checked against the
// rows below): F(T, args...) for each.
#define VORKA_FOR_FLOAT_TYPES(F, ...) F(f16, __VA_ARGS__) F(bf16, __VA_ARGS__) F(float, __VA_ARGS__)
// X(T) for each.
#define VORKA_FLOAT_TYPES(X) VORKA_FOR_FLOAT_TYPES(VORKA_APPLY_TO_TYPE, X)
#define VORKA_APPLY_TO_TYPE(T, X) X(T)

#define VORKA_DTYPE_ENUM_ROW(T, Tag, ...) Tag,
enum class DType : uint8_t { VORKA_ELEMENT_TYPES(VORKA_DTYPE_ENUM_ROW) };
#undef VORKA_DTYPE_ENUM_ROW

#define VORKA_DTYPE_COUNT_ROW(...) +1
inline constexpr std::size_t kDTypeCount = 0 VORKA_ELEMENT_TYPES(VORKA_DTYPE_COUNT_ROW);
#undef VORKA_DTYPE_COUNT_ROW

// Every name of each element type: `name` in error messages, `short_name` as
// the Python `dtype` property reports it, `long_name` as NumPy knows it. The
// constructor accepts both of the last two.
struct DTypeNames {
    std::string_view name, short_name, long_name;
};

// Unsigned integer of an element's size: the type of its bit patterns.
template <std::size_t N>
using uint_of_size = std::conditional_t<N == 1, uint8_t, std::conditional_t<N == 2, uint16_t, uint32_t>>;

template <class T>
struct ElementTraits;  // defined for the element types only

#define VORKA_ELEMENT_TRAITS_ROW(T, Tag, Kind, Name, Short, Long, Stored, Zero, One, Inf, Npy, Widens)            \
    template <>                                                                                                   \
    struct ElementTraits<T> {                                                                                     \
        using storage_type = Stored;                                                                              \
        using bits_type = uint_of_size<sizeof(T)>;                                                                \
        static constexpr DType tag = DType::Tag;                                                                  \
        static constexpr ElementKind kind = ElementKind::Kind;                                                    \
        static constexpr bool is_float = kind == ElementKind::Float;                                              \
        static constexpr DTypeNames names{Name, Short, Long};                                                     \
        static constexpr bits_type zero_bits = Zero, one_bits = One, inf_bits = Inf;                              \
        static constexpr int numpy_type = Npy;                                                                    \
        static constexpr bool sums_widen = Widens;                                                                \
        static constexpr T zero() { return __builtin_bit_cast(T, zero_bits); }                                    \
        static constexpr T one() { return __builtin_bit_cast(T, one_bits); }                                      \
    };
VORKA_ELEMENT_TYPES(VORKA_ELEMENT_TRAITS_ROW)
#undef VORKA_ELEMENT_TRAITS_ROW

template <class T>
inline constexpr bool is_float_element = ElementTraits<T>::is_float;

template <class... T>
struct TypeList {};

// The C++ type of a tag.
template <DType D>
struct ElementOf;
#define VORKA_ELEMENT_OF_ROW(T, Tag, ...) \
    template <>                           \
    struct ElementOf<DType::Tag> {        \
        using type = T;                   \
    };
VORKA_ELEMENT_TYPES(VORKA_ELEMENT_OF_ROW)
#undef VORKA_ELEMENT_OF_ROW
template <DType D>
using element_t = typename ElementOf<D>::type;

#define VORKA_TYPE_LIST_ITEM(T) , T
namespace detail {
template <class Ignored, class... T>
struct drop_first {
    using type = TypeList<T...>;
};
template <std::size_t... I>
TypeList<element_t<static_cast<DType>(I)>...> element_list(std::index_sequence<I...>);
}  // namespace detail

// Every element type, in DType order; the Float ones.
using ElementTypes = decltype(detail::element_list(std::make_index_sequence<kDTypeCount>{}));
using FloatTypes = typename detail::drop_first<void VORKA_FLOAT_TYPES(VORKA_TYPE_LIST_ITEM)>::type;
#undef VORKA_TYPE_LIST_ITEM

// Template<Wrap<T>...> for a TypeList<T...>: e.g. the storage variant.
template <template <class...> class Template, template <class> class Wrap, class List>
struct map_types;
template <template <class...> class Template, template <class> class Wrap, class... T>
struct map_types<Template, Wrap, TypeList<T...>> {
    using type = Template<Wrap<T>...>;
};
template <template <class...> class Template, template <class> class Wrap, class List>
using map_types_t = typename map_types<Template, Wrap, List>::type;

namespace detail {
template <class... T>
constexpr bool rows_consistent(TypeList<T...>) {
    std::size_t i = 0;
    return (... && (ElementTraits<T>::tag == static_cast<DType>(i++)));
}
template <class... T>
constexpr std::size_t float_row_count(TypeList<T...>) {
    return (std::size_t{0} + ... + (ElementTraits<T>::is_float ? 1 : 0));
}
template <class... T>
constexpr bool all_float(TypeList<T...>) {
    return (... && ElementTraits<T>::is_float);
}
}  // namespace detail
static_assert(detail::rows_consistent(ElementTypes{}), "each row's tag is its position");
static_assert(detail::all_float(FloatTypes{}) && detail::float_row_count(ElementTypes{}) ==
                                                      detail::float_row_count(FloatTypes{}),
              "VORKA_FLOAT_TYPES lists exactly the Float rows");

#define VORKA_DTYPE_NAMES_ROW(T, Tag, Kind, Name, Short, Long, ...) DTypeNames{Name, Short, Long},
inline constexpr DTypeNames kDTypeNames[] = {VORKA_ELEMENT_TYPES(VORKA_DTYPE_NAMES_ROW)};
#undef VORKA_DTYPE_NAMES_ROW

#define VORKA_DTYPE_WIDENS_ROW(T, Tag, Kind, Name, Short, Long, Stored, Zero, One, Inf, Npy, Widens) Widens,
inline constexpr bool kDTypeSumsWiden[] = {VORKA_ELEMENT_TYPES(VORKA_DTYPE_WIDENS_ROW)};
#undef VORKA_DTYPE_WIDENS_ROW

constexpr const DTypeNames& dtype_names(DType d) { return kDTypeNames[static_cast<std::size_t>(d)]; }
constexpr std::string_view dtype_name(DType d) { return dtype_names(d).name; }
// Whether gradients of this type are summed in float32 and rounded once.
constexpr bool dtype_sums_widen(DType d) { return kDTypeSumsWiden[static_cast<std::size_t>(d)]; }

// The element type a short or long name stands for.
constexpr std::optional<DType> dtype_from_name(std::string_view n) {
    for (std::size_t i = 0; i < std::size(kDTypeNames); ++i)
        if (n == kDTypeNames[i].short_name || n == kDTypeNames[i].long_name) return static_cast<DType>(i);
    return std::nullopt;
}

template <class T>
struct TypeTag {
    using type = T;
};

// f(TypeTag<T>{}) for the element type T of tag d.
template <std::size_t I = 0, class F>
constexpr decltype(auto) with_element_type(DType d, F&& f) {
    using T = element_t<static_cast<DType>(I)>;
    if constexpr (I + 1 == kDTypeCount) {
        return f(TypeTag<T>{});
    } else {
        if (static_cast<std::size_t>(d) == I) return f(TypeTag<T>{});
        return with_element_type<I + 1>(d, std::forward<F>(f));
    }
}

static_assert(sizeof(f16) == 2 && sizeof(bf16) == 2 && sizeof(bool) == 1 && sizeof(float) == 4);

}  // namespace vorka
