// What the CPU can run, read once from its CPUID feature bits (and the OS's
// saved-state mask, which __builtin_cpu_supports consults). The element-wise
// loops and the matrix products both choose their code from this, never from
// a model name.
#pragma once

namespace vorka::simd {

struct CpuFeatures {
    bool avx2 = false, fma = false, f16c = false, bmi2 = false;
    bool avx512f = false, avx512bw = false, avx512vl = false, avx512dq = false, avx512bf16 = false;

    // The instruction sets the per-ISA translation units are compiled for.
    bool avx2_level() const { return avx2 && fma && f16c && bmi2; }
    bool avx512_level() const { return avx2_level() && avx512f && avx512bw && avx512vl && avx512dq; }
    bool avx512_bf16_level() const { return avx512_level() && avx512bf16; }
};

const CpuFeatures& cpu_features();

}  // namespace vorka::simd
