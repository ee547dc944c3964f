// AVX-512 (F, BW, VL, DQ) build of the element-wise loops.
#include "engine/cpu/isa_unit.hpp"
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx512() { return &avx512::kTable; }
