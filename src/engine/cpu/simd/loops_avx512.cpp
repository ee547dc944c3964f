// AVX-512 (F, BW, VL, DQ) build of the element-wise loops.
#include "engine/cpu/simd/loops.hpp"

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__AVX512DQ__) && \
    defined(__F16C__) && defined(__BMI2__)
#define VORKA_SIMD_NS avx512
#include "engine/cpu/simd/loops_impl.hpp"

const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx512() { return &avx512::kTable; }
#elif defined(__x86_64__)
#error "loops_avx512.cpp must be compiled with -mavx2 -mf16c -mfma -mbmi2 -mavx512f -mavx512bw -mavx512vl -mavx512dq"
#else
const vorka::simd::detail::LoopTable* vorka::simd::detail::table_avx512() { return nullptr; }
#endif
