// AVX2 + F16C build of the element-wise loops.
#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx2() { return &avx2::kTable; }
