// Live-object counters for leak tests. They compile to nothing unless the
// build enables VORKA_TEST_HOOKS.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorka::counters {

#if defined(VORKA_TEST_HOOKS)
inline std::atomic<int64_t> live_storages{0};
inline std::atomic<int64_t> live_buffers{0};
inline void storage_created() noexcept { live_storages.fetch_add(1, std::memory_order_relaxed); }
inline void storage_released() noexcept { live_storages.fetch_sub(1, std::memory_order_relaxed); }
inline void buffer_allocated() noexcept { live_buffers.fetch_add(1, std::memory_order_relaxed); }
inline void buffer_released() noexcept { live_buffers.fetch_sub(1, std::memory_order_relaxed); }
inline int64_t storages() noexcept { return live_storages.load(); }
inline int64_t buffers() noexcept { return live_buffers.load(); }
inline constexpr bool enabled = true;
#else
inline void storage_created() noexcept {}
inline void storage_released() noexcept {}
inline void buffer_allocated() noexcept {}
inline void buffer_released() noexcept {}
inline int64_t storages() noexcept { return -1; }
inline int64_t buffers() noexcept { return -1; }
inline constexpr bool enabled = false;
#endif

}  // namespace vorka::counters
