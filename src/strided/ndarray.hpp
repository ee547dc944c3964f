// NdArray: the owned strided n-dimensional array, and its borrowed views.
// Strides are counted in elements; the element with index (0, ..., 0) is
// always at the start of the buffer, since no operation makes a negative
// stride.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "strided/buffer.hpp"
#include "strided/layout.hpp"
#include "support/checked.hpp"
#include "support/result.hpp"

namespace vorka {

template <class T>
struct NdView {
    const T* ptr = nullptr;  // element with index (0, ..., 0)
    Dims shape;
    Strides strides;

    std::size_t ndim() const { return shape.size(); }
    std::size_t size() const {
        std::size_t n = 1;
        for (auto e : shape) n *= e;
        return n;
    }
    // Read-only view with `target` shape; stretched and added axes get stride 0.
    std::optional<NdView> broadcast(std::span<const std::size_t> target) const {
        auto s = broadcast_strides(shape, strides, target);
        if (!s) return std::nullopt;
        return NdView{ptr, Dims(target.data(), target.size()), std::move(*s)};
    }
};

template <class T>
struct NdViewMut {
    T* ptr = nullptr;
    Dims shape;
    Strides strides;

    std::size_t ndim() const { return shape.size(); }
};

// "index out of bounds: the len is {} but the index is {}"
inline std::string index_out_of_bounds_text(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

// Whether axes a and b of an array of rank `rank` can be swapped: an axis at
// or past the rank is an IndexError (a checked first, then b).
inline Status check_swap_axes(std::size_t rank, std::size_t a, std::size_t b) {
    if (a >= rank) return Error::index(index_out_of_bounds_text(rank, a));
    if (b >= rank) return Error::index(index_out_of_bounds_text(rank, b));
    return {};
}

template <class T>
class NdArray {
  public:
    NdArray() = default;
    NdArray(NdArray&&) noexcept = default;
    NdArray& operator=(NdArray&&) noexcept = default;
    NdArray(const NdArray&) = delete;
    NdArray& operator=(const NdArray&) = delete;

    // Elements are left unwritten: the caller fills every one before use.
    // Throws std::bad_alloc when the element count exceeds the size limit.
    static NdArray uninit(Dims shape, Order order = Order::C) {
        const std::size_t n = element_count(shape);  // before strides are derived from the extents
        Strides strides = order == Order::C ? default_strides(shape) : fortran_strides(shape);
        return make(n, std::move(shape), std::move(strides));
    }

    // `strides` must describe a dense permutation of `shape` (is_contiguous).
    static NdArray uninit_with_strides(Dims shape, Strides strides) {
        const std::size_t n = element_count(shape);
        return make(n, std::move(shape), std::move(strides));
    }

    // Same shape and strides as an existing dense array: only the byte size
    // (other elements may be smaller) needs checking.
    template <class U>
    static NdArray uninit_like(const NdArray<U>& other) {
        NdArray a;
        a.buf_ = RawBuffer(alloc_bytes(other.size(), sizeof(T)));
        a.size_ = other.size();
        a.shape_ = other.shape();
        a.strides_ = other.strides();
        return a;
    }

    static NdArray from_elem(Dims shape, T value) {
        NdArray a = uninit(std::move(shape));
        // Through the bit pattern: the compiler vectorises a loop over plain
        // integers, not one over the 16-bit element structs.
        if constexpr (sizeof(T) == 2) {
            const auto bits = __builtin_bit_cast(std::uint16_t, value);
            auto* d = reinterpret_cast<std::uint16_t*>(a.data());
            for (std::size_t i = 0; i < a.size_; ++i) d[i] = bits;
        } else {
            T* d = a.data();
            for (std::size_t i = 0; i < a.size_; ++i) d[i] = value;
        }
        return a;
    }

    // Standard-layout array from `count` elements in row-major order.
    static Result<NdArray> from_shape_vec(Dims shape, const T* elems, std::size_t count) {
        auto n = checked_size(shape);
        if (!n) return Error::value(shape_error_text(ShapeErrorKind::Overflow));
        if (count < *n) return Error::value(shape_error_text(ShapeErrorKind::OutOfBounds));
        if (count > *n) return Error::value(shape_error_text(ShapeErrorKind::IncompatibleShape));
        NdArray a = uninit(std::move(shape));
        if (*n) std::memcpy(a.data(), elems, *n * sizeof(T));
        return a;
    }

    // Same shape, strides and contents, in a new buffer.
    NdArray copy() const {
        NdArray a = uninit_with_strides(shape_, strides_);
        if (size_) std::memcpy(a.data(), data(), size_ * sizeof(T));
        return a;
    }

    const Dims& shape() const noexcept { return shape_; }
    const Strides& strides() const noexcept { return strides_; }
    std::size_t ndim() const noexcept { return shape_.size(); }
    std::size_t size() const noexcept { return size_; }
    T* data() noexcept { return static_cast<T*>(buf_.data()); }
    const T* data() const noexcept { return static_cast<const T*>(buf_.data()); }

    NdView<T> view() const { return NdView<T>{data(), shape_, strides_}; }
    NdViewMut<T> view_mut() { return NdViewMut<T>{data(), shape_, strides_}; }

    // Exchanges two axes in place; no element moves. Refused as
    // check_swap_axes says.
    Status swap_axes(std::size_t a, std::size_t b) {
        VORKA_CHECK(check_swap_axes(ndim(), a, b));
        std::swap(shape_[a], shape_[b]);
        std::swap(strides_[a], strides_[b]);
        return {};
    }

    // Row-major reshape keeping the buffer; fails (as reshape_refusal says)
    // with the ShapeError text as a ValueError message.
    Result<NdArray> into_shape(Dims shape) && {
        if (auto why = reshape_refusal(size_, shape_, strides_, shape)) return Error::value(shape_error_text(*why));
        strides_ = default_strides(shape);
        shape_ = std::move(shape);
        return std::move(*this);
    }

  private:
    // Elements of `shape`; throws std::bad_alloc when no buffer can hold them.
    static std::size_t element_count(std::span<const std::size_t> shape) {
        auto n = checked_size(shape);
        if (!n) throw std::bad_alloc();
        alloc_bytes(*n, sizeof(T));
        return *n;
    }
    static NdArray make(std::size_t n, Dims shape, Strides strides) {
        NdArray a;
        a.buf_ = RawBuffer(alloc_bytes(n, sizeof(T)));
        a.size_ = n;
        a.shape_ = std::move(shape);
        a.strides_ = std::move(strides);
        return a;
    }

    RawBuffer buf_;
    std::size_t size_ = 0;
    Dims shape_;
    Strides strides_;
};

}  // namespace vorka
