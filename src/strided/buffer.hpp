// Raw element buffer of an owned array. Small buffers live inline so that a
// storage holding a few elements costs a single allocation; large ones are
// aligned for vector loads and, past a few hundred kilobytes, recycled through
// a small cache of released blocks (past a few megabytes, backed by huge
// pages), so that first-touch page faults do not dominate element-wise work.
// Sanitizer builds allocate every buffer on the heap at exactly its size and
// poison it (support/alloc.hpp).
#pragma once

#include <cstddef>
#include <cstring>
#include <new>

#include "support/alloc.hpp"

namespace vorka {

class RawBuffer {
  public:
    static constexpr std::size_t kInlineBytes = 32;

    RawBuffer() noexcept = default;
    explicit RawBuffer(std::size_t bytes) { allocate(bytes); }
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    RawBuffer(RawBuffer&& o) noexcept { steal(o); }
    RawBuffer& operator=(RawBuffer&& o) noexcept {
        if (this != &o) {
            release();
            steal(o);
        }
        return *this;
    }
    ~RawBuffer() { release(); }

    void* data() noexcept { return heap_ ? heap_ : static_cast<void*>(inline_); }
    const void* data() const noexcept { return heap_ ? heap_ : static_cast<const void*>(inline_); }
    std::size_t bytes() const noexcept { return bytes_; }

  private:
    void allocate(std::size_t bytes);
    void release() noexcept {
        if (heap_) release_heap();
        bytes_ = 0;
    }
    void release_heap() noexcept;
    void steal(RawBuffer& o) noexcept {
        bytes_ = o.bytes_;
        heap_ = o.heap_;
        if (!heap_ && !kExactAlloc) std::memcpy(inline_, o.inline_, kInlineBytes);
        o.heap_ = nullptr;
        o.bytes_ = 0;
    }

    void* heap_ = nullptr;
    std::size_t bytes_ = 0;
    alignas(16) unsigned char inline_[kInlineBytes];
};

}  // namespace vorka
