// Layout rules of strided arrays: default strides, contiguity tests, layout
// flags and broadcasting of a (shape, strides) pair. These rules are visible
// to users through `strides`, so they are kept exactly.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "strided/small_vec.hpp"

namespace vorka {

// The most axes an array may have (as many as a NumPy array can take).
inline constexpr std::size_t kMaxAxes = 64;

enum class ShapeErrorKind : uint8_t {
    IncompatibleShape,
    IncompatibleLayout,
    OutOfBounds,
    Overflow,
};

// "ShapeError/{kind}: {description}"
std::string shape_error_text(ShapeErrorKind kind);

// "[2, 3]", "[]"
std::string shape_text(std::span<const std::size_t> shape);

// The shape messages of the layers above, each built only here.
// "Error while reshape: {shape error text}"
std::string reshape_error_text(std::string_view shape_error);
std::string reshape_error_text(ShapeErrorKind kind);
// "Broadcast failed for {operand}: {from} -> {to}"
std::string broadcast_failed_text(std::string_view operand, std::span<const std::size_t> from,
                                  std::span<const std::size_t> to);
// "Broadcast failed for {operand} to {to}"
std::string broadcast_failed_text(std::string_view operand, std::span<const std::size_t> to);
// "Shape mismatch in {op}: grad {grad} vs {other} {shape}"
std::string shape_mismatch_text(std::string_view op, std::span<const std::size_t> grad, std::string_view other,
                                std::span<const std::size_t> shape);

enum class Order : uint8_t { C, F };

// Layout flags of one operand.
namespace layout {
inline constexpr uint8_t CORDER = 1;
inline constexpr uint8_t FORDER = 2;
inline constexpr uint8_t CPREFER = 4;
inline constexpr uint8_t FPREFER = 8;
}  // namespace layout

inline int layout_tendency(uint8_t flags) {
    return ((flags & layout::CORDER) ? 1 : 0) - ((flags & layout::FORDER) ? 1 : 0) +
           ((flags & layout::CPREFER) ? 1 : 0) - ((flags & layout::FPREFER) ? 1 : 0);
}

// Element count, or nothing when the product of the non-zero extents overflows
// or exceeds the largest signed size.
std::optional<std::size_t> checked_size(std::span<const std::size_t> shape);

Strides default_strides(std::span<const std::size_t> shape);
Strides fortran_strides(std::span<const std::size_t> shape);
// strides == default_strides(shape), without building the list.
bool has_default_strides(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);
bool is_standard_layout(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);
bool is_column_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);
bool is_contiguous(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);
uint8_t array_layout(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

// Why a row-major reshape of `size` elements of `shape`/`strides` to `to` is
// refused, or nothing: a different count (or one that overflows, or more than
// kMaxAxes axes) first, then a layout other than standard.
std::optional<ShapeErrorKind> reshape_refusal(std::size_t size, std::span<const std::size_t> shape,
                                              std::span<const std::ptrdiff_t> strides,
                                              std::span<const std::size_t> to);

// Strides of `shape`/`strides` broadcast to `target`, or nothing.
std::optional<Strides> broadcast_strides(std::span<const std::size_t> shape,
                                         std::span<const std::ptrdiff_t> strides,
                                         std::span<const std::size_t> target);

// Broadcast shape of two shapes, or the error text.
struct BroadcastShape {
    Dims shape;
    std::string error;  // empty on success
    bool ok() const { return error.empty(); }
};
BroadcastShape broadcast_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b);

}  // namespace vorka
