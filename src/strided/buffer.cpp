#include "strided/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "support/checked.hpp"

namespace vorka {

namespace {
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
// From here on blocks are mapped by us and recycled (see below): the C
// allocator maps blocks this large itself, or trims them off its heap when
// freed, so each new one would start with a page fault per page. Under
// AddressSanitizer mid-size blocks stay with the allocator it checks.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMapThreshold = kHugeThreshold;
#else
constexpr std::size_t kMapThreshold = std::size_t{256} << 10;
#endif
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = std::size_t{4} << 10;

// Large blocks are mapped directly and, once released, a few are kept for the
// next allocation of the same size: a fresh mapping costs a page fault and the
// kernel zeroing every page on first touch, which is about as slow as the
// element-wise loop writing it. The retained total is bounded like glibc's own
// heap trimming threshold.
constexpr std::size_t kCacheBytes = std::size_t{64} << 20;
constexpr std::size_t kCacheSlots = 16;

// Only called for sizes that allocate() has bounded well below the limit.
std::size_t mapped_size(std::size_t bytes) {
    return *checked_round_up(bytes, bytes >= kHugeThreshold ? kHugePage : kPage);
}

void* map_block(std::size_t size) {
    if (size < kHugeThreshold) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    // Over-map by a huge page and trim both ends to a 2 MiB-aligned block.
    const std::size_t span = alloc_add(size, kHugePage);
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + kHugePage - 1) & ~(kHugePage - 1);
    if (start > base) munmap(raw, start - base);
    const std::uintptr_t end = start + size;
    if (base + span > end) munmap(reinterpret_cast<void*>(end), base + span - end);
    void* p = reinterpret_cast<void*>(start);
    madvise(p, size, MADV_HUGEPAGE);
    return p;
}

class BlockCache {
  public:
    void* take(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t k = count_; k-- > 0;) {  // newest first: most likely still in cache
            if (slots_[k].size != size) continue;
            void* p = slots_[k].p;
            for (std::size_t j = k; j + 1 < count_; ++j) slots_[j] = slots_[j + 1];
            --count_;
            total_ -= size;
            return p;
        }
        return nullptr;
    }

    // False when the block is not kept; the caller unmaps it.
    bool put(void* p, std::size_t size) {
        if (size > kCacheBytes) return false;
        Slot evicted[kCacheSlots];
        std::size_t n_evicted = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (count_ == kCacheSlots || total_ + size > kCacheBytes) {  // oldest go first
                evicted[n_evicted++] = slots_[0];
                total_ -= slots_[0].size;
                for (std::size_t j = 0; j + 1 < count_; ++j) slots_[j] = slots_[j + 1];
                --count_;
            }
            slots_[count_++] = {p, size};
            total_ += size;
        }
        for (std::size_t k = 0; k < n_evicted; ++k) munmap(evicted[k].p, evicted[k].size);
        return true;
    }

  private:
    struct Slot {
        void* p;
        std::size_t size;
    };
    std::mutex mutex_;
    Slot slots_[kCacheSlots] = {};
    std::size_t count_ = 0;
    std::size_t total_ = 0;
};

// Never destroyed: buffers may still be released during static destruction.
BlockCache& block_cache() {
    static BlockCache* cache = new BlockCache;
    return *cache;
}

}  // namespace

void RawBuffer::allocate(std::size_t bytes) {
    bytes_ = 0;
    if (bytes > kMaxObjectBytes) throw std::bad_alloc();
    void* p = nullptr;
    if constexpr (kExactAlloc) {
        // Exactly `bytes`, even 0, so that the sanitizer sees every byte past the end.
        if (posix_memalign(&p, 64, bytes) != 0) p = nullptr;
        if (!p && bytes == 0) return;  // an allocator without zero-size blocks
    } else if (bytes <= kInlineBytes) {
        bytes_ = bytes;
        return;
    } else if (bytes >= kMapThreshold) {
        if (bytes > kMaxObjectBytes - 2 * kHugePage) throw std::bad_alloc();  // keeps the mapped span in range
        const std::size_t size = mapped_size(bytes);
        p = block_cache().take(size);
        if (!p) p = map_block(size);
    } else {
        p = std::aligned_alloc(64, *checked_round_up(bytes, 64));  // bytes < kMapThreshold
    }
    if (!p) throw std::bad_alloc();
    poison_fresh(p, bytes);
    heap_ = p;
    bytes_ = bytes;
}

void RawBuffer::release_heap() noexcept {
    if (!kExactAlloc && bytes_ >= kMapThreshold) {
        const std::size_t size = mapped_size(bytes_);
        if (!block_cache().put(heap_, size)) munmap(heap_, size);
    } else {
        std::free(heap_);
    }
    heap_ = nullptr;
}

}  // namespace vorka
