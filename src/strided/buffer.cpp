#include "strided/buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>

#include "support/counters.hpp"

namespace vorka {

namespace {
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

void RawBuffer::allocate(std::size_t bytes) {
    bytes_ = bytes;
    if (bytes <= kInlineBytes) return;
    void* p = nullptr;
    if (bytes >= kHugeThreshold) {
        std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (posix_memalign(&p, kHugePage, rounded) != 0) throw std::bad_alloc();
        madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        std::size_t rounded = (bytes + 63) / 64 * 64;
        p = std::aligned_alloc(64, rounded);
        if (!p) throw std::bad_alloc();
    }
    heap_ = p;
    counters::buffer_allocated();
}

void RawBuffer::release_heap() noexcept {
    std::free(heap_);
    counters::buffer_released();
    heap_ = nullptr;
}

}  // namespace vorka
