// AVX2 + F16C build of the element-wise loops (compiled with -mavx2 -mf16c -mfma -mbmi2).
#include "engine/cpu/simd/loops.hpp"

#if defined(__AVX2__) && defined(__F16C__)
#define VORKA_SIMD_NS avx2
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx2() { return &avx2::kTable; }
#elif defined(__x86_64__)
#error "loops_avx2.cpp must be compiled with -mavx2 -mf16c -mfma -mbmi2"
#else
const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx2() { return nullptr; }
#endif
