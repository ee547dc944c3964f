// Baseline x86-64 (SSE2) build of the element-wise loops.
#define VORKA_SIMD_NS generic
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_generic() { return &generic::kTable; }
