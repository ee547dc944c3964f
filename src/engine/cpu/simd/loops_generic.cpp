// Baseline x86-64 (SSE2) build of the element-wise loops.
#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_generic() { return &generic::kTable; }
