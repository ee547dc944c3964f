#include "strided/layout.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <numeric>

#include "support/checked.hpp"

namespace vorka {

std::string shape_error_text(ShapeErrorKind kind) {
    switch (kind) {
        case ShapeErrorKind::IncompatibleShape: return "ShapeError/IncompatibleShape: incompatible shapes";
        case ShapeErrorKind::IncompatibleLayout: return "ShapeError/IncompatibleLayout: incompatible memory layout";
        case ShapeErrorKind::OutOfBounds: return "ShapeError/OutOfBounds: out of bounds indexing";
        case ShapeErrorKind::Overflow: return "ShapeError/Overflow: arithmetic overflow";
    }
    return {};
}

std::string shape_text(std::span<const std::size_t> shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    s += "]";
    return s;
}

std::string reshape_error_text(std::string_view shape_error) {
    return "Error while reshape: " + std::string(shape_error);
}

std::string reshape_error_text(ShapeErrorKind kind) { return reshape_error_text(shape_error_text(kind)); }

std::string broadcast_failed_text(std::string_view operand, std::span<const std::size_t> from,
                                  std::span<const std::size_t> to) {
    return "Broadcast failed for " + std::string(operand) + ": " + shape_text(from) + " -> " + shape_text(to);
}

std::string broadcast_failed_text(std::string_view operand, std::span<const std::size_t> to) {
    return "Broadcast failed for " + std::string(operand) + " to " + shape_text(to);
}

std::string shape_mismatch_text(std::string_view op, std::span<const std::size_t> grad, std::string_view other,
                                std::span<const std::size_t> shape) {
    return "Shape mismatch in " + std::string(op) + ": grad " + shape_text(grad) + " vs " + std::string(other) + " " +
           shape_text(shape);
}

std::optional<std::size_t> checked_size(std::span<const std::size_t> shape) {
    std::size_t nonzero = 1;
    bool any_zero = false;
    for (std::size_t e : shape) {
        if (e == 0) {
            any_zero = true;
            continue;
        }
        auto next = checked_mul(nonzero, e);
        if (!next) return std::nullopt;
        nonzero = *next;
    }
    if (nonzero > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) return std::nullopt;
    return any_zero ? 0 : nonzero;
}

std::optional<ShapeErrorKind> reshape_refusal(std::size_t size, std::span<const std::size_t> shape,
                                              std::span<const std::ptrdiff_t> strides,
                                              std::span<const std::size_t> to) {
    auto n = checked_size(to);
    if (!n || *n != size || to.size() > kMaxAxes) return ShapeErrorKind::IncompatibleShape;
    if (!is_standard_layout(shape, strides)) return ShapeErrorKind::IncompatibleLayout;
    return std::nullopt;
}

// Running products of extents, used as strides. Arrays are validated with
// checked_size before these run, so the products fit; the arithmetic wraps
// (rather than overflowing a signed type) should an unvalidated shape arrive.
static std::ptrdiff_t times(std::ptrdiff_t acc, std::size_t extent) {
    return static_cast<std::ptrdiff_t>(static_cast<std::size_t>(acc) * extent);
}

static bool has_zero(std::span<const std::size_t> shape) {
    return std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end();
}

Strides default_strides(std::span<const std::size_t> shape) {
    Strides s(shape.size(), 0);
    if (has_zero(shape)) return s;
    std::ptrdiff_t acc = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        s[i] = acc;
        acc = times(acc, shape[i]);
    }
    return s;
}

Strides fortran_strides(std::span<const std::size_t> shape) {
    Strides s(shape.size(), 0);
    if (has_zero(shape)) return s;
    std::ptrdiff_t acc = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        s[i] = acc;
        acc = times(acc, shape[i]);
    }
    return s;
}

bool has_default_strides(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    if (has_zero(shape)) {
        for (auto s : strides)
            if (s != 0) return false;
        return true;
    }
    std::ptrdiff_t expected = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (strides[i] != expected) return false;
        expected = times(expected, shape[i]);
    }
    return true;
}

bool is_standard_layout(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    if (has_zero(shape)) return true;
    std::ptrdiff_t expected = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        if (shape[i] == 1) continue;
        if (strides[i] != expected) return false;
        expected = times(expected, shape[i]);
    }
    return true;
}

bool is_column_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    if (has_zero(shape)) return true;
    std::ptrdiff_t expected = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 1) continue;
        if (strides[i] != expected) return false;
        expected = times(expected, shape[i]);
    }
    return true;
}

bool is_contiguous(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    Strides def = default_strides(shape);
    if (std::equal(strides.begin(), strides.end(), def.begin(), def.end())) return true;
    const std::size_t n = shape.size();
    if (n == 1) return shape[0] <= 1 || strides[0] == -1;
    SmallVec<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::abs(strides[a]) < std::abs(strides[b]);
    });
    std::ptrdiff_t expected = 1;
    for (std::size_t axis : order) {
        if (shape[axis] != 1 && std::abs(strides[axis]) != expected) return false;
        expected = times(expected, shape[axis]);
    }
    return true;
}

uint8_t array_layout(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    using namespace layout;
    const std::size_t n = shape.size();
    if (n == 0) return CORDER | FORDER | CPREFER | FPREFER;
    if (is_standard_layout(shape, strides)) {
        std::size_t big = std::count_if(shape.begin(), shape.end(), [](std::size_t e) { return e > 1; });
        if (n == 1 || big <= 1) return CORDER | FORDER | CPREFER | FPREFER;
        return CORDER | CPREFER;
    }
    if (n >= 2 && is_column_major(shape, strides)) return FORDER | FPREFER;
    if (n >= 2) {
        if (shape[0] > 1 && strides[0] == 1) return FPREFER;
        if (shape[n - 1] > 1 && strides[n - 1] == 1) return CPREFER;
    }
    return 0;
}

std::optional<Strides> broadcast_strides(std::span<const std::size_t> shape,
                                         std::span<const std::ptrdiff_t> strides,
                                         std::span<const std::size_t> target) {
    if (!checked_size(target)) return std::nullopt;
    if (target.size() < shape.size()) return std::nullopt;
    Strides out(target.size(), 0);
    const std::size_t lead = target.size() - shape.size();
    for (std::size_t i = 0; i < shape.size(); ++i) {
        std::size_t t = target[lead + i];
        if (t == shape[i])
            out[lead + i] = strides[i];
        else if (shape[i] == 1)
            out[lead + i] = 0;
        else
            return std::nullopt;
    }
    return out;
}

BroadcastShape broadcast_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b) {
    const std::size_t n = std::max(a.size(), b.size());
    BroadcastShape r{Dims(n, 0), {}};
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
        std::size_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
        std::size_t e;
        if (x == y)
            e = x;
        else if (x == 1)
            e = y;
        else if (y == 1)
            e = x;
        else {
            r.error = "Shape mismatch: cannot broadcast " + shape_text(a) + " and " + shape_text(b);
            return r;
        }
        r.shape[n - 1 - i] = e;
    }
    return r;
}

}  // namespace vorka
