// A vector of trivially copyable values that keeps up to N of them inline.
// Shapes and strides of rank <= 4 therefore never touch the heap (except in
// sanitizer builds, where every list gets a heap block of exactly its size).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>

#include "support/alloc.hpp"
#include "support/checked.hpp"

namespace vorka {

template <class T, std::size_t N = 4>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    SmallVec() noexcept = default;
    explicit SmallVec(std::size_t n, T fill = T{}) { resize(n, fill); }
    SmallVec(std::initializer_list<T> il) { assign(il.begin(), il.size()); }
    SmallVec(const T* p, std::size_t n) { assign(p, n); }

    SmallVec(const SmallVec& o) {
        if (!o.heap_ && !kExactAlloc) {
            // Inline: a fixed-size copy, no branches on the length.
            std::memcpy(inline_, o.inline_, sizeof(inline_));
            size_ = o.size_;
        } else {
            assign(o.data(), o.size_);
        }
    }
    SmallVec(SmallVec&& o) noexcept { steal(o); }
    SmallVec& operator=(const SmallVec& o) {
        if (this != &o) assign(o.data(), o.size_);
        return *this;
    }
    SmallVec& operator=(SmallVec&& o) noexcept {
        if (this != &o) {
            release();
            steal(o);
        }
        return *this;
    }
    ~SmallVec() { release(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return heap_ ? heap_ : inline_; }
    const T* data() const noexcept { return heap_ ? heap_ : inline_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& back() noexcept { return data()[size_ - 1]; }
    operator std::span<const T>() const noexcept { return {data(), size_}; }

    void reserve(std::size_t cap) {
        if (cap <= capacity()) return;
        T* p = static_cast<T*>(::operator new(alloc_bytes(cap, sizeof(T))));
        if (size_) std::memcpy(p, data(), size_ * sizeof(T));
        if (heap_) ::operator delete(heap_);
        heap_ = p;
        cap_ = cap;
    }
    void resize(std::size_t n, T fill = T{}) {
        reserve(n);
        T* d = data();
        for (std::size_t i = size_; i < n; ++i) d[i] = fill;
        size_ = n;
    }
    void push_back(T v) {
        if (size_ == capacity()) {
            // Growth by one keeps the sanitizer build's blocks exact.
            if constexpr (kExactAlloc) reserve(size_ + 1);
            // capacity() * sizeof(T) fits ptrdiff_t, so doubling cannot wrap;
            // reserve() checks the bytes.
            else reserve(std::max<std::size_t>(2 * capacity(), N + 1));
        }
        data()[size_++] = v;
    }

    friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
        if (a.size_ != b.size_) return false;
        const T* x = a.data();
        const T* y = b.data();
        for (std::size_t i = 0; i < a.size_; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }

  private:
    static constexpr std::size_t kInline = kExactAlloc ? 0 : N;
    std::size_t capacity() const noexcept { return heap_ ? cap_ : kInline; }
    void assign(const T* p, std::size_t n) {
        size_ = 0;
        reserve(n);
        if (n) std::memmove(data(), p, n * sizeof(T));
        size_ = n;
    }
    void steal(SmallVec& o) noexcept {
        size_ = o.size_;
        if (o.heap_) {
            heap_ = o.heap_;
            cap_ = o.cap_;
            o.heap_ = nullptr;
        } else {
            heap_ = nullptr;
            if constexpr (!kExactAlloc) std::memcpy(inline_, o.inline_, sizeof(inline_));
        }
        o.size_ = 0;
    }
    void release() noexcept {
        if (heap_) ::operator delete(heap_);
        heap_ = nullptr;
        size_ = 0;
    }

    T* heap_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    T inline_[N] = {};
};

using Dims = SmallVec<std::size_t>;
using Strides = SmallVec<std::ptrdiff_t>;

}  // namespace vorka
